#pragma once

#include <QList>
#include <QMetaType>

#include <opencv2/core.hpp>

// A cell identifier: x = grid column, y = grid row. The same Point names the live cell and the
// full-resolution cell.
using Point = cv::Point;

// Maps and sets keyed by Point order lexicographically: x first, then y.
struct PointLess {
    bool operator()(const Point &a, const Point &b) const {
        return a.x < b.x || (a.x == b.x && a.y < b.y);
    }
};

// One full-resolution cell cut from a frame, sent from the live builder to the
// full-resolution builder with storeNewFrame(). Plain, trivially copyable data.
struct FrameCellInfo {
    cv::Rect rect;      // the cell inside the full-resolution frame
    Point cell_id;      // the cell (i, j)
    cv::Point position; // top-left corner in full-resolution mosaic coordinates: (i*W, j*H)
    bool store = true;  // the receiver stores this cell
};

Q_DECLARE_METATYPE(Point)
Q_DECLARE_METATYPE(FrameCellInfo)
Q_DECLARE_METATYPE(QList<FrameCellInfo>)
