#include "vimbacamera.h"

#include "vimbaexception.h"

#include <VmbImageTransform/VmbTransform.h>

#include <QDebug>

namespace {

VmbCPP::CameraPtr openCamera(VmbCPP::CameraPtr camera) {
    checkVmb(camera->Open(VmbAccessModeFull), "m_camera->Open(VmbAccessModeFull) failed");
    return camera;
}

// A camera that opened but lacks its size is closed again before the failure leaves the
// constructor: left open, it would refuse to open at every later listing.
VmbCPP::FeaturePtr sizeFeature(const VmbCPP::CameraPtr &camera, const std::string &name) {
    VmbCPP::FeaturePtr feature;
    VmbErrorType result = camera->GetFeatureByName(name.c_str(), feature);
    if (result != VmbErrorSuccess)
        camera->Close();
    checkVmb(result, "GetFeatureByName " + name + " failed");
    return feature;
}

} // namespace

VimbaCamera::VimbaCamera(VmbCPP::CameraPtr camera)
    : m_camera(openCamera(std::move(camera)))
    , m_width(sizeFeature(m_camera, "Width"), false)
    , m_height(sizeFeature(m_camera, "Height"), false) {}

VimbaCamera::~VimbaCamera() {
    try {
        checkVmb(m_camera->Close(), "m_camera->Close() failed");
    } catch (const VimbaException &e) {
        qDebug() << e.what();
    }
}

cv::Mat VimbaCamera::frame() {
    VmbCPP::FramePtr frame;
    {
        std::lock_guard lock(m_frameMutex);
        frame = m_frame;
    }
    if (!frame)
        return {};
    try {
        VmbUchar_t *buffer = nullptr;
        checkVmb(frame->GetImage(buffer), "frame->GetImage(buffer) failed");
        VmbPixelFormatType pixelFormat;
        checkVmb(frame->GetPixelFormat(pixelFormat), "frame->GetPixelFormat(pixelFormat) failed");
        VmbUint32_t width = 0, height = 0;
        checkVmb(frame->GetWidth(width), "");
        checkVmb(frame->GetHeight(height), "");

        VmbImage source{};
        source.Size = sizeof(source);
        source.Data = buffer;
        checkVmb(VmbSetImageInfoFromPixelFormat(pixelFormat, width, height, &source), "");

        VmbImage destination{};
        destination.Size = sizeof(destination);
        VmbSetImageInfoFromInputImage(&source, VmbPixelLayoutRGB, 8, &destination);

        cv::Mat image(int(height), int(width), CV_8UC3);
        destination.Data = image.data;
        // A failed transform leaves the matrix uninitialised: that is a frame that cannot be
        // converted, not a picture.
        checkVmb(VmbImageTransform(&source, &destination, nullptr, 0), "VmbImageTransform failed");
        return image;
    } catch (const VimbaException &e) {
        qDebug() << "Failed to acquire image:" << e.what();
        return {};
    }
}

cv::Size VimbaCamera::size() {
    VmbInt64_t width = 0, height = 0;
    checkVmb(m_width.feature()->GetValue(width), "m_feature->GetValue(value) failed");
    checkVmb(m_height.feature()->GetValue(height), "m_feature->GetValue(value) failed");
    return cv::Size(int(width), int(height));
}

std::string VimbaCamera::id() {
    std::string devId;
    checkVmb(m_camera->GetID(devId), "m_camera->GetID(devId) failed");
    return "Vimba " + devId;
}

std::string VimbaCamera::name() {
    std::string name;
    checkVmb(m_camera->GetName(name), "m_camera->GetName(name) failed");
    return name;
}

void VimbaCamera::start() {
    // Drop frames left queued by an earlier acquisition.
    m_camera->FlushQueue();
    auto observer = std::make_shared<FrameObserver>(m_camera, &m_frame, &m_frameMutex);
    m_camera->StartContinuousImageAcquisition(5, observer, VmbCPP::FrameAllocation_AnnounceFrame);
}

void VimbaCamera::stop() {
    m_camera->StopContinuousImageAcquisition();
}

std::vector<std::pair<QString, QSharedPointer<common::CameraPropertyBackend>>>
VimbaCamera::properties() {
    using Backend = QSharedPointer<common::CameraPropertyBackend>;
    std::vector<std::pair<QString, Backend>> list;

    auto addProperty = [&](const std::string &name,
                           const std::function<Backend(VmbCPP::FeaturePtr)> &factory,
                           const QString &shownAs = {}) -> Backend {
        try {
            VmbCPP::FeaturePtr feat;
            checkVmb(m_camera->GetFeatureByName(name.c_str(), feat),
                     "camera->GetFeatureByName(name.c_str(), feat) failed");
            std::string displayName;
            checkVmb(feat->GetDisplayName(displayName), "feat->GetDisplayName(displayName) failed");
            Backend property = factory(feat);
            if (!property) {
                qDebug() << "Feature" << name.c_str() << "not available";
                return {};
            }
            list.emplace_back(shownAs.isEmpty() ? QString::fromStdString(displayName) : shownAs,
                              property);
            return property;
        } catch (const VimbaException &e) {
            qDebug() << "Failed to add feature" << name.c_str() << ":" << e.what();
            return {};
        }
    };

    Backend exposureAuto = addProperty("ExposureAuto", [this](VmbCPP::FeaturePtr feat) -> Backend {
        std::vector<VmbCPP::FeaturePtr> features{feat};
        VmbCPP::FeaturePtr gainAuto;
        if (m_camera->GetFeatureByName("GainAuto", gainAuto) == VmbErrorSuccess && gainAuto)
            features.push_back(gainAuto);
        return QSharedPointer<VimbaEnumProperty>::create(features, QVariant(QString("Off")));
    });
    auto exposureAutoOn = [exposureAuto] {
        return exposureAuto && exposureAuto->value().toString() != QLatin1String("Off");
    };
    auto exposureManual = [exposureAuto] {
        return !exposureAuto || exposureAuto->value().toString() != QLatin1String("Continuous");
    };

    addProperty("AutoTargetBrightness", [&](VmbCPP::FeaturePtr feat) -> Backend {
        return QSharedPointer<VimbaProperty<double>>::create(
            feat, false, std::nullopt, std::nullopt, std::function<bool()>(exposureAutoOn));
    });
    addProperty("ExposureTime", [&](VmbCPP::FeaturePtr feat) -> Backend {
        return QSharedPointer<VimbaProperty<double>>::create(feat, true, std::nullopt, 100000.0,
                                                             std::function<bool()>(exposureManual));
    });
    addProperty("Gain", [&](VmbCPP::FeaturePtr feat) -> Backend {
        return QSharedPointer<VimbaProperty<double>>::create(
            feat, false, std::nullopt, std::nullopt, std::function<bool()>(exposureManual));
    });
    addProperty("Gamma", makePropertyByType);
    Backend whiteBalanceAuto = addProperty("BalanceWhiteAuto", makePropertyByType);

    VmbCPP::FeaturePtr selector, ratio;
    if (m_camera->GetFeatureByName("BalanceRatioSelector", selector) == VmbErrorSuccess &&
        m_camera->GetFeatureByName("BalanceRatio", ratio) == VmbErrorSuccess && selector && ratio) {
        auto balanceManual = [whiteBalanceAuto] {
            return !whiteBalanceAuto ||
                   whiteBalanceAuto->value().toString() != QLatin1String("Continuous");
        };
        for (const char *colour : {"Red", "Green", "Blue"}) {
            std::string colourName = colour;
            addProperty(
                "BalanceRatio",
                [&](VmbCPP::FeaturePtr feat) -> Backend {
                    return QSharedPointer<VimbaProperty<double>>::create(
                        feat, false, std::nullopt, std::nullopt,
                        std::function<bool()>(balanceManual),
                        std::function<void()>(
                            [selector, colourName] { selector->SetValue(colourName.c_str()); }));
                },
                QString::fromLatin1(colour));
        }
    }
    return list;
}

FrameObserver::FrameObserver(VmbCPP::CameraPtr camera, VmbCPP::FramePtr *frame,
                             std::mutex *frameMutex)
    : VmbCPP::IFrameObserver(std::move(camera))
    , m_frame(frame)
    , m_frameMutex(frameMutex) {}

void FrameObserver::FrameReceived(const VmbCPP::FramePtr frame) {
    {
        std::lock_guard lock(*m_frameMutex);
        *m_frame = frame;
    }
    m_pCamera->QueueFrame(frame);
}
