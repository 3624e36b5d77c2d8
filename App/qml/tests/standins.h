#pragma once

// What the QML documents under test see in place of the program's facades. `settings` is the
// real Settings over a store in a temporary folder; `cameraThread`, `smallBuilderThread`,
// `bigBuilderThread` and `apiThread` are stand-ins that offer QML nothing their facade does not
// offer under the same name, type, notify signal and writability (tst_standins compares their
// meta-objects with the facades'). They write what the documents ask of them to one shared log,
// `calls`, so a test can check the calls and their order across objects. What a test does that
// the program's documents cannot (announce a frame, answer a request, set what a facade only
// reports) goes through `stage`: `stage.camera`, `stage.small` and `stage.api`.
#include "common/cameraplugin.h"
#include "service/scan.h"
#include "shell/metatypes.h"

#include <QFuture>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QPromise>
#include <QRectF>
#include <QSizeF>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <opencv2/core.hpp>

#include <memory>

class QQmlEngine;
class Settings;

class CallLog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList calls READ calls NOTIFY changed)
public:
    using QObject::QObject;
    QStringList calls() const { return m_calls; }
    void add(const QString &call);
    Q_INVOKABLE void clear();
    // How often a call was made.
    Q_INVOKABLE int count(const QString &call) const { return int(m_calls.count(call)); }

signals:
    void changed();

private:
    QStringList m_calls;
};

class CameraThreadStandIn : public QObject {
    Q_OBJECT
    Q_PROPERTY(cv::Mat image READ image NOTIFY newFrame)
    Q_PROPERTY(cv::Mat smallImage READ smallImage NOTIFY newFrame)
    Q_PROPERTY(double imageScaleX READ imageScaleX NOTIFY newFrame)
    Q_PROPERTY(double imageScaleY READ imageScaleY NOTIFY newFrame)
    Q_PROPERTY(double sharpness READ sharpness NOTIFY newFrame)
    Q_PROPERTY(bool vignettingProfileGeneration MEMBER m_generation NOTIFY
                   vignettingProfileGenerationChanged)
    Q_PROPERTY(bool vignettingCorrectionAvailable READ vignettingCorrectionAvailable NOTIFY
                   vignettingCorrectionAvailableChanged)
    Q_PROPERTY(
        double vignettingProfileProgress MEMBER m_progress NOTIFY vignettingProfileProgressChanged)
    Q_PROPERTY(
        QList<CameraInfo> availableCameras READ availableCameras NOTIFY availableCamerasChanged)
    Q_PROPERTY(bool availableCamerasLoading READ availableCamerasLoading NOTIFY
                   availableCamerasLoadingChanged)
    // The facade's list holds CameraPropertyFrontend objects; a test hands in QML objects.
    Q_PROPERTY(QList<QObject *> properties READ properties NOTIFY propertiesChanged)
public:
    CameraThreadStandIn(CallLog *log, QObject *parent);

    cv::Mat image() const { return m_image; }
    cv::Mat smallImage() const { return m_small; }
    double imageScaleX() const { return double(m_image.cols) / double(m_small.cols); }
    double imageScaleY() const { return double(m_image.rows) / double(m_small.rows); }
    double sharpness() const { return m_sharpness; }
    bool vignettingCorrectionAvailable() const { return m_correctionAvailable; }
    QList<CameraInfo> availableCameras() const { return m_cameras; }
    bool availableCamerasLoading() const { return m_loading; }
    QList<QObject *> properties() const { return m_properties; }

    Q_INVOKABLE void requestAvailableCameras();
    Q_INVOKABLE void beginScanning();
    Q_INVOKABLE void endScanning();

signals:
    void newFrame();
    void vignettingCorrectionAvailableChanged(bool value);
    void vignettingProfileGenerationChanged(bool value);
    void vignettingProfileProgressChanged();
    void availableCamerasChanged();
    void availableCamerasLoadingChanged();
    void propertiesChanged();

private:
    friend class CameraThreadControl;

    CallLog *m_log;
    cv::Mat m_image;
    cv::Mat m_small;
    double m_sharpness = 0;
    bool m_generation = false;
    bool m_correctionAvailable = false;
    double m_progress = 0;
    QList<CameraInfo> m_cameras;
    bool m_loading = false;
    QList<QObject *> m_properties;
};

// The test's hand on the camera facade: what the camera and its thread would announce.
class CameraThreadControl : public QObject {
    Q_OBJECT
public:
    CameraThreadControl(CameraThreadStandIn *camera, QObject *parent);

    // A frame of one colour (R, G, B), with a preview `scale` times smaller.
    Q_INVOKABLE void setFrame(int width, int height, int scale, int r, int g, int b);
    // Cameras with these ids, described as "Camera <id>".
    Q_INVOKABLE void setCameras(const QStringList &ids);
    Q_INVOKABLE void setCamerasLoading(bool loading);
    Q_INVOKABLE void setCorrectionAvailable(bool available);
    Q_INVOKABLE void setProperties(const QList<QObject *> &properties);
    Q_INVOKABLE void setSharpness(double sharpness);
    void reset();

private:
    CameraThreadStandIn *camera;
};

class SmallBuilderThreadStandIn : public QObject {
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
    SmallBuilderThreadStandIn(CallLog *log, QObject *parent);

    bool outOfSync() const { return m_outOfSync; }
    double estimationQuality() const { return m_quality; }
    cv::Mat image() const { return m_image; }
    cv::Mat minimap() const { return m_minimap; }
    cv::Mat cameraImage() const { return m_cameraImage; }
    bool hasCameraImage() const { return !m_cameraImage.empty(); }
    QRectF positionOnMinimap() const { return m_position; }
    bool running() const { return m_running; }
    void setRunning(bool value);
    bool eraserMode() const { return m_eraser; }
    void setEraserMode(bool value);

signals:
    // The facade's commands, which the stand-in writes to the log.
    void viewSizeUpdate(QSizeF newSize);
    void viewResolutionUpdate(QSizeF newResolution);
    void mouseClick(double x, double y);
    void mouseDrag(double x, double y, double dx, double dy);
    void reset();

    void propertiesChanged();
    void runningChanged();
    void eraserChanged();

private:
    friend class SmallBuilderThreadControl;

    CallLog *m_log;
    bool m_outOfSync = false;
    double m_quality = 0.5;
    cv::Mat m_image;
    cv::Mat m_minimap;
    cv::Mat m_cameraImage;
    QRectF m_position;
    bool m_running = false;
    bool m_eraser = false;
    QSizeF m_viewSize;
};

// The test's hand on the live builder's facade.
class SmallBuilderThreadControl : public QObject {
    Q_OBJECT
public:
    SmallBuilderThreadControl(SmallBuilderThreadStandIn *small, QObject *parent);

    Q_INVOKABLE void setOutOfSync(bool value);
    // The view size the documents last sent; invalid before the first.
    Q_INVOKABLE QSizeF viewSize() const { return small->m_viewSize; }
    void reset();

private:
    SmallBuilderThreadStandIn *small;
};

class BigBuilderThreadStandIn : public QObject {
    Q_OBJECT
public:
    BigBuilderThreadStandIn(CallLog *log, QObject *parent);

signals:
    // A test emits it as the facade would.
    void storageFailed(QString containerID, QString reason);

public slots:
    void finishImage();
    void finish(QVariant mpp, QVariant magnification);
    void addSnapshot(cv::Mat snapshot);

private:
    CallLog *m_log;
};

class ApiThreadStandIn : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariant user READ user NOTIFY userChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isLoggedIn READ isLoggedIn NOTIFY isLoggedInChanged)
    Q_PROPERTY(Scan *currentScan READ currentScan NOTIFY currentScanChanged)
    Q_PROPERTY(QList<Scan *> scans READ scans NOTIFY scansChanged)
public:
    ApiThreadStandIn(CallLog *log, QObject *parent);

    QVariant user() const { return m_user; }
    bool isLoading() const { return m_loading; }
    bool isLoggedIn() const { return m_loggedIn; }
    Scan *currentScan() const { return m_current; }
    QList<Scan *> scans() const { return m_scans; }

signals:
    void logIn();
    void logOut();
    void queryUser();
    void cancelLogIn();
    void userChanged();
    void isLoadingChanged();
    void isLoggedInChanged();
    void apiError(QString message);
    void currentScanChanged(Scan *scan);
    void scansChanged(QList<Scan *> scans);

public slots:
    QFuture<QString> saveScan(QString containerID, QString filename);
    QFuture<Scan *> startNewScan();
    void discardScan(QString containerID);

private:
    friend class ApiThreadControl;

    Scan *find(const QString &containerId) const;

    CallLog *m_log;
    QVariant m_user;
    bool m_loading = false;
    bool m_loggedIn = false;
    QList<Scan *> m_scans;
    Scan *m_current = nullptr;
    QPointer<Scan> m_saving;
    std::shared_ptr<QPromise<Scan *>> m_newScan;
    std::shared_ptr<QPromise<QString>> m_save;
};

// The test's hand on the service facade: the service's answers and the log-in state.
class ApiThreadControl : public QObject {
    Q_OBJECT
public:
    ApiThreadControl(ApiThreadStandIn *api, QObject *parent);

    // Ends the pending startNewScan, with a new scan "container-<n>" or with a failure.
    Q_INVOKABLE void answerNewScan(bool ok);
    // Ends the pending save with the scan's address, or as a failure.
    Q_INVOKABLE void answerSave(bool ok, const QString &url);
    // A scan made current without a request, as a new container would be.
    Q_INVOKABLE void newScan(const QString &containerId);
    // A scan an earlier run left behind, started at 10:42 today, with files still to upload.
    Q_INVOKABLE Scan *recoverScan(const QString &containerId, const QString &owner, int pending);
    // How far a scan has got: uploaded files, a failure, a wait for its owner, a save.
    Q_INVOKABLE void finishUploads(const QString &containerId, int uploaded);
    Q_INVOKABLE void failScan(const QString &containerId, const QString &reason);
    Q_INVOKABLE void setWaiting(const QString &containerId, bool waiting);
    Q_INVOKABLE void markSaved(const QString &viewUrl);
    Q_INVOKABLE void recordUpload(const QString &path, bool uploaded);
    Q_INVOKABLE void setLoading(bool loading);
    Q_INVOKABLE void setLoggedIn(bool loggedIn);
    // The user record as the facade hands it over (absent: an invalid variant).
    Q_INVOKABLE void setUser(bool present);
    // Logged in with the user loaded, or logged out with no user.
    Q_INVOKABLE void signIn(bool signedIn);
    Q_INVOKABLE void raiseError(const QString &message);
    void reset();

private:
    ApiThreadStandIn *api;
    // Futures a test left pending stay pending: ending them would run the handlers of documents
    // that are gone.
    QList<std::shared_ptr<QPromise<Scan *>>> abandonedNewScans;
    QList<std::shared_ptr<QPromise<QString>>> abandonedSaves;
};

// Owns the settings and the stand-ins of one engine, publishes them as its context properties
// and puts them back to their starting state between test functions: settings empty but for a
// magnification of 10, no camera, no frame, nothing running, logged out.
class Stage : public QObject {
    Q_OBJECT
    Q_PROPERTY(CameraThreadControl *camera READ camera CONSTANT)
    Q_PROPERTY(SmallBuilderThreadControl *small READ small CONSTANT)
    Q_PROPERTY(ApiThreadControl *api READ api CONSTANT)
public:
    explicit Stage(QQmlEngine *engine);
    ~Stage() override;

    CameraThreadControl *camera() const { return cameraControl; }
    SmallBuilderThreadControl *small() const { return smallControl; }
    ApiThreadControl *api() const { return apiControl; }

    Q_INVOKABLE void reset();

    // A grey picture of this size, as the camera facade's preview would be.
    Q_INVOKABLE QVariant matrix(int width, int height) const;
    // A feature kind as the camera facade hands it over: the contract's enumeration, not a number.
    Q_INVOKABLE QVariant propertyType(int type) const;

private:
    CallLog *log;
    std::unique_ptr<Settings> settings;
    CameraThreadStandIn *cameraThread;
    SmallBuilderThreadStandIn *smallBuilderThread;
    BigBuilderThreadStandIn *bigBuilderThread;
    ApiThreadStandIn *apiThread;
    CameraThreadControl *cameraControl;
    SmallBuilderThreadControl *smallControl;
    ApiThreadControl *apiControl;
};

// The set-up of a Qt Quick test executable: registers the types the documents read, points the
// settings store at a temporary folder of this process and puts a Stage on every engine.
class StandInSetup : public QObject {
    Q_OBJECT
public slots:
    void applicationAvailable();
    void qmlEngineAvailable(QQmlEngine *engine);

private:
    QTemporaryDir settingsDir;
};
