#pragma once

#include "camera/cameraproperty.h"
#include "camera/frameinfo.h"
#include "camera/vignettingprofile.h"
#include "common/cameraplugin.h"

#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstddef>
#include <vector>

class QTimer;

// The camera worker: loads the camera plug-ins, discovers their cameras, keeps one camera open,
// pulls a frame from it every 30 ms and publishes it with a preview and a sharpness measure.
// Created by the camera facade and moved into the camera thread, where all its slots run.
class CameraManager : public QObject {
    Q_OBJECT
public:
    // Library base names of the camera plug-ins, in the order they are loaded.
    static QStringList defaultPluginNames();

    explicit CameraManager(QObject *parent = nullptr);
    // Loads the plug-ins named here instead of the default ones.
    explicit CameraManager(const QStringList &pluginNames, QObject *parent = nullptr);
    ~CameraManager() override;

    // Whether a camera is open; safe to ask from any thread.
    bool hasCamera() const { return cameraOpen.load(std::memory_order_acquire); }

    // The preview size for a camera of the given size: fitted into 768 x 768, never enlarged.
    static cv::Size previewSize(cv::Size cameraSize);
    // 10 x the standard deviation of the Laplacian of the grey image of an 8-bit RGB image.
    static double sharpness(const cv::Mat &image);

    // One frame step without scheduling the next one: take a frame from the open camera, feed
    // or correct it with the vignetting profile, publish it with its preview and sharpness.
    void frameStep();

signals:
    void availableCamerasChanged(QList<CameraInfo> cameras);
    void updated(FrameInfo info);
    // `camera` is a handle that does not own the camera (only the manager does, in the camera
    // thread); `properties` are new front-ends in the GUI thread, for the receiver to adopt.
    void cameraChanged(QSharedPointer<common::AbstractCamera> camera,
                       QList<CameraPropertyFrontend *> properties);
    void vignettingProfileGenerationFinished();
    void vignettingProfileProgress(double progress);

public slots:
    void findAvailableCameras();
    void setCamera(QSharedPointer<common::AbstractCamera> camera);
    void setCameraId(QString cameraId);
    // One frame step, then the next one is scheduled 30 ms later.
    void update();
    void updateProperties();
    void setVignettingProfileGeneration(bool value);
    void setVignettingCorrectionEnabled(bool value);
    void beginScanning();
    void endScanning();

private:
    void loadPlugins();
    void accumulateVignetting(const cv::Mat &frame);

    QSharedPointer<common::AbstractCamera> currentCamera;
    std::vector<QSharedPointer<common::AbstractCamera>> cameras;
    std::vector<QSharedPointer<CameraProperty>> properties;
    VignettingProfile vignettingProfile;
    bool vignettingCorrectionEnabled = false;
    bool vignettingProfileGeneration = false;
    QStringList pluginNames;
    std::vector<boost::shared_ptr<common::CameraPlugin>> plugins;
    bool pluginsLoaded = false;
    // A startup() that throws must not make the next discovery import the same plug-ins again:
    // the import happens once, and startup() is retried from the first plug-in not yet started.
    bool pluginsImported = false;
    std::size_t pluginsStarted = 0;
    QTimer *propertiesTimer;
    std::atomic_bool cameraOpen{false};
    quint64 publishedFrames = 0;
};

Q_DECLARE_METATYPE(QSharedPointer<common::AbstractCamera>)
