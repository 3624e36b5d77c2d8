#include "mosaic/smallbuilder.h"

#include "mosaic/imageio.h"
#include "shell/simd.h"

#include <QDebug>
#include <QElapsedTimer>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__GNUC__) && defined(__x86_64__)
#define MIREVA_OVERLAY_SSSE3 1
// overlayMosaic() for 16 pixels at a time from pixel x on, with byte shuffles; returns where it
// stopped. fallback may be null (white).
__attribute__((target("ssse3"))) int overlayRowSsse3(const uchar *m, const uchar *f, uchar *r,
                                                     uchar *c, int x, int width) {
    const auto mask = [](std::initializer_list<int> picks) {
        alignas(16) signed char bytes[16];
        int k = 0;
        for (int pick : picks)
            bytes[k++] = static_cast<signed char>(pick);
        return _mm_load_si128(reinterpret_cast<const __m128i *>(bytes));
    };
    // Gathers one channel of 16 pixels from three 16-byte loads, per load.
    const __m128i channel[3][3] = {
        {mask({0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}),
         mask({-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1}),
         mask({-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13})},
        {mask({1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}),
         mask({-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1}),
         mask({-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14})},
        {mask({2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}),
         mask({-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1}),
         mask({-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15})}};
    // Spreads one byte per pixel over the pixel's three bytes, per 16-byte store.
    const __m128i spread[3] = {
        mask({0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5}),
        mask({5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10}),
        mask({10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15})};
    const __m128i full = _mm_set1_epi8(char(0xff));
    for (; x + 16 <= width; x += 16) {
        __m128i drawn[3], fallback[3];
        for (int k = 0; k < 3; ++k) {
            drawn[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(m + 3 * x + 16 * k));
            fallback[k] =
                f ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(f + 3 * x + 16 * k)) : full;
        }
        __m128i all = full;
        for (int ch = 0; ch < 3; ++ch)
            all = _mm_and_si128(
                all, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(drawn[0], channel[ch][0]),
                                               _mm_shuffle_epi8(drawn[1], channel[ch][1])),
                                  _mm_shuffle_epi8(drawn[2], channel[ch][2])));
        const __m128i blank = _mm_cmpeq_epi8(all, full);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(c + x), _mm_andnot_si128(blank, full));
        for (int k = 0; k < 3; ++k) {
            const __m128i useFallback = _mm_shuffle_epi8(blank, spread[k]);
            const __m128i out = _mm_or_si128(_mm_and_si128(useFallback, fallback[k]),
                                             _mm_andnot_si128(useFallback, drawn[k]));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(r + 3 * x + 16 * k), out);
        }
    }
    return x;
}
#endif

// The registration reference: the mosaic where it is drawn and the fallback image (or white,
// when it is empty) elsewhere; coverage marks the drawn pixels with 255. One pass over RGB.
void overlayMosaic(const cv::Mat &mosaic, const cv::Mat &fallback, cv::Mat &reference,
                   cv::Mat &coverage) {
    reference.create(mosaic.size(), CV_8UC3);
    coverage.create(mosaic.size(), CV_8UC1);
    [[maybe_unused]] const bool shuffles = simd::use(simd::Level::Ssse3);
    for (int y = 0; y < mosaic.rows; ++y) {
        const uchar *m = mosaic.ptr<uchar>(y);
        const uchar *f = fallback.empty() ? nullptr : fallback.ptr<uchar>(y);
        uchar *r = reference.ptr<uchar>(y);
        uchar *c = coverage.ptr<uchar>(y);
        int x = 0;
#ifdef MIREVA_OVERLAY_SSSE3
        if (shuffles)
            x = overlayRowSsse3(m, f, r, c, x, mosaic.cols);
#endif
        for (; x < mosaic.cols; ++x) {
            const uchar *mp = m + 3 * x;
            const bool blank = mp[0] == 255 && mp[1] == 255 && mp[2] == 255;
            const uchar *source = !blank ? mp : f ? f + 3 * x : nullptr;
            for (int k = 0; k < 3; ++k)
                r[3 * x + k] = source ? source[k] : 255;
            c[x] = blank ? 0 : 255;
        }
    }
}

} // namespace

namespace {

// Whether two previews hold the same picture: a camera polled faster than it delivers hands
// out its last picture again. Pictures of a live sensor differ within their first bytes.
bool samePicture(const cv::Mat &a, const cv::Mat &b) {
    if (a.empty() || a.size() != b.size() || a.type() != b.type())
        return false;
    if (a.data == b.data)
        return true;
    const size_t rowBytes = a.cols * a.elemSize();
    for (int y = 0; y < a.rows; ++y)
        if (std::memcmp(a.ptr(y), b.ptr(y), rowBytes) != 0)
            return false;
    return true;
}

} // namespace

SmallBuilder::Estimate SmallBuilder::processFrame(QSharedPointer<FrameInfo> newFrame) {
    QElapsedTimer stepTimer;
    stepTimer.start();
    counting.frameTaken(newFrame->sequence);
    frame = newFrame;
    maxSharpness = std::max(maxSharpness, frame->sharpness);
    const float weight = float(frame->sharpness);
    // The frame is shared with other threads and never written; only read from here on.
    const cv::Mat small = frame->smallImage;
    if (small.empty() || small.type() != CV_8UC3) {
        // Nothing to register; keep the view alive with the new camera image.
        publish(false);
        return Estimate::None;
    }

    // Built once per reset, and again should the camera's preview size change mid-scan, so that
    // cell weights are never read outside the mask.
    if (!weightMaskBuilt || weightMask.size() != small.size())
        buildWeightMask(small.size());

    Estimate result = Estimate::Moved;
    if (grid.scores.empty())
        placed = small; // the first frame sets the origin: nothing to shift
    else
        result = estimatePosition(small);
    if (result == Estimate::Moved) {
        addFrame(placed, weight);
        // The added frame is the next reference; the old one's buffer takes the next shift.
        std::swap(lastFrame, placed);
    }
    publish(result != Estimate::None);
    if (result == Estimate::Moved) {
        emit storeNewFrame(frame->image, toFrameCells(cells, small.size(), frame->image.size()));
    }
    counting.stepDone(double(stepTimer.nsecsElapsed()) / 1e6, samePicture(small, previousSmall),
                      result == Estimate::OutOfSync);
    previousSmall = small;
    return result;
}

SmallBuilder::Estimate SmallBuilder::estimatePosition(const cv::Mat &small) {
    const int x = rounded(m_position.x);
    const int y = rounded(m_position.y);
    const cv::Rect frameRect(x, y, small.cols, small.rows);

    // A reference of another size (the preview size changed) cannot be compared: fall back to
    // the mosaic alone, as after an erase.
    const bool haveLastFrame =
        !lastFrame.empty() && lastFrame.size() == small.size() && lastFrame.type() == small.type();
    overlayMosaic(grid.canvas.region(frameRect), haveLastFrame ? lastFrame : cv::Mat(), reference,
                  coverage);
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
    ownPixels(placed);
    shiftImage(small, placed, m_position.x - std::rint(m_position.x),
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

    // Published images are never written again: every render takes a buffer nobody else holds.
    cv::Mat view = reusableBuffer(viewBuffers, viewResolution, CV_8UC3);
    const cv::Rect shown(left, top, viewSize.width, viewSize.height);
    // Nearest-neighbour resizing to the same size is a copy: done straight into the view.
    if (viewResolution == viewSize)
        grid.canvas.copyRegion(shown, view);
    else
        cv::resize(grid.canvas.region(shown, viewSource), view, viewResolution, 0, 0,
                   cv::INTER_NEAREST);
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
    // The size resize() derives from the scale, so that the buffer is used as it is.
    const cv::Size mapSize(cv::saturate_cast<int>(used.width * s),
                           cv::saturate_cast<int>(used.height * s));
    cv::Mat map = reusableBuffer(minimapBuffers, mapSize, CV_8UC3);
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
    if (!counting.empty()) {
        const LiveCounters part = counting.result();
        qDebug().noquote() << part.logLine();
        emit partCounted(part);
    }
    counting = LiveCounting();
    previousSmall.release();
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
