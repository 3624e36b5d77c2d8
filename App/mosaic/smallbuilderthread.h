#pragma once

#include "mosaic/smallbuilder.h"
#include "shell/metatypes.h"
#include "shell/workerthread.h"

#include <QObject>
#include <QRectF>
#include <QSizeF>

#include <opencv2/core.hpp>

class BigBuilderThread;
class CameraThread;

// The live builder as QML sees it (context property `smallBuilderThread`): owns the builder and
// its thread, forwards QML's commands to it and mirrors what it publishes.
class SmallBuilderThread : public WorkerThread {
    Q_OBJECT
    Q_PROPERTY(bool outOfSync READ outOfSync NOTIFY propertiesChanged)
    Q_PROPERTY(double estimationQuality READ estimationQuality NOTIFY propertiesChanged)
    Q_PROPERTY(cv::Mat image READ image NOTIFY propertiesChanged)
    Q_PROPERTY(cv::Mat minimap READ minimap NOTIFY propertiesChanged)
    Q_PROPERTY(cv::Mat cameraImage READ cameraImage NOTIFY propertiesChanged)
    Q_PROPERTY(bool hasCameraImage READ hasCameraImage NOTIFY propertiesChanged)
    Q_PROPERTY(QRectF positionOnMinimap READ positionOnMinimap NOTIFY propertiesChanged)
    Q_PROPERTY(bool running READ running WRITE setRunning NOTIFY runningChanged)
    Q_PROPERTY(bool eraserMode READ eraserMode WRITE setEraserMode NOTIFY eraserChanged)

public:
    // Frames come from the camera facade while the gate is open; the cells to keep go to the
    // full-resolution facade. Any of them may be null.
    SmallBuilderThread(CameraThread *cameraThread, SmallBuilder::FrameGate frameGate,
                       BigBuilderThread *bigBuilderThread);
    ~SmallBuilderThread() override;

    bool outOfSync() const { return m_outOfSync; }
    double estimationQuality() const { return m_estimationQuality; }
    cv::Mat image() const { return m_image; }
    cv::Mat minimap() const { return m_minimap; }
    cv::Mat cameraImage() const { return m_cameraImage; }
    bool hasCameraImage() const { return !m_cameraImage.empty(); }
    QRectF positionOnMinimap() const { return m_positionOnMinimap; }
    bool running() const { return builder.running; }
    void setRunning(bool value);
    bool eraserMode() const { return builder.eraserMode; }
    void setEraserMode(bool value);
    // How the live builder kept up in the last scan part that ended (all zero before the
    // first): for the scan's quality record.
    LiveCounters lastPartCounters() const { return m_lastPartCounters; }

signals:
    void viewSizeUpdate(QSizeF newSize);
    void viewResolutionUpdate(QSizeF newResolution);
    void mouseClick(double x, double y);
    void mouseDrag(double x, double y, double dx, double dy);
    void reset();
    void propertiesChanged();
    void runningChanged();
    void eraserChanged();
    // A scan part ended; the same counters as lastPartCounters() from now on.
    void partCounted(LiveCounters counters);

public slots:
    void builderUpdated(cv::Mat visibleImage, cv::Mat minimap, cv::Mat cameraImage,
                        double estimationQuality, bool outOfSync, QRectF positionOnMinimap);

private:
    SmallBuilder builder;
    bool m_outOfSync = false;
    double m_estimationQuality = 0.5;
    cv::Mat m_image;
    cv::Mat m_minimap;
    cv::Mat m_cameraImage;
    QRectF m_positionOnMinimap{0, 0, 0, 0};
    LiveCounters m_lastPartCounters;
};
