#pragma once

#include "mosaic/cellinfo.h"

#include <QList>

#include <opencv2/core.hpp>

#include <map>

// One cell the live builder stored from a frame: where the cell lies inside the small frame.
struct LiveCellInfo {
    Point cell_id;
    cv::Rect2d rect; // (offX, offY, 96, 96) inside the small frame
    bool store = true;
};

// Edge of a live cell in small-image pixels.
constexpr int liveCellSizePx = 96;

// Integer division rounding toward negative infinity (x = -1 lies in column -1).
constexpr int floorDiv(int a, int b) {
    const int q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The cells a small frame of the given size covers at the given mosaic position, column by
// column: only cells lying at least 3 pixels inside the frame, so that the full-resolution cut
// stays inside the full frame after rounding.
QList<LiveCellInfo> coveredCells(cv::Point2d position, cv::Size smallSize);

// Converts cells of a small frame into cells of its full-resolution image.
QList<FrameCellInfo> toFrameCells(const QList<LiveCellInfo> &cells, cv::Size smallSize,
                                  cv::Size imageSize);

// Centre weight of pixel (x, y) of a cols x rows frame: 255 in the middle, falling linearly
// with the Manhattan distance, at least 1 inside the frame.
int centreWeight(int x, int y, int cols, int rows);

// The live mosaic's pixels. Canvas pixel = mosaic point + origin. The image grows by doubling
// around the area in use, so adding frames rarely reallocates.
class MosaicCanvas {
public:
    // A view into the canvas when the rectangle lies wholly inside it; otherwise a new white
    // image holding whatever part of the canvas overlaps (writing into it changes nothing).
    cv::Mat region(cv::Rect rect) const;
    // The same, with the white image (when one is needed) made in scratch, which is reused
    // when nothing else holds it.
    cv::Mat region(cv::Rect rect, cv::Mat &scratch) const;
    // Copies the rectangle, white where it reaches past the canvas, into target (made the
    // rectangle's size and the canvas's type).
    void copyRegion(cv::Rect rect, cv::Mat &target) const;
    // Widens `used` to the bounding box of `used` and rect.
    void include(cv::Rect rect);
    void setUsed(cv::Rect rect);
    // View of `used` in the image.
    cv::Mat usedImage() const;

    cv::Mat image; // 8-bit RGB, white where nothing was drawn; empty at first
    cv::Point origin;
    cv::Rect used; // in mosaic coordinates: what the minimap shows

private:
    cv::Rect extent() const { return {-origin.x, -origin.y, image.cols, image.rows}; }
};

class MosaicGrid {
public:
    // Sets `used` to the bounding box of the scored cells ((0, 0, 0, 0) when none).
    void updateBounds();

    std::map<Point, float, PointLess> scores; // weight of the version on the canvas
    cv::Size cellSize{liveCellSizePx, liveCellSizePx};
    MosaicCanvas canvas;
};
