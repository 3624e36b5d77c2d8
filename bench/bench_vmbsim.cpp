// Cost of the simulated microscope: one rendered frame (the acquisition thread's work per
// frame), one procedural tile, the first frame of a fresh camera, and the conversion to RGB
// that the plug-in asks for. At 30 fps a frame must stay well under 16.7 ms (half a core).

#include "renderer.h"
#include "slide.h"
#include "stage.h"

#include <VmbImageTransform/VmbTransform.h>

#include <benchmark/benchmark.h>

#include <vector>

using namespace vmbsim;

namespace {

// Renders consecutive frames of a tour at 30 fps, as the acquisition thread does.
void renderFrames(benchmark::State &state, bool bayer) {
    const int width = int(state.range(0)), height = int(state.range(1));
    SlideConfig slideConfig;
    Slide slide(slideConfig);
    StageConfig stageConfig;
    stageConfig.pauses = false; // keep moving, so new tiles keep being made
    OpticsConfig optics;
    auto stage = Stage::create(stageConfig, slide.widthPx(), slide.heightPx(), width, height,
                               optics.maxDefocusPx);
    Renderer renderer(optics, slide);
    std::vector<std::uint8_t> buffer(size_t(width) * height * 3);
    Exposure exposure;
    double t = 0;
    // The first frame makes every tile it sees; that start-up cost is measured separately.
    renderer.render(stage->at(t), exposure, width, height, bayer, buffer.data(),
                    size_t(width) * (bayer ? 1 : 3));
    for (auto _ : state) {
        t += 1.0 / 30;
        FrameStats stats = renderer.render(stage->at(t), exposure, width, height, bayer,
                                           buffer.data(), size_t(width) * (bayer ? 1 : 3));
        benchmark::DoNotOptimize(stats);
    }
    state.counters["core_at_30fps"] = benchmark::Counter(
        state.iterations() / 30.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RenderRgb8(benchmark::State &state) {
    renderFrames(state, false);
}
BENCHMARK(BM_RenderRgb8)->Args({2048, 1536})->Args({1280, 960})->Unit(benchmark::kMillisecond);

void BM_RenderBayer(benchmark::State &state) {
    renderFrames(state, true);
}
BENCHMARK(BM_RenderBayer)->Args({2048, 1536})->Unit(benchmark::kMillisecond);

// The per-pixel part alone: a still stage, every tile already made.
void BM_RenderStill(benchmark::State &state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    Slide slide(SlideConfig{});
    Renderer renderer(OpticsConfig{}, slide);
    std::vector<std::uint8_t> buffer(size_t(width) * height * 3);
    Pose pose{20000.3, 15000.6, 0.5};
    renderer.render(pose, Exposure{}, width, height, false, buffer.data(), size_t(width) * 3);
    for (auto _ : state) {
        FrameStats stats = renderer.render(pose, Exposure{}, width, height, false, buffer.data(),
                                           size_t(width) * 3);
        benchmark::DoNotOptimize(stats);
    }
}
BENCHMARK(BM_RenderStill)->Args({2048, 1536})->Unit(benchmark::kMillisecond);

void BM_ProceduralTile(benchmark::State &state) {
    Slide slide(SlideConfig{});
    int i = 0;
    for (auto _ : state) {
        cv::Mat tile = slide.generateProceduralTile(40 + i % 50, 30 + i / 50);
        benchmark::DoNotOptimize(tile.data);
        ++i;
    }
}
BENCHMARK(BM_ProceduralTile)->Unit(benchmark::kMillisecond);

// A camera's first frame: every tile under it is made from nothing.
void BM_FirstFrame(benchmark::State &state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    std::vector<std::uint8_t> buffer(size_t(width) * height * 3);
    unsigned seed = 1;
    for (auto _ : state) {
        SlideConfig slideConfig;
        slideConfig.seed = seed++;
        Slide slide(slideConfig);
        Renderer renderer(OpticsConfig{}, slide);
        Pose pose{20000.5, 15000.25, 0};
        FrameStats stats = renderer.render(pose, Exposure{}, width, height, false, buffer.data(),
                                           size_t(width) * 3);
        benchmark::DoNotOptimize(stats);
    }
}
BENCHMARK(BM_FirstFrame)->Args({2048, 1536})->Args({1280, 960})->Unit(benchmark::kMillisecond);

void transform(benchmark::State &state, VmbPixelFormat_t format, int bytesPerPixel) {
    const VmbUint32_t width = 2048, height = 1536;
    std::vector<std::uint8_t> in(size_t(width) * height * bytesPerPixel, 128);
    std::vector<std::uint8_t> out(size_t(width) * height * 3);
    for (auto _ : state) {
        VmbImage source{};
        source.Size = sizeof(source);
        source.Data = in.data();
        VmbSetImageInfoFromPixelFormat(format, width, height, &source);
        VmbImage destination{};
        destination.Size = sizeof(destination);
        VmbSetImageInfoFromInputImage(&source, VmbPixelLayoutRGB, 8, &destination);
        destination.Data = out.data();
        benchmark::DoNotOptimize(VmbImageTransform(&source, &destination, nullptr, 0));
    }
}

void BM_TransformRgb8(benchmark::State &state) {
    transform(state, VmbPixelFormatRgb8, 3);
}
BENCHMARK(BM_TransformRgb8)->Unit(benchmark::kMillisecond);

void BM_TransformBayerRG8(benchmark::State &state) {
    transform(state, VmbPixelFormatBayerRG8, 1);
}
BENCHMARK(BM_TransformBayerRG8)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
