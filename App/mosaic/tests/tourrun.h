#pragma once

// Drives the live builder along a simulated tour with known positions and measures how well it
// registered: shared by the accuracy test and the benchmark that reports the figures.

#include "mosaic/smallbuilder.h"
#include "slidetexture.h"

#include <QSharedPointer>

#include <cmath>
#include <vector>

namespace tourrun {

struct Figures {
    int frames = 0;
    int accepted = 0;    // frames added to the mosaic (the first one included)
    int outOfSync = 0;   // frames rejected
    double stepRms = 0.; // error of each accepted step, preview pixels
    double stepMax = 0.;
    double driftRms = 0.; // estimated minus true position, first frame's offset removed
    double driftMax = 0.;
};

inline Figures run(const cv::Mat &texture, const std::vector<cv::Point2d> &truth,
                   cv::Size frameSize) {
    SmallBuilder builder(nullptr, nullptr);
    Figures figures;
    const cv::Mat image(frameSize * 2, CV_8UC3, cv::Scalar::all(0));
    double stepSquares = 0., driftSquares = 0.;
    int steps = 0;
    cv::Point2d lastTruth, lastEstimate;
    for (const cv::Point2d &position : truth) {
        auto frame = QSharedPointer<FrameInfo>::create();
        frame->smallImage = slidetexture::cut(texture, position, frameSize);
        frame->image = image;
        frame->sharpness = 1.;
        const SmallBuilder::Estimate result = builder.processFrame(frame);
        ++figures.frames;
        if (result == SmallBuilder::Estimate::OutOfSync)
            ++figures.outOfSync;
        if (result != SmallBuilder::Estimate::Moved)
            continue;
        const cv::Point2d estimate = builder.position();
        const cv::Point2d trueOffset = position - truth.front();
        if (figures.accepted > 0) {
            const cv::Point2d stepError = (estimate - lastEstimate) - (position - lastTruth);
            const double e = std::hypot(stepError.x, stepError.y);
            stepSquares += e * e;
            figures.stepMax = std::max(figures.stepMax, e);
            ++steps;
        }
        const cv::Point2d drift = estimate - trueOffset;
        const double d = std::hypot(drift.x, drift.y);
        driftSquares += d * d;
        figures.driftMax = std::max(figures.driftMax, d);
        ++figures.accepted;
        lastTruth = position;
        lastEstimate = estimate;
    }
    figures.stepRms = steps ? std::sqrt(stepSquares / steps) : 0.;
    figures.driftRms = figures.accepted ? std::sqrt(driftSquares / figures.accepted) : 0.;
    return figures;
}

} // namespace tourrun
