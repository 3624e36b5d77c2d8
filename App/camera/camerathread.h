#pragma once

#include "camera/cameraproperty.h"
#include "camera/frameinfo.h"
#include "common/cameraplugin.h"
#include "shell/workerthread.h"

#include <QList>
#include <QMutex>
#include <QSharedPointer>
#include <QStringList>

#include <opencv2/core.hpp>

class CameraManager;
class Settings;

// The camera subsystem as the GUI thread and QML see it (context property "cameraThread"). Owns
// the camera thread and the CameraManager working in it, mirrors the manager's results as
// properties and forwards the UI's requests to it.
class CameraThread : public WorkerThread {
    Q_OBJECT
    Q_PROPERTY(cv::Mat image READ image NOTIFY newFrame)
    Q_PROPERTY(cv::Mat smallImage READ smallImage NOTIFY newFrame)
    Q_PROPERTY(double imageScaleX READ imageScaleX NOTIFY newFrame)
    Q_PROPERTY(double imageScaleY READ imageScaleY NOTIFY newFrame)
    Q_PROPERTY(double sharpness READ sharpness NOTIFY newFrame)
    Q_PROPERTY(bool vignettingProfileGeneration READ vignettingProfileGeneration WRITE
                   setVignettingProfileGeneration NOTIFY vignettingProfileGenerationChanged)
    Q_PROPERTY(bool vignettingCorrectionAvailable READ vignettingCorrectionAvailable NOTIFY
                   vignettingCorrectionAvailableChanged)
    Q_PROPERTY(double vignettingProfileProgress READ vignettingProfileProgress WRITE
                   setVignettingProfileProgress NOTIFY vignettingProfileProgressChanged)
    Q_PROPERTY(
        QList<CameraInfo> availableCameras READ availableCameras NOTIFY availableCamerasChanged)
    Q_PROPERTY(bool availableCamerasLoading READ availableCamerasLoading NOTIFY
                   availableCamerasLoadingChanged)
    Q_PROPERTY(QList<CameraPropertyFrontend *> properties READ properties NOTIFY propertiesChanged)

public:
    // Starts the camera thread, the first discovery and the frame loop at once.
    explicit CameraThread(Settings *settings);
    // Same, loading the camera plug-ins named here instead of the default ones.
    CameraThread(Settings *settings, const QStringList &pluginNames);
    ~CameraThread() override;

    // The newest frame; safe to call from any thread. A published FrameInfo is never changed.
    QSharedPointer<FrameInfo> latestFrame() const;

    cv::Mat image() const;
    cv::Mat smallImage() const;
    double imageScaleX() const;
    double imageScaleY() const;
    double sharpness() const;
    bool vignettingProfileGeneration() const { return m_vignettingProfileGeneration; }
    void setVignettingProfileGeneration(bool value);
    bool vignettingCorrectionAvailable() const { return m_vignettingCorrectionAvailable; }
    double vignettingProfileProgress() const { return m_vignettingProfileProgress; }
    QList<CameraInfo> availableCameras() const { return m_availableCameras; }
    bool availableCamerasLoading() const { return m_availableCamerasLoading; }
    QList<CameraPropertyFrontend *> properties() const { return m_properties; }

    Q_INVOKABLE void requestAvailableCameras();
    Q_INVOKABLE void beginScanning();
    Q_INVOKABLE void endScanning();

    // Disposes of the manager in the camera thread, then quits the thread and waits for it.
    void stop();

signals:
    void newFrame();
    void setCameraId(QString cameraId);
    void vignettingCorrectionAvailableChanged(bool value);
    void vignettingProfileGenerationChanged(bool value);
    void vignettingProfileProgressChanged();
    void findAvailableCameras();
    void availableCamerasChanged();
    void availableCamerasLoadingChanged();
    void propertiesChanged();
    void beginScanningSignal();
    void endScanningSignal();

private slots:
    void managerUpdated(FrameInfo frame);
    void setVignettingCorrectionAvailable(bool value);
    void setVignettingProfileProgress(double value);
    void vignettingProfileGenerationFinished();
    void onAvailableCameras(QList<CameraInfo> cameras);
    void onCameraChange(QSharedPointer<common::AbstractCamera> camera,
                        QList<CameraPropertyFrontend *> properties);

private:
    bool cameraOpen() const;

    Settings *settings;
    CameraManager *manager;
    // The live builder copies the pointer from its own thread while managerUpdated replaces it.
    mutable QMutex m_frameMutex;
    QSharedPointer<FrameInfo> m_latestFrame;
    bool m_vignettingCorrectionAvailable = false;
    bool m_vignettingProfileGeneration = false;
    double m_vignettingProfileProgress = 0.;
    QList<CameraInfo> m_availableCameras;
    bool m_availableCamerasLoading = false;
    QList<CameraPropertyFrontend *> m_properties;
};
