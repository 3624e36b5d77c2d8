#pragma once

// One simulated microscope camera: its features, its open state, and the acquisition thread
// that renders frames at the configured rate into the rotating buffers and hands each to the
// observer.

#include "featureset.h"
#include "simconfig.h"

#include <VmbCPP/VmbCPP.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vmbsim {

class Slide;
class Stage;
class Renderer;

struct FrameBuffer {
    std::vector<std::uint8_t> pixels;
    VmbUint32_t width = 0;
    VmbUint32_t height = 0;
    VmbPixelFormatType pixelFormat = VmbPixelFormatRgb8;
    // Written while the user may still read an earlier delivery of the same buffer.
    std::atomic<VmbUint64_t> frameId{0};
    std::atomic<bool> imageFails{false}; // injected fault for this delivery
};

class SimCamera {
public:
    explicit SimCamera(CameraConfig config);
    ~SimCamera();

    const CameraConfig &config() const { return m_config; }
    const std::shared_ptr<FeatureSet> &features() const { return m_features; }

    VmbErrorType open();
    VmbErrorType close();
    bool isOpen() const;

    VmbErrorType start(int bufferCount, const VmbCPP::IFrameObserverPtr &observer);
    VmbErrorType stop();
    VmbErrorType queue(const VmbCPP::FramePtr &frame);
    VmbErrorType flush();

private:
    void run();
    void ensureWorld();
    void applyAutomatics(double meanLevel, const std::array<double, 3> &channelMeans);
    void writeTruth(VmbUint64_t frame, double timeS, double x, double y, double defocus);

    CameraConfig m_config;
    std::shared_ptr<FeatureSet> m_features;

    mutable std::mutex m_mutex; // open state, queue, frames
    bool m_open = false;
    std::vector<VmbCPP::FramePtr> m_frames;
    std::deque<VmbCPP::FramePtr> m_queue;
    VmbCPP::IFrameObserverPtr m_observer;

    std::thread m_thread;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_stopRequested{false};

    // Owned by the acquisition thread while it runs.
    std::unique_ptr<Slide> m_slide;
    std::unique_ptr<Stage> m_stage;
    std::unique_ptr<Renderer> m_renderer;
    double m_stageTimeS = 0; // advances only while acquiring
    VmbUint64_t m_frameCount = 0;
    int m_onceFrames = 0;
    int m_balanceOnceFrames = 0;
    std::FILE *m_truth = nullptr;
};

} // namespace vmbsim
