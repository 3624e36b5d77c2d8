#include "mosaic/smallbuilder.h"

#include "mosaic/imageio.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// Registration thresholds: below them the estimate is not trusted.
constexpr double minConfidence = 0.35;
constexpr double minCoverage = 0.35;

const cv::Scalar white = cv::Scalar::all(255);

int rounded(double value) {
    return int(std::rint(value));
}

// Smallest multiple of step not below value.
int firstMultipleFrom(int value, int step) {
    return -floorDiv(-value, step) * step;
}

} // namespace

SmallBuilder::Estimate SmallBuilder::processFrame(QSharedPointer<FrameInfo> newFrame) {
    frame = newFrame;
    maxSharpness = std::max(maxSharpness, frame->sharpness);
    const float weight = float(frame->sharpness);
    // The frame object is shared with other threads and never written: work on a copy.
    cv::Mat small = frame->smallImage.clone();
    if (small.empty() || small.type() != CV_8UC3) {
        // Nothing to register; keep the view alive with the new camera image.
        publish(false);
        return Estimate::None;
    }

    // Built once per reset, and again should the camera's preview size change mid-scan, so that
    // cell weights are never read outside the mask.
    if (!weightMaskBuilt || weightMask.size() != small.size())
        buildWeightMask(small.size());

    const Estimate result = grid.scores.empty() ? Estimate::Moved : estimatePosition(small);
    if (result == Estimate::Moved)
        addFrame(small, weight);
    publish(result != Estimate::None);
    if (result == Estimate::Moved) {
        emit storeNewFrame(frame->image, toFrameCells(cells, small.size(), frame->image.size()));
    }
    return result;
}

SmallBuilder::Estimate SmallBuilder::estimatePosition(cv::Mat &small) {
    const int x = rounded(m_position.x);
    const int y = rounded(m_position.y);
    const cv::Rect frameRect(x, y, small.cols, small.rows);

    // A reference of another size (the preview size changed) cannot be compared: fall back to
    // the mosaic alone, as after an erase.
    const bool haveLastFrame =
        !lastFrame.empty() && lastFrame.size() == small.size() && lastFrame.type() == small.type();
    if (haveLastFrame)
        lastFrame.copyTo(reference);
    else {
        reference.create(small.size(), small.type());
        reference.setTo(white);
    }

    const cv::Mat mosaic = grid.canvas.region(frameRect);
    cv::inRange(mosaic, white, white, coverage);
    cv::bitwise_not(coverage, coverage);
    mosaic.copyTo(reference, coverage);

    const double covered =
        haveLastFrame ? 1.0 : double(cv::countNonZero(coverage)) / double(small.total());

    registration = correlator.correlate(small, reference, coverage);
    const double dX = (x - m_position.x) + registration.x;
    const double dY = (y - m_position.y) + registration.y;

    if (registration.confidence < minConfidence || covered < minCoverage) {
        outOfSync = true;
        return Estimate::OutOfSync;
    }
    outOfSync = false;
    if (std::sqrt(dX * dX + dY * dY) < 1.0)
        return Estimate::None;

    m_position.x += dX;
    m_position.y += dY;
    shiftImage(small, m_position.x - std::rint(m_position.x),
               m_position.y - std::rint(m_position.y));
    return Estimate::Moved;
}

void SmallBuilder::addFrame(const cv::Mat &small, float weight) {
    const int x = rounded(m_position.x);
    const int y = rounded(m_position.y);
    grid.canvas.include(cv::Rect(x, y, small.cols, small.rows));
    cells.clear();
    const int cell = liveCellSizePx;
    for (const LiveCellInfo &covered : coveredCells(m_position, small.size())) {
        const double offX = covered.rect.x;
        const double offY = covered.rect.y;
        const float offered =
            float(weightMask.at<uchar>(int(offY) + cell / 2, int(offX) + cell / 2) + 255) * weight;
        const auto found = grid.scores.find(covered.cell_id);
        const bool isNew = found == grid.scores.end();
        if (!isNew && !(offered > found->second))
            continue; // an equal weight keeps the older version
        const cv::Mat patch = small(cv::Rect(rounded(offX), rounded(offY), cell, cell));
        grid.scores[covered.cell_id] = offered;
        if (isNew)
            grid.updateBounds();
        cv::Mat target = grid.canvas.region(
            cv::Rect(cell * covered.cell_id.x, cell * covered.cell_id.y, cell, cell));
        patch.copyTo(target);
        cells.append(covered);
    }
    lastFrame = small;
}

cv::Size SmallBuilder::heldSmallSize() const {
    return frame ? frame->smallImage.size() : cv::Size(0, 0);
}

void SmallBuilder::publish(bool render) {
    if (render && frame) {
        renderView();
        renderMinimap();
    }
    const cv::Mat cameraImage = frame ? frame->image : cv::Mat();
    const double quality = (frame ? frame->sharpness : 0.) / maxSharpness;
    emit updated(visibleImage, minimap, cameraImage, quality, outOfSync, positionOnMinimap);
}

void SmallBuilder::renderView() {
    const cv::Size small = heldSmallSize();
    if (viewSize.width <= 0 || viewSize.height <= 0 || viewResolution.width <= 0 ||
        viewResolution.height <= 0 || small.width <= 0 || small.height <= 0)
        return;
    const double rx = double(viewResolution.width) / viewSize.width;
    const double ry = double(viewResolution.height) / viewSize.height;
    const int left = rounded(m_position.x) - (viewSize.width - small.width) / 2;
    const int top = rounded(m_position.y) - (viewSize.height - small.height) / 2;

    // Published images are never written again, so every render makes a new buffer.
    cv::Mat view;
    cv::resize(grid.canvas.region(cv::Rect(left, top, viewSize.width, viewSize.height)), view,
               viewResolution, 0, 0, cv::INTER_NEAREST);
    const cv::Scalar lineColour(80, 80, 80);
    const int cell = liveCellSizePx;
    for (int x = firstMultipleFrom(left, cell) - left; x < viewSize.width; x += cell) {
        const int column = int(x * rx);
        cv::line(view, cv::Point(column, 0), cv::Point(column, view.rows - 1), lineColour, 1,
                 cv::LINE_8);
    }
    for (int y = firstMultipleFrom(top, cell) - top; y < viewSize.height; y += cell) {
        const int row = int(y * ry);
        cv::line(view, cv::Point(0, row), cv::Point(view.cols - 1, row), lineColour, 1, cv::LINE_8);
    }
    visibleImage = view;
}

void SmallBuilder::renderMinimap() {
    const cv::Rect used = grid.canvas.used;
    if (grid.scores.empty() || used.width <= 0 || used.height <= 0)
        return;
    const cv::Size small = heldSmallSize();
    const double ratio = double(viewResolution.width) / viewSize.width;
    const double s1 = (viewSize.width - small.width) * 0.5 * ratio * 0.6 / used.height;
    const double s2 = viewSize.height * ratio / 6 / used.width;
    const double s = std::min({s1, s2, 0.5});
    if (!(s > 0))
        return;
    // A mosaic far larger than the view could scale to nothing; keep the last minimap then.
    const cv::Size scaled(int(std::lround(used.width * s)), int(std::lround(used.height * s)));
    if (scaled.width <= 0 || scaled.height <= 0)
        return;
    positionOnMinimap =
        QRectF(std::rint((rounded(m_position.x) - used.x) * s),
               std::rint((rounded(m_position.y) - used.y) * s), small.width * s, small.height * s);
    cv::Mat map;
    cv::resize(grid.canvas.usedImage(), map, cv::Size(), s, s, cv::INTER_NEAREST);
    minimap = map;
}

void SmallBuilder::eraseAt(double x, double y) {
    const cv::Size small = heldSmallSize();
    int cx = 0;
    int cy = 0;
    if (frame) {
        cx = int(x) + rounded(m_position.x) - (viewSize.width - small.width) / 2;
        cy = int(y) + rounded(m_position.y) - (viewSize.height - small.height) / 2;
    }
    const Point cell(floorDiv(cx, liveCellSizePx), floorDiv(cy, liveCellSizePx));
    if (grid.scores.erase(cell) == 0)
        return;
    const cv::Rect cellRect(cell.x * liveCellSizePx, cell.y * liveCellSizePx, liveCellSizePx,
                            liveCellSizePx);
    // Whatever was drawn lies inside `used`, so fill only when the cell is really on the canvas.
    cv::Mat target = grid.canvas.region(cellRect);
    target.setTo(white);
    grid.updateBounds();
    emit eraseFrame(cell);
    lastFrame.release();
    publish(true);
}

void SmallBuilder::buildWeightMask(cv::Size size) {
    weightMask.create(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y) {
        uchar *row = weightMask.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x)
            row[x] = uchar(centreWeight(x, y, size.width, size.height));
    }
    weightMaskBuilt = true;
}

void SmallBuilder::viewSizeUpdate(QSizeF newSize) {
    if (!(std::isfinite(newSize.width()) && std::isfinite(newSize.height()) &&
          newSize.width() > 0 && newSize.height() > 0))
        return;
    viewSize = cv::Size(int(newSize.width()), int(newSize.height()));
    publish(true);
}

void SmallBuilder::viewResolutionUpdate(QSizeF newResolution) {
    if (!(std::isfinite(newResolution.width()) && std::isfinite(newResolution.height()) &&
          newResolution.width() > 0 && newResolution.height() > 0))
        return;
    viewResolution = cv::Size(int(newResolution.width()), int(newResolution.height()));
    visibleImage = cv::Mat(viewResolution, CV_8UC3, white);
}

void SmallBuilder::mouseClick(double x, double y) {
    if (eraserMode)
        eraseAt(x, y);
}

void SmallBuilder::mouseDrag(double x, double y, double dx, double dy) {
    if (eraserMode) {
        eraseAt(x, y);
    } else if (outOfSync) {
        m_position.x -= dx;
        m_position.y -= dy;
        lastFrame.release();
        publish(true);
    }
}

void SmallBuilder::reset() {
    weightMaskBuilt = false;
    frame.reset();
    grid = MosaicGrid();
    maxSharpness = 0.00001;
    outOfSync = false;
    eraserMode = false;
    m_position = cv::Point2d(0., 0.);
    if (!minimap.empty())
        minimap = cv::Mat(minimap.size(), CV_8UC3, white);
    if (!visibleImage.empty())
        visibleImage = cv::Mat(visibleImage.size(), CV_8UC3, white);
    publish(true);
}
