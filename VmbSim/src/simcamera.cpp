#include "simcamera.h"

#include "renderer.h"
#include "slide.h"
#include "stage.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace vmbsim {

SimCamera::SimCamera(CameraConfig config)
    : m_config(std::move(config))
    , m_features(std::make_shared<FeatureSet>(m_config)) {}

SimCamera::~SimCamera() {
    stop();
    if (m_truth)
        std::fclose(m_truth);
}

VmbErrorType SimCamera::open() {
    std::lock_guard lock(m_mutex);
    // A camera held by another program, or already opened here, refuses full access.
    if (m_config.faults.openElsewhere || m_open)
        return VmbErrorInvalidAccess;
    m_open = true;
    return VmbErrorSuccess;
}

VmbErrorType SimCamera::close() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_open)
            return VmbErrorDeviceNotOpen;
    }
    stop();
    std::lock_guard lock(m_mutex);
    m_open = false;
    if (m_config.faults.closeError)
        return VmbErrorType(m_config.faults.closeError);
    return VmbErrorSuccess;
}

bool SimCamera::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_open;
}

void SimCamera::ensureWorld() {
    if (!m_slide)
        m_slide = std::make_unique<Slide>(m_config.slide);
    if (!m_stage)
        m_stage = Stage::create(m_config.stage, m_slide->widthPx(), m_slide->heightPx(),
                                int(m_features->number("Width", m_config.widthPx)),
                                int(m_features->number("Height", m_config.heightPx)),
                                m_config.optics.maxDefocusPx);
    if (!m_renderer)
        m_renderer = std::make_unique<Renderer>(m_config.optics, *m_slide);
    if (!m_truth && !m_config.groundTruthPath.empty()) {
        m_truth = std::fopen(m_config.groundTruthPath.c_str(), "w");
        if (!m_truth)
            throw ConfigError("cannot write ground truth " + m_config.groundTruthPath);
        std::fprintf(m_truth, "frame,time,x,y,focus\n");
        std::fflush(m_truth);
    }
}

VmbErrorType SimCamera::start(int bufferCount, const VmbCPP::IFrameObserverPtr &observer) {
    if (bufferCount < 1 || !observer)
        return VmbErrorBadParameter;
    {
        std::lock_guard lock(m_mutex);
        if (!m_open)
            return VmbErrorDeviceNotOpen;
        if (m_thread.joinable())
            return VmbErrorInvalidCall;
    }
    if (m_config.faults.acquisitionStartError)
        return VmbErrorType(m_config.faults.acquisitionStartError);
    try {
        ensureWorld();
    } catch (const ConfigError &e) {
        std::fprintf(stderr, "VmbSim: camera %s: %s\n", m_config.id.c_str(), e.what());
        return VmbErrorResources;
    }

    const bool bayer = m_config.pixelFormat == "BayerRG8";
    const auto width = VmbUint32_t(m_features->number("Width", m_config.widthPx));
    const auto height = VmbUint32_t(m_features->number("Height", m_config.heightPx));
    std::lock_guard lock(m_mutex);
    m_frames.clear();
    m_queue.clear();
    for (int i = 0; i < bufferCount; ++i) {
        auto buffer = std::make_shared<FrameBuffer>();
        buffer->width = width;
        buffer->height = height;
        buffer->pixelFormat = bayer ? VmbPixelFormatBayerRG8 : VmbPixelFormatRgb8;
        buffer->pixels.assign(size_t(width) * height * (bayer ? 1 : 3), 0);
        auto frame = std::make_shared<VmbCPP::Frame>(buffer);
        m_frames.push_back(frame);
        m_queue.push_back(frame);
    }
    m_observer = observer;
    m_features->setAcquiring(true);
    m_stopRequested = false;
    m_thread = std::thread(&SimCamera::run, this);
    return VmbErrorSuccess;
}

VmbErrorType SimCamera::stop() {
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            return VmbErrorSuccess;
        thread = std::move(m_thread);
    }
    {
        std::lock_guard wakeLock(m_wakeMutex);
        m_stopRequested = true;
    }
    m_wake.notify_all();
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach(); // stopped from inside the observer: the loop ends after it returns
    else
        thread.join();
    std::lock_guard lock(m_mutex);
    m_observer.reset();
    m_queue.clear();
    m_frames.clear();
    m_features->setAcquiring(false);
    return VmbErrorSuccess;
}

VmbErrorType SimCamera::queue(const VmbCPP::FramePtr &frame) {
    std::lock_guard lock(m_mutex);
    if (!frame)
        return VmbErrorBadParameter;
    if (std::find(m_frames.begin(), m_frames.end(), frame) == m_frames.end())
        return VmbErrorInvalidCall; // not a buffer of the running acquisition
    if (std::find(m_queue.begin(), m_queue.end(), frame) == m_queue.end())
        m_queue.push_back(frame);
    return VmbErrorSuccess;
}

VmbErrorType SimCamera::flush() {
    std::lock_guard lock(m_mutex);
    if (!m_open)
        return VmbErrorDeviceNotOpen;
    if (!m_thread.joinable())
        m_queue.clear();
    return VmbErrorSuccess;
}

void SimCamera::writeTruth(VmbUint64_t frame, double timeS, double x, double y, double defocus) {
    if (!m_truth)
        return;
    std::fprintf(m_truth, "%llu,%.6f,%.4f,%.4f,%.4f\n", (unsigned long long)frame, timeS, x, y,
                 defocus);
    std::fflush(m_truth);
}

void SimCamera::applyAutomatics(double meanLevel, const std::array<double, 3> &channelMeans) {
    FeatureSet &f = *m_features;
    const std::string exposureAuto = f.entry("ExposureAuto");
    const std::string gainAuto = f.entry("GainAuto");
    const bool autoExposure = exposureAuto != "Off";
    const bool autoGain = gainAuto != "Off";
    const double gamma = std::max(0.05, f.number("Gamma", 1.0));
    if (autoExposure || autoGain) {
        const double target = f.number("AutoTargetBrightness", 110.0);
        const double error = target / std::max(1.0, meanLevel);
        bool settled = std::abs(meanLevel - target) < 0.03 * target + 1.0;
        if (!settled) {
            // The level follows the light as a power of gamma; move part of the way so the loop
            // does not oscillate on saturated or noisy frames.
            double ratio = std::clamp(std::pow(error, 0.8 / gamma), 0.5, 2.0);
            double remaining = ratio;
            if (autoExposure) {
                double exposure = f.number("ExposureTime", 10000.0);
                double upper = std::min(f.numberMax("ExposureTime", 1e6), 1e6 / m_config.fps);
                double lower = f.numberMin("ExposureTime", 20.0);
                // Brighter: exposure first, gain only when exposure is at its limit. Darker: gain
                // first, so noise goes down before exposure is shortened.
                if (ratio < 1 && autoGain && f.number("Gain", 0) > 0) {
                    // handled below through the gain
                } else {
                    double wanted = exposure * ratio;
                    double set = std::clamp(wanted, lower, std::max(lower, upper));
                    f.setNumber("ExposureTime", set);
                    remaining = wanted / set;
                }
            }
            if (autoGain && std::abs(remaining - 1.0) > 1e-3) {
                double gain = f.number("Gain", 0.0);
                f.setNumber("Gain", gain + 20.0 * std::log10(remaining));
            }
        }
        if (exposureAuto == "Once" || gainAuto == "Once") {
            if (settled || ++m_onceFrames > 60) {
                if (exposureAuto == "Once")
                    f.setEntry("ExposureAuto", "Off");
                if (gainAuto == "Once")
                    f.setEntry("GainAuto", "Off");
                m_onceFrames = 0;
            }
        }
    }
    const std::string balanceAuto = f.entry("BalanceWhiteAuto");
    if (balanceAuto != "Off") {
        // Grey world: the mean of the picture is taken to be neutral, green is the reference.
        std::array<double, 3> ratios = f.balance();
        bool settled = true;
        for (int c : {0, 2}) {
            double correction =
                std::pow(std::max(1.0, channelMeans[1]) / std::max(1.0, channelMeans[size_t(c)]),
                         1.0 / gamma);
            if (std::abs(correction - 1.0) > 0.01)
                settled = false;
            ratios[size_t(c)] *= std::pow(correction, 0.7);
        }
        f.setBalance(ratios);
        if (balanceAuto == "Once" && (settled || ++m_balanceOnceFrames > 60)) {
            f.setEntry("BalanceWhiteAuto", "Off");
            m_balanceOnceFrames = 0;
        }
    }
}

void SimCamera::run() {
    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    auto next = last;
    while (true) {
        const double exposureS = m_features->number("ExposureTime", 10000.0) * 1e-6;
        // A long exposure slows the camera down, as it would a real one.
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::max(1.0 / m_config.fps, exposureS)));
        next += period;
        auto now = Clock::now();
        if (next < now - period)
            next = now; // fell behind: no burst of catch-up frames
        {
            std::unique_lock wakeLock(m_wakeMutex);
            if (m_wake.wait_until(wakeLock, next, [this] { return m_stopRequested.load(); }))
                break;
        }
        now = Clock::now();
        if (m_config.frameClock)
            m_stageTimeS += 1.0 / m_config.fps;
        else
            m_stageTimeS += std::chrono::duration<double>(now - last).count();
        last = now;

        VmbCPP::FramePtr frame;
        VmbCPP::IFrameObserverPtr observer;
        {
            std::lock_guard lock(m_mutex);
            observer = m_observer;
            if (!m_queue.empty()) {
                frame = m_queue.front();
                m_queue.pop_front();
            }
        }
        if (!frame)
            continue; // every buffer is with the user: this frame is lost

        FrameBuffer &buffer = *frame->buffer();
        const bool bayer = buffer.pixelFormat == VmbPixelFormatBayerRG8;
        Exposure exposure;
        exposure.exposureUs = m_features->number("ExposureTime", 10000.0);
        exposure.gainDb = m_features->number("Gain", 0.0);
        exposure.gamma = m_features->number("Gamma", 1.0);
        exposure.balance = m_features->balance();
        const Pose pose = m_stage->at(m_stageTimeS);
        const FrameStats stats =
            m_renderer->render(pose, exposure, int(buffer.width), int(buffer.height), bayer,
                               buffer.pixels.data(), size_t(buffer.width) * (bayer ? 1 : 3));
        buffer.frameId = m_frameCount;
        const int failEvery = m_config.faults.getImageFailEvery;
        buffer.imageFails = failEvery > 0 && (m_frameCount + 1) % VmbUint64_t(failEvery) == 0;
        writeTruth(m_frameCount, m_stageTimeS, pose.x, pose.y, pose.defocusPx);
        ++m_frameCount;
        applyAutomatics(stats.meanLevel, stats.channelMean);
        observer->FrameReceived(frame);
    }
}

} // namespace vmbsim
