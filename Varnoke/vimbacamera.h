#pragma once

#include "common/cameraplugin.h"
#include "vimbaproperty.h"

#include <VmbCPP/VmbCPP.h>

#include <mutex>

// One camera of the vendor SDK behind the plug-in contract. The SDK pushes frames from its
// own thread; the host pulls the newest one whenever it likes.
class VimbaCamera : public common::AbstractCamera {
public:
    // Opens the camera with full access; throws VimbaException when it cannot be opened or
    // has no image size.
    explicit VimbaCamera(VmbCPP::CameraPtr camera);
    ~VimbaCamera() override;

    cv::Mat frame() override;
    cv::Size size() override;
    std::string id() override;
    std::string name() override;
    void start() override;
    void stop() override;
    std::vector<std::pair<QString, QSharedPointer<common::CameraPropertyBackend>>>
    properties() override;

private:
    VmbCPP::CameraPtr m_camera;
    VmbCPP::FramePtr m_frame;
    std::mutex m_frameMutex;
    VimbaProperty<long long> m_width;
    VimbaProperty<long long> m_height;
};

// Keeps the newest frame for the camera and hands the buffer straight back to the SDK.
class FrameObserver : public VmbCPP::IFrameObserver {
public:
    FrameObserver(VmbCPP::CameraPtr camera, VmbCPP::FramePtr *frame, std::mutex *frameMutex);
    void FrameReceived(const VmbCPP::FramePtr frame) override;

private:
    VmbCPP::FramePtr *m_frame;
    std::mutex *m_frameMutex;
};
