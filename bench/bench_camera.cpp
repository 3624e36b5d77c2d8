// Cost of one frame step of the camera worker for a 2464 x 2056 RGB camera. Run with
// --benchmark_repetitions=10 --benchmark_report_aggregates_only=true for medians.
#include "camera/cameramanager.h"
#include "camera/vignettingprofile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <atomic>
#include <memory>

namespace {
const cv::Size cameraSize(2464, 2056);

cv::Mat sampleFrame() {
    cv::Mat frame(cameraSize, CV_8UC3);
    cv::RNG rng(1234);
    rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
    return frame;
}

cv::Mat sampleProfile() {
    cv::Mat profile(cameraSize, CV_16S);
    cv::RNG rng(99);
    rng.fill(profile, cv::RNG::UNIFORM, -40, 40);
    return profile;
}

// A camera that hands out the same picture (as the contract allows) or, when the frame is
// going to be corrected in place, a fresh copy of it each time, as a plug-in's conversion does.
class BenchCamera : public common::AbstractCamera {
public:
    explicit BenchCamera(bool freshCopies)
        : picture(sampleFrame())
        , freshCopies(freshCopies) {}
    cv::Mat frame() override { return freshCopies ? picture.clone() : picture; }
    cv::Size size() override { return cameraSize; }
    std::string id() override { return "bench"; }
    std::string name() override { return "Bench camera"; }
    void start() override {}
    void stop() override {}
    std::vector<std::pair<QString, QSharedPointer<common::CameraPropertyBackend>>>
    properties() override {
        return {};
    }

private:
    cv::Mat picture;
    bool freshCopies;
};

QString profilePath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .filePath("vignetting_profile.xml");
}

void frameStep(benchmark::State &state, bool correction) {
    if (correction) {
        cv::FileStorage storage(profilePath().toStdString(),
                                cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
        storage << "mask" << sampleProfile();
    } else {
        QFile::remove(profilePath());
    }
    CameraManager manager(QStringList{});
    manager.setVignettingCorrectionEnabled(correction);
    manager.setCamera(QSharedPointer<BenchCamera>::create(correction));
    std::atomic_int published{0};
    QObject::connect(&manager, &CameraManager::updated, [&](const FrameInfo &) { ++published; });
    for (auto _ : state)
        manager.frameStep();
    if (published.load() != int(state.iterations()))
        state.SkipWithError("a frame step published nothing");
    QFile::remove(profilePath());
}

void BM_FrameStepPreviewAndSharpness(benchmark::State &state) {
    frameStep(state, false);
}

void BM_FrameStepWithCorrection(benchmark::State &state) {
    frameStep(state, true);
}

// What the correction itself costs, without the camera's copy.
void BM_VignettingCorrection(benchmark::State &state) {
    QTemporaryDir dir;
    const QString path = dir.filePath("profile.xml");
    {
        cv::FileStorage storage(path.toStdString(),
                                cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
        storage << "mask" << sampleProfile();
    }
    VignettingProfile profile(path);
    cv::Mat frame = sampleFrame();
    cv::setNumThreads(int(state.range(0)));
    for (auto _ : state) {
        profile.apply(frame);
        benchmark::DoNotOptimize(frame.data);
    }
}

// The plug-in side's fresh copy of a frame, included in the corrected step above.
void BM_FrameCopy(benchmark::State &state) {
    const cv::Mat frame = sampleFrame();
    for (auto _ : state) {
        cv::Mat copy = frame.clone();
        benchmark::DoNotOptimize(copy.data);
    }
}
} // namespace

BENCHMARK(BM_FrameStepPreviewAndSharpness)
    ->ArgName("threads")
    ->Arg(2)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FrameStepWithCorrection)
    ->ArgName("threads")
    ->Arg(2)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_VignettingCorrection)
    ->ArgName("threads")
    ->Arg(2)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FrameCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    // Keep the benchmark's profile file away from the user's own.
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
