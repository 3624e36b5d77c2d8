// Live builder speed and registration accuracy on a simulated slide.
//
// bench_mosaic --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// runs every case five times and reports medians. OpenCV runs on one thread here: the figure
// that matters is what one core of the target machine sustains.

#include "mosaic/imageio.h"
#include "mosaic/smallbuilder.h"
#include "slidetexture.h"
#include "tourrun.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

namespace {

const cv::Size previewSize(768, 640);

const cv::Mat &texture() {
    static const cv::Mat image = slidetexture::make({3000, 2200}, 5);
    return image;
}

// The preview of the simulated microscope's 2048 x 1536 and 1280 x 960 cameras.
const cv::Size simulatorPreviewSize(768, 576);

// Frames of a tour that goes forward and then back over itself, so that the builder can be
// fed for as long as the benchmark wants without losing track or resetting.
std::vector<QSharedPointer<FrameInfo>> tourFrames(int count, cv::Size size = previewSize) {
    const auto positions = slidetexture::tour(count, texture().size(), size, 11);
    const cv::Mat image(size * 3, CV_8UC3, cv::Scalar::all(0));
    std::vector<QSharedPointer<FrameInfo>> frames;
    for (const cv::Point2d &position : positions) {
        auto frame = QSharedPointer<FrameInfo>::create();
        frame->smallImage = slidetexture::cut(texture(), position, size);
        frame->image = image;
        frame->sharpness = 1.0 + 0.001 * double(frames.size() % 7);
        frames.push_back(frame);
    }
    return frames;
}

void smallBuilderUpdate(benchmark::State &state, cv::Size size) {
    cv::setNumThreads(1);
    const auto frames = tourFrames(60, size);
    SmallBuilder builder(nullptr, nullptr);
    builder.viewResolutionUpdate(QSizeF(1200, 900));
    builder.viewSizeUpdate(QSizeF(1200, 900));
    size_t index = 0;
    int step = 1;
    int moved = 0;
    for (auto _ : state) {
        // Each frame is a new object, as the camera publishes it.
        auto frame = QSharedPointer<FrameInfo>::create(*frames[index]);
        if (builder.processFrame(frame) == SmallBuilder::Estimate::Moved)
            ++moved;
        if (index + step >= frames.size() || (step < 0 && index == 0))
            step = -step;
        index += step;
    }
    state.counters["moved"] = benchmark::Counter(moved, benchmark::Counter::kAvgIterations);
    state.counters["outOfSync"] = builder.isOutOfSync();
}

void BM_SmallBuilderUpdate(benchmark::State &state) {
    smallBuilderUpdate(state, previewSize);
}
BENCHMARK(BM_SmallBuilderUpdate)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The same at the simulated microscope's preview size; minus BM_RegistrationShift, what the
// rest of the step costs (reference, confidence, shift, cells, view and minimap).
void BM_SmallBuilderUpdate576(benchmark::State &state) {
    smallBuilderUpdate(state, simulatorPreviewSize);
}
BENCHMARK(BM_SmallBuilderUpdate576)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The frequency-domain part of the registration at that size: both images made grey, centred
// and windowed, two forward transforms, the cross-power spectrum, the inverse and its peak.
void BM_RegistrationShift(benchmark::State &state) {
    cv::setNumThreads(1);
    const cv::Mat reference = slidetexture::cut(texture(), {500.5, 400.25}, simulatorPreviewSize);
    const cv::Mat current = slidetexture::cut(texture(), {507.1, 396.8}, simulatorPreviewSize);
    PhaseCorrelator correlator;
    for (auto _ : state)
        benchmark::DoNotOptimize(correlator.estimateShift(current, reference));
}
BENCHMARK(BM_RegistrationShift)->Unit(benchmark::kMillisecond);

// The registration alone, as the builder calls it.
void BM_PhaseCorrelatorCorrelate(benchmark::State &state) {
    cv::setNumThreads(1);
    const cv::Mat reference = slidetexture::cut(texture(), {500.5, 400.25}, previewSize);
    const cv::Mat current = slidetexture::cut(texture(), {507.1, 396.8}, previewSize);
    const cv::Mat mask(previewSize, CV_8UC1, cv::Scalar(255));
    PhaseCorrelator correlator;
    for (auto _ : state)
        benchmark::DoNotOptimize(correlator.correlate(current, reference, mask));
}
BENCHMARK(BM_PhaseCorrelatorCorrelate)->Unit(benchmark::kMillisecond);

// Stock phaseCorrelate with a window on prepared images: the floor the builder builds on.
void BM_StockPhaseCorrelate(benchmark::State &state) {
    cv::setNumThreads(1);
    PhaseCorrelator correlator;
    cv::Mat a, b, window;
    correlator.prepare(slidetexture::cut(texture(), {500.5, 400.25}, previewSize), a);
    correlator.prepare(slidetexture::cut(texture(), {507.1, 396.8}, previewSize), b);
    cv::createHanningWindow(window, previewSize, CV_32F);
    cv::Mat a1, b1;
    for (auto _ : state) {
        // Fresh inputs each time: the call writes the window into them at this size.
        state.PauseTiming();
        a.copyTo(a1);
        b.copyTo(b1);
        state.ResumeTiming();
        benchmark::DoNotOptimize(cv::phaseCorrelate(a1, b1, window));
    }
}
BENCHMARK(BM_StockPhaseCorrelate)->Unit(benchmark::kMillisecond);

// Shifting a preview by a fraction of a pixel, as the builder does with every frame it adds,
// against the general warp it reproduces.
void BM_ShiftImage(benchmark::State &state) {
    cv::setNumThreads(1);
    const cv::Mat source = slidetexture::cut(texture(), {500.5, 400.25}, previewSize);
    cv::Mat target;
    for (auto _ : state)
        shiftImage(source, target, 0.37, -0.21);
}
BENCHMARK(BM_ShiftImage)->Unit(benchmark::kMillisecond);

void BM_ShiftImageByWarp(benchmark::State &state) {
    cv::setNumThreads(1);
    const cv::Mat source = slidetexture::cut(texture(), {500.5, 400.25}, previewSize);
    const cv::Mat transform = (cv::Mat_<double>(2, 3) << 1, 0, 0.37, 0, 1, -0.21);
    cv::Mat target;
    for (auto _ : state)
        cv::warpAffine(source, target, transform, previewSize, cv::INTER_CUBIC,
                       cv::BORDER_REPLICATE);
}
BENCHMARK(BM_ShiftImageByWarp)->Unit(benchmark::kMillisecond);

void reportAccuracy(benchmark::State &state, const tourrun::Figures &figures) {
    state.counters["frames"] = figures.frames;
    state.counters["accepted"] = figures.accepted;
    state.counters["outOfSync"] = figures.outOfSync;
    state.counters["stepRmsPx"] = figures.stepRms;
    state.counters["stepMaxPx"] = figures.stepMax;
    state.counters["driftRmsPx"] = figures.driftRms;
    state.counters["driftMaxPx"] = figures.driftMax;
}

// Registration accuracy over a 300-frame tour with ground truth, in preview pixels.
void BM_TourAccuracy(benchmark::State &state) {
    cv::setNumThreads(1);
    const auto truth = slidetexture::tour(300, texture().size(), previewSize, 11);
    tourrun::Figures figures;
    for (auto _ : state)
        figures = tourrun::run(texture(), truth, previewSize);
    reportAccuracy(state, figures);
}
BENCHMARK(BM_TourAccuracy)->Unit(benchmark::kMillisecond)->Iterations(1);

#ifdef MIREVA_HAVE_VMBSIM
// The same figures on the simulated microscope's default camera and tour.
void BM_TourAccuracySimulatedMicroscope(benchmark::State &state) {
    cv::setNumThreads(1);
    const tourrun::Tour tour = tourrun::simulatedMicroscopeTour();
    tourrun::Figures figures;
    for (auto _ : state)
        figures = tourrun::runFrames(tour.previews, tour.truth);
    reportAccuracy(state, figures);
}
BENCHMARK(BM_TourAccuracySimulatedMicroscope)->Unit(benchmark::kMillisecond)->Iterations(1);
#endif

} // namespace

int main(int argc, char **argv) {
    // FFT wisdom goes to this program's own cache folder.
    QCoreApplication::setApplicationName(QStringLiteral("bench_mosaic"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
