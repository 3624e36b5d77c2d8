#pragma once

// Drives the live builder along a simulated tour with known positions and measures how well it
// registered: shared by the accuracy test and the benchmark that reports the figures.

#include "mosaic/smallbuilder.h"
#include "slidetexture.h"

#include <QSharedPointer>

#include <cmath>
#include <vector>

#ifdef MIREVA_HAVE_VMBSIM
#include "renderer.h"
#include "simconfig.h"
#include "slide.h"
#include "stage.h"

#include <opencv2/imgproc.hpp>

#include <memory>
#endif

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

// Feeds the previews in order; truth[k] is where previews[k] was taken, in preview pixels.
inline Figures runFrames(const std::vector<cv::Mat> &previews,
                         const std::vector<cv::Point2d> &truth) {
    SmallBuilder builder(nullptr, nullptr);
    Figures figures;
    const cv::Mat image(previews.front().size() * 2, CV_8UC3, cv::Scalar::all(0));
    double stepSquares = 0., driftSquares = 0.;
    int steps = 0;
    cv::Point2d lastTruth, lastEstimate;
    for (size_t k = 0; k < previews.size(); ++k) {
        auto frame = QSharedPointer<FrameInfo>::create();
        frame->smallImage = previews[k];
        frame->image = image;
        frame->sharpness = 1.;
        const SmallBuilder::Estimate result = builder.processFrame(frame);
        ++figures.frames;
        if (result == SmallBuilder::Estimate::OutOfSync)
            ++figures.outOfSync;
        if (result != SmallBuilder::Estimate::Moved)
            continue;
        const cv::Point2d position = truth[k];
        const cv::Point2d estimate = builder.position();
        if (figures.accepted > 0) {
            const cv::Point2d stepError = (estimate - lastEstimate) - (position - lastTruth);
            const double e = std::hypot(stepError.x, stepError.y);
            stepSquares += e * e;
            figures.stepMax = std::max(figures.stepMax, e);
            ++steps;
        }
        const cv::Point2d drift = estimate - (position - truth.front());
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

// A tour cut from a texture: frame k shows the texture at truth[k].
inline Figures run(const cv::Mat &texture, const std::vector<cv::Point2d> &truth,
                   cv::Size frameSize) {
    std::vector<cv::Mat> previews;
    previews.reserve(truth.size());
    for (const cv::Point2d &position : truth)
        previews.push_back(slidetexture::cut(texture, position, frameSize));
    return runFrames(previews, truth);
}

#ifdef MIREVA_HAVE_VMBSIM
// Frames of a tour with the positions they were taken at, in preview pixels.
struct Tour {
    std::vector<cv::Mat> previews;
    std::vector<cv::Point2d> truth;
};

// The simulated microscope's default camera (1280 x 960) on its default tour (serpentine rows,
// pauses, tremor, focus drift) at 25 frames per second, previews scaled to 768 x 576 as the
// camera worker does; the stage's own positions are the truth.
inline Tour simulatedMicroscopeTour(int frames = 300) {
    using namespace vmbsim;
    const cv::Size sensor(1280, 960);
    const cv::Size preview(768, 576);
    const double previewScale = double(preview.width) / sensor.width;
    Slide slide(SlideConfig{});
    const OpticsConfig optics;
    const std::unique_ptr<Stage> stage =
        Stage::create(StageConfig{}, slide.widthPx(), slide.heightPx(), sensor.width, sensor.height,
                      optics.maxDefocusPx);
    Renderer renderer(optics, slide);
    Tour tour;
    cv::Mat frame(sensor, CV_8UC3);
    for (int k = 0; k < frames; ++k) {
        const Pose pose = stage->at(k / 25.0);
        renderer.render(pose, Exposure{}, sensor.width, sensor.height, false, frame.data,
                        frame.step);
        cv::Mat small;
        cv::resize(frame, small, preview, 0, 0, cv::INTER_AREA);
        tour.previews.push_back(small);
        tour.truth.emplace_back(pose.x * previewScale, pose.y * previewScale);
    }
    return tour;
}
#endif

} // namespace tourrun
