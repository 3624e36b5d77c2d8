// Runs the window's Qt Quick tests against the real QML documents of the program's resources.
// The facades are replaced by small stand-ins that keep one shared log of what the QML asked of
// them, so a test can check the calls and their order across objects.
#include "camera/frameinfo.h"
#include "common/cameraplugin.h"
#include "service/scan.h"
#include "shell/metatypes.h"
#include "ui/quickfuture.h"

#include <QFuture>
#include <QPromise>
#include <QQmlContext>
#include <QQmlEngine>
#include <QRectF>
#include <QSizeF>
#include <QtQuickTest/quicktest.h>

#include <opencv2/core.hpp>

#include <memory>

class CallLog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList calls READ calls NOTIFY changed)
public:
    using QObject::QObject;
    QStringList calls() const { return m_calls; }
    void add(const QString &call) {
        m_calls.append(call);
        emit changed();
    }
    Q_INVOKABLE void clear() {
        m_calls.clear();
        emit changed();
    }
    // How often a call was made.
    Q_INVOKABLE int count(const QString &call) const { return int(m_calls.count(call)); }

signals:
    void changed();

private:
    QStringList m_calls;
};

class FakeSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString language MEMBER m_language NOTIFY languageChanged)
    Q_PROPERTY(
        bool vignettingCorrection MEMBER m_vignettingCorrection NOTIFY vignettingCorrectionChanged)
    Q_PROPERTY(QString apiToken MEMBER m_apiToken NOTIFY apiTokenChanged)
    Q_PROPERTY(QUrl apiUrl MEMBER m_apiUrl NOTIFY apiUrlChanged)
    Q_PROPERTY(QString magnification MEMBER m_magnification NOTIFY magnificationChanged)
    Q_PROPERTY(QString mpp MEMBER m_mpp NOTIFY mppChanged)
    Q_PROPERTY(QString cameraId MEMBER m_cameraId NOTIFY cameraIdChanged)
    Q_PROPERTY(bool autoOpen MEMBER m_autoOpen NOTIFY autoOpenChanged)
public:
    using QObject::QObject;
    void reset() {
        setProperty("vignettingCorrection", false);
        setProperty("magnification", QStringLiteral("10"));
        setProperty("mpp", QString());
        setProperty("cameraId", QString());
        setProperty("autoOpen", false);
    }

signals:
    void languageChanged();
    void vignettingCorrectionChanged();
    void apiTokenChanged();
    void apiUrlChanged();
    void magnificationChanged();
    void mppChanged();
    void cameraIdChanged();
    void autoOpenChanged();

private:
    QString m_language;
    bool m_vignettingCorrection = false;
    QString m_apiToken;
    QUrl m_apiUrl;
    QString m_magnification = QStringLiteral("10");
    QString m_mpp;
    QString m_cameraId;
    bool m_autoOpen = false;
};

class FakeCameraThread : public QObject {
    Q_OBJECT
    Q_PROPERTY(cv::Mat image READ image NOTIFY newFrame)
    Q_PROPERTY(cv::Mat smallImage READ smallImage NOTIFY newFrame)
    Q_PROPERTY(double imageScaleX READ imageScaleX NOTIFY newFrame)
    Q_PROPERTY(double imageScaleY READ imageScaleY NOTIFY newFrame)
    Q_PROPERTY(double sharpness MEMBER m_sharpness NOTIFY newFrame)
    Q_PROPERTY(bool vignettingProfileGeneration MEMBER m_generation NOTIFY
                   vignettingProfileGenerationChanged)
    Q_PROPERTY(bool vignettingCorrectionAvailable MEMBER m_correctionAvailable NOTIFY
                   vignettingCorrectionAvailableChanged)
    Q_PROPERTY(
        double vignettingProfileProgress MEMBER m_progress NOTIFY vignettingProfileProgressChanged)
    Q_PROPERTY(QList<CameraInfo> availableCameras MEMBER m_cameras NOTIFY availableCamerasChanged)
    Q_PROPERTY(bool availableCamerasLoading MEMBER m_loading NOTIFY availableCamerasLoadingChanged)
    Q_PROPERTY(QList<QObject *> properties MEMBER m_properties NOTIFY propertiesChanged)
public:
    explicit FakeCameraThread(CallLog *log, QObject *parent)
        : QObject(parent)
        , m_log(log) {}

    cv::Mat image() const { return m_image; }
    cv::Mat smallImage() const { return m_small; }
    double imageScaleX() const { return double(m_image.cols) / double(m_small.cols); }
    double imageScaleY() const { return double(m_image.rows) / double(m_small.rows); }

    Q_INVOKABLE void requestAvailableCameras() { m_log->add(QStringLiteral("camera.request")); }
    Q_INVOKABLE void beginScanning() { m_log->add(QStringLiteral("camera.beginScanning")); }
    Q_INVOKABLE void endScanning() { m_log->add(QStringLiteral("camera.endScanning")); }

    // A frame of one colour (R, G, B), with a preview `scale` times smaller.
    Q_INVOKABLE void setFrame(int width, int height, int scale, int r, int g, int b) {
        m_image = cv::Mat(height, width, CV_8UC3, cv::Scalar(r, g, b));
        m_small = cv::Mat(height / scale, width / scale, CV_8UC3, cv::Scalar(r, g, b));
        emit newFrame();
    }
    Q_INVOKABLE void setCameras(const QStringList &ids) {
        m_cameras.clear();
        for (const QString &id : ids) {
            CameraInfo info;
            info.id = id;
            info.description = QStringLiteral("Camera ") + id;
            m_cameras.append(info);
        }
        emit availableCamerasChanged();
    }
    void reset() {
        m_image = cv::Mat();
        m_small = cv::Mat();
        m_sharpness = 0;
        emit newFrame();
        setProperty("vignettingProfileGeneration", false);
        setProperty("availableCamerasLoading", false);
        setCameras({});
    }

signals:
    void newFrame();
    void vignettingProfileGenerationChanged();
    void vignettingCorrectionAvailableChanged();
    void vignettingProfileProgressChanged();
    void availableCamerasChanged();
    void availableCamerasLoadingChanged();
    void propertiesChanged();

private:
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

class FakeSmallBuilderThread : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool outOfSync MEMBER m_outOfSync NOTIFY propertiesChanged)
    Q_PROPERTY(double estimationQuality MEMBER m_quality NOTIFY propertiesChanged)
    Q_PROPERTY(cv::Mat image READ image NOTIFY propertiesChanged)
    Q_PROPERTY(cv::Mat minimap READ minimap NOTIFY propertiesChanged)
    Q_PROPERTY(cv::Mat cameraImage READ cameraImage NOTIFY propertiesChanged)
    Q_PROPERTY(bool hasCameraImage READ hasCameraImage NOTIFY propertiesChanged)
    Q_PROPERTY(QRectF positionOnMinimap MEMBER m_position NOTIFY propertiesChanged)
    Q_PROPERTY(bool running READ running WRITE setRunning NOTIFY runningChanged)
    Q_PROPERTY(bool eraserMode READ eraserMode WRITE setEraserMode NOTIFY eraserChanged)
public:
    explicit FakeSmallBuilderThread(CallLog *log, QObject *parent)
        : QObject(parent)
        , m_log(log) {}

    cv::Mat image() const { return m_image; }
    cv::Mat minimap() const { return m_minimap; }
    cv::Mat cameraImage() const { return m_cameraImage; }
    bool hasCameraImage() const { return !m_cameraImage.empty(); }
    bool running() const { return m_running; }
    bool eraserMode() const { return m_eraser; }
    void setRunning(bool value) {
        m_running = value;
        m_log->add(QStringLiteral("small.running=%1").arg(value ? "true" : "false"));
        emit runningChanged();
    }
    void setEraserMode(bool value) {
        m_eraser = value;
        m_log->add(QStringLiteral("small.eraserMode=%1").arg(value ? "true" : "false"));
        emit eraserChanged();
    }

    // The real facade's commands are signals; QML calls both kinds the same way.
    Q_INVOKABLE void viewSizeUpdate(QSizeF size) { lastViewSize = size; }
    Q_INVOKABLE void viewResolutionUpdate(QSizeF) {}
    Q_INVOKABLE void mouseClick(double x, double y) {
        m_log->add(QStringLiteral("small.mouseClick(%1,%2)").arg(x).arg(y));
    }
    Q_INVOKABLE void mouseDrag(double x, double y, double dx, double dy) {
        m_log->add(QStringLiteral("small.mouseDrag(%1,%2,%3,%4)").arg(x).arg(y).arg(dx).arg(dy));
    }
    Q_INVOKABLE void reset() { m_log->add(QStringLiteral("small.reset")); }

    Q_INVOKABLE QSizeF viewSize() const { return lastViewSize; }
    Q_INVOKABLE void setOutOfSync(bool value) {
        m_outOfSync = value;
        emit propertiesChanged();
    }
    void clear() {
        m_outOfSync = false;
        m_quality = 0.5;
        m_cameraImage = cv::Mat();
        m_running = false;
        m_eraser = false;
        emit propertiesChanged();
        emit runningChanged();
        emit eraserChanged();
    }

signals:
    void propertiesChanged();
    void runningChanged();
    void eraserChanged();

private:
    CallLog *m_log;
    bool m_outOfSync = false;
    double m_quality = 0.5;
    cv::Mat m_image;
    cv::Mat m_minimap;
    cv::Mat m_cameraImage;
    QRectF m_position;
    bool m_running = false;
    bool m_eraser = false;
    QSizeF lastViewSize;
};

class FakeBigBuilderThread : public QObject {
    Q_OBJECT
public:
    explicit FakeBigBuilderThread(CallLog *log, QObject *parent)
        : QObject(parent)
        , m_log(log) {}

public slots:
    void finishImage() { m_log->add(QStringLiteral("big.finishImage")); }
    void finish(QVariant mpp, QVariant magnification) {
        m_log->add(
            QStringLiteral("big.finish(%1,%2)").arg(mpp.toString(), magnification.toString()));
    }
    void addSnapshot(cv::Mat snapshot) {
        m_log->add(QStringLiteral("big.addSnapshot(%1x%2)").arg(snapshot.cols).arg(snapshot.rows));
    }

private:
    CallLog *m_log;
};

class FakeApiThread : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariant user MEMBER m_user NOTIFY userChanged)
    Q_PROPERTY(bool isLoading MEMBER m_loading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isLoggedIn MEMBER m_loggedIn NOTIFY isLoggedInChanged)
    Q_PROPERTY(QString loginUrl READ loginUrl CONSTANT)
    Q_PROPERTY(Scan *currentScan READ currentScan NOTIFY currentScanChanged)
    Q_PROPERTY(QList<Scan *> scans MEMBER m_scans NOTIFY scansChanged)
public:
    explicit FakeApiThread(CallLog *log, QObject *parent)
        : QObject(parent)
        , m_log(log) {}

    QString loginUrl() const { return {}; }
    Scan *currentScan() const { return m_scans.isEmpty() ? nullptr : m_scans.last(); }

    Q_INVOKABLE QFuture<Scan *> startNewScan() {
        m_log->add(QStringLiteral("api.startNewScan"));
        m_pending = std::make_shared<QPromise<Scan *>>();
        m_pending->start();
        return m_pending->future();
    }
    Q_INVOKABLE QFuture<QString> saveScan(QString containerID, QString filename) {
        m_log->add(QStringLiteral("api.saveScan(%1,%2)").arg(containerID, filename));
        m_save = std::make_shared<QPromise<QString>>();
        m_save->start();
        return m_save->future();
    }
    // Ends the pending startNewScan, with a new scan or with a failure.
    Q_INVOKABLE void answerNewScan(bool ok) {
        if (!m_pending)
            return;
        if (ok) {
            auto *scan = new Scan(QStringLiteral("container-%1").arg(m_scans.size() + 1), this);
            m_scans.append(scan);
            emit currentScanChanged(scan);
            emit scansChanged(m_scans);
            m_pending->addResult(scan);
        } else {
            m_pending->future().cancel();
        }
        m_pending->finish();
        m_pending.reset();
    }
    Q_INVOKABLE void markCurrentScanSaved() {
        if (Scan *scan = currentScan())
            scan->setSaved(QStringLiteral("http://127.0.0.1:1/scan"));
    }
    Q_INVOKABLE void recordUpload(const QString &path, bool uploaded) {
        if (Scan *scan = currentScan())
            scan->setFileUploaded(path, uploaded);
    }
    Q_INVOKABLE void setLoggedIn(bool value) {
        m_loggedIn = value;
        m_user = value ? QVariant(QVariantMap{
                             {QStringLiteral("firstName"), QStringLiteral("Ada")},
                             {QStringLiteral("lastName"), QStringLiteral("Lis")},
                             {QStringLiteral("email"), QStringLiteral("ada@example.org")}})
                       : QVariant::fromValue(nullptr);
        emit isLoggedInChanged();
        emit userChanged();
    }
    Q_INVOKABLE void raiseError(const QString &message) { emit apiError(message); }
    void reset() {
        // A future left pending by a test stays pending: ending it would run the handlers of
        // a window that is gone.
        if (m_pending)
            m_abandoned.append(m_pending);
        if (m_save)
            m_abandonedSaves.append(m_save);
        m_pending.reset();
        m_save.reset();
        setLoggedIn(true);
    }

signals:
    void logIn();
    void logOut();
    void queryUser();
    void cancelLogIn();
    void userChanged();
    void isLoadingChanged();
    void isLoggedInChanged();
    void apiError(QString message);
    void uploadFinished(QString containerID);
    void currentScanChanged(Scan *scan);
    void scansChanged(QList<Scan *> scans);

private:
    CallLog *m_log;
    QVariant m_user;
    bool m_loading = false;
    bool m_loggedIn = false;
    QList<Scan *> m_scans;
    std::shared_ptr<QPromise<Scan *>> m_pending;
    std::shared_ptr<QPromise<QString>> m_save;
    QList<std::shared_ptr<QPromise<Scan *>>> m_abandoned;
    QList<std::shared_ptr<QPromise<QString>>> m_abandonedSaves;
};

// Puts every stand-in back to its starting state between test functions.
class Stage : public QObject {
    Q_OBJECT
public:
    Stage(QQmlEngine *engine)
        : QObject(engine)
        , log(new CallLog(this))
        , settings(new FakeSettings(this))
        , camera(new FakeCameraThread(log, this))
        , small(new FakeSmallBuilderThread(log, this))
        , big(new FakeBigBuilderThread(log, this))
        , api(new FakeApiThread(log, this)) {
        QQmlContext *context = engine->rootContext();
        context->setContextProperty(QStringLiteral("calls"), log);
        context->setContextProperty(QStringLiteral("settings"), settings);
        context->setContextProperty(QStringLiteral("cameraThread"), camera);
        context->setContextProperty(QStringLiteral("smallBuilderThread"), small);
        context->setContextProperty(QStringLiteral("bigBuilderThread"), big);
        context->setContextProperty(QStringLiteral("apiThread"), api);
        context->setContextProperty(QStringLiteral("stage"), this);
        reset();
    }

    Q_INVOKABLE void reset() {
        settings->reset();
        camera->reset();
        small->clear();
        api->reset();
        log->clear();
    }

private:
    CallLog *log;
    FakeSettings *settings;
    FakeCameraThread *camera;
    FakeSmallBuilderThread *small;
    FakeBigBuilderThread *big;
    FakeApiThread *api;
};

class Setup : public QObject {
    Q_OBJECT
public slots:
    void applicationAvailable() {
        qRegisterMetaType<cv::Mat>();
        QuickFuture::registerType<Scan *>();
    }
    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:///"));
        new Stage(engine);
    }
};

QUICK_TEST_MAIN_WITH_SETUP(window, Setup)

#include "windowtest.moc"
