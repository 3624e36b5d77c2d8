#include "camera/camerathread.h"

#include "camera/cameramanager.h"
#include "shell/settings.h"

#include <QDebug>
#include <QMutexLocker>
#include <QTimer>

#include <utility>

namespace {
constexpr int firstFrameDelayMs = 30;
}

CameraThread::CameraThread(Settings *settings)
    : CameraThread(settings, CameraManager::defaultPluginNames()) {}

CameraThread::CameraThread(Settings *settings, const QStringList &pluginNames)
    : WorkerThread(QThread::HighPriority)
    , settings(settings)
    , manager(new CameraManager(pluginNames))
    , m_latestFrame(QSharedPointer<FrameInfo>::create()) {
    // The manager's own slot logs "vignetting correction: " with the value.
    manager->setVignettingCorrectionEnabled(settings->vignettingCorrection());
    manager->moveToThread(&thread);

    connect(manager, &CameraManager::updated, this, &CameraThread::managerUpdated);
    connect(manager, &CameraManager::vignettingProfileGenerationFinished, this,
            &CameraThread::vignettingProfileGenerationFinished);
    connect(manager, &CameraManager::vignettingProfileProgress, this,
            &CameraThread::setVignettingProfileProgress);
    connect(manager, &CameraManager::availableCamerasChanged, this,
            &CameraThread::onAvailableCameras);
    connect(manager, &CameraManager::cameraChanged, this, &CameraThread::onCameraChange);
    connect(this, &CameraThread::vignettingProfileGenerationChanged, manager,
            &CameraManager::setVignettingProfileGeneration);
    connect(this, &CameraThread::setCameraId, manager, &CameraManager::setCameraId);
    connect(this, &CameraThread::findAvailableCameras, manager,
            &CameraManager::findAvailableCameras);
    connect(this, &CameraThread::beginScanningSignal, manager, &CameraManager::beginScanning);
    connect(this, &CameraThread::endScanningSignal, manager, &CameraManager::endScanning);
    connect(settings, &Settings::vignettingCorrectionChanged, manager,
            &CameraManager::setVignettingCorrectionEnabled);
    connect(settings, &Settings::cameraIdChanged, this, &CameraThread::setCameraId);

    QTimer::singleShot(firstFrameDelayMs, manager, &CameraManager::update);

    m_availableCamerasLoading = true;
    emit availableCamerasLoadingChanged();
    emit findAvailableCameras();
}

CameraThread::~CameraThread() {
    if (manager)
        stop();
    qDeleteAll(m_properties);
}

QSharedPointer<FrameInfo> CameraThread::latestFrame() const {
    QMutexLocker lock(&m_frameMutex);
    return m_latestFrame;
}

cv::Mat CameraThread::image() const {
    const auto frame = latestFrame();
    return frame ? frame->image : cv::Mat();
}

cv::Mat CameraThread::smallImage() const {
    const auto frame = latestFrame();
    return frame ? frame->smallImage : cv::Mat();
}

double CameraThread::imageScaleX() const {
    const auto frame = latestFrame();
    if (!frame)
        return 0. / 0.;
    return double(frame->image.cols) / double(frame->smallImage.cols);
}

double CameraThread::imageScaleY() const {
    const auto frame = latestFrame();
    if (!frame)
        return 0. / 0.;
    return double(frame->image.rows) / double(frame->smallImage.rows);
}

double CameraThread::sharpness() const {
    const auto frame = latestFrame();
    return frame ? frame->sharpness : 0.;
}

bool CameraThread::cameraOpen() const {
    return manager && manager->hasCamera();
}

void CameraThread::setVignettingProfileGeneration(bool value) {
    if (!cameraOpen())
        return;
    m_vignettingProfileGeneration = value;
    emit vignettingProfileGenerationChanged(value);
}

void CameraThread::requestAvailableCameras() {
    m_availableCamerasLoading = true;
    emit availableCamerasLoadingChanged();
    emit findAvailableCameras();
}

void CameraThread::beginScanning() {
    emit beginScanningSignal();
}

void CameraThread::endScanning() {
    emit endScanningSignal();
}

void CameraThread::stop() {
    if (manager) {
        // Deleted in the camera thread as it finishes, which shuts the plug-ins down there.
        manager->deleteLater();
        manager = nullptr;
    }
    {
        QMutexLocker lock(&m_frameMutex);
        m_latestFrame.reset();
    }
    WorkerThread::stop();
}

void CameraThread::managerUpdated(FrameInfo frame) {
    auto next = QSharedPointer<FrameInfo>::create(std::move(frame));
    {
        QMutexLocker lock(&m_frameMutex);
        std::swap(m_latestFrame, next);
    }
    // The previous frame is released here, outside the lock.
    next.reset();
    emit newFrame();
}

void CameraThread::setVignettingCorrectionAvailable(bool value) {
    m_vignettingCorrectionAvailable = value;
    emit vignettingCorrectionAvailableChanged(value);
}

void CameraThread::setVignettingProfileProgress(double value) {
    m_vignettingProfileProgress = value;
    emit vignettingProfileProgressChanged();
}

void CameraThread::vignettingProfileGenerationFinished() {
    if (cameraOpen()) {
        m_vignettingProfileGeneration = false;
        emit vignettingProfileGenerationChanged(false);
    }
    m_vignettingCorrectionAvailable = true;
    emit vignettingCorrectionAvailableChanged(true);
    settings->setVignettingCorrection(true);
}

void CameraThread::onAvailableCameras(QList<CameraInfo> cameras) {
    m_availableCameras = cameras;
    emit setCameraId(settings->cameraId());
    emit availableCamerasChanged();
    m_availableCamerasLoading = false;
    emit availableCamerasLoadingChanged();
}

void CameraThread::onCameraChange(QSharedPointer<common::AbstractCamera> camera,
                                  QList<CameraPropertyFrontend *> properties) {
    Q_UNUSED(camera)
    qDeleteAll(m_properties);
    m_properties = properties;
    for (CameraPropertyFrontend *property : std::as_const(m_properties)) {
        property->setParent(this);
        qDebug() << "Property:" << property->name() << "value:" << property->value();
    }
    emit propertiesChanged();
}
