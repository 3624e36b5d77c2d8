#include "mosaic/mosaicgrid.h"

#include "mosaic/imageio.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

QList<LiveCellInfo> coveredCells(cv::Point2d position, cv::Size smallSize) {
    QList<LiveCellInfo> cells;
    const int x = int(std::rint(position.x));
    const int y = int(std::rint(position.y));
    const int firstColumn = floorDiv(x + 2, liveCellSizePx) + 1;
    const int firstRow = floorDiv(y + 2, liveCellSizePx) + 1;
    // The asymmetry (strict for columns, not for rows) is deliberate: the full-resolution builder
    // relies on exactly these cells.
    for (int i = firstColumn; liveCellSizePx * (i + 1) < x + smallSize.width - 3; ++i) {
        for (int j = firstRow; liveCellSizePx * (j + 1) <= y + smallSize.height - 3; ++j) {
            const double offX = liveCellSizePx * i - position.x;
            const double offY = liveCellSizePx * j - position.y;
            cells.append(
                {Point(i, j), cv::Rect2d(offX, offY, liveCellSizePx, liveCellSizePx), true});
        }
    }
    return cells;
}

QList<FrameCellInfo> toFrameCells(const QList<LiveCellInfo> &cells, cv::Size smallSize,
                                  cv::Size imageSize) {
    QList<FrameCellInfo> result;
    if (smallSize.width <= 0 || smallSize.height <= 0)
        return result;
    const double sx = double(imageSize.width) / smallSize.width;
    const double sy = double(imageSize.height) / smallSize.height;
    const int w = int(liveCellSizePx * sx);
    const int h = int(liveCellSizePx * sy);
    result.reserve(cells.size());
    for (const LiveCellInfo &cell : cells) {
        FrameCellInfo info;
        info.rect = cv::Rect(int(cell.rect.x * sx), int(cell.rect.y * sy), w, h);
        info.cell_id = cell.cell_id;
        info.position = cv::Point(cell.cell_id.x * w, cell.cell_id.y * h);
        info.store = true;
        result.append(info);
    }
    return result;
}

int centreWeight(int x, int y, int cols, int rows) {
    const int halfWidth = cols / 2;
    const int halfHeight = rows / 2;
    return 255 - (std::abs(halfWidth - x) + std::abs(halfHeight - y)) * 255 /
                     (halfWidth + halfHeight + 2);
}

cv::Mat MosaicCanvas::region(cv::Rect rect) const {
    cv::Mat scratch;
    return region(rect, scratch);
}

cv::Mat MosaicCanvas::region(cv::Rect rect, cv::Mat &scratch) const {
    if (rect.width <= 0 || rect.height <= 0)
        return {};
    const cv::Rect inImage = rect + origin;
    if (!image.empty() && (inImage & cv::Rect(0, 0, image.cols, image.rows)) == inImage)
        return image(inImage);
    ownPixels(scratch);
    copyRegion(rect, scratch);
    return scratch;
}

void MosaicCanvas::copyRegion(cv::Rect rect, cv::Mat &target) const {
    // Before anything was drawn the canvas has no type yet; it only ever holds RGB.
    target.create(rect.size(), image.empty() ? CV_8UC3 : image.type());
    const cv::Rect overlap = (rect & extent()) - rect.tl();
    if (overlap.empty()) {
        target.setTo(cv::Scalar::all(255));
        return;
    }
    image(overlap + rect.tl() + origin).copyTo(target(overlap));
    // White around the copied part: the bands above and below, and both sides between.
    const cv::Scalar white = cv::Scalar::all(255);
    target.rowRange(0, overlap.y).setTo(white);
    target.rowRange(overlap.y + overlap.height, target.rows).setTo(white);
    const cv::Mat middle = target.rowRange(overlap.y, overlap.y + overlap.height);
    middle.colRange(0, overlap.x).setTo(white);
    middle.colRange(overlap.x + overlap.width, target.cols).setTo(white);
}

void MosaicCanvas::include(cv::Rect rect) {
    cv::Rect target;
    if (used.width <= 0 || used.height <= 0)
        target = rect;
    else if (!rect.empty())
        target = used | rect;
    else
        target = used;
    setUsed(target);
}

void MosaicCanvas::setUsed(cv::Rect rect) {
    if (rect == used)
        return;
    // An empty rectangle never grows (nor replaces) the image: that would drop the drawn cells.
    const bool grow =
        rect.width > 0 && rect.height > 0 && (image.empty() || (rect & extent()) != rect);
    if (grow) {
        cv::Mat grown(rect.height * 2, rect.width * 2, CV_8UC3, cv::Scalar::all(255));
        const cv::Point grownOrigin(rect.width / 2 - rect.x, rect.height / 2 - rect.y);
        if (!image.empty()) {
            const cv::Rect kept = used & rect;
            if (!kept.empty())
                image(kept + origin).copyTo(grown(kept + grownOrigin));
        }
        image = grown;
        origin = grownOrigin;
    }
    used = rect;
}

cv::Mat MosaicCanvas::usedImage() const {
    if (used.empty() || image.empty())
        return {};
    return image(used + origin);
}

void MosaicGrid::updateBounds() {
    if (scores.empty()) {
        canvas.setUsed(cv::Rect(0, 0, 0, 0));
        return;
    }
    int minX = scores.begin()->first.x;
    int maxX = scores.rbegin()->first.x;
    int minY = INT_MAX;
    int maxY = INT_MIN;
    for (const auto &[cell, score] : scores) {
        minY = std::min(minY, cell.y);
        maxY = std::max(maxY, cell.y);
    }
    const int size = liveCellSizePx;
    canvas.setUsed(cv::Rect(size * minX, size * minY, size * (maxX + 1) - size * minX,
                            size * (maxY + 1) - size * minY));
}
