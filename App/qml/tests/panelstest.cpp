// Runs the side panels' Qt Quick tests against the real QML documents of the program's
// resources, with small stand-ins for the settings and the facades that record what the panels
// ask of them and let a test set what they announce.
#include "common/cameraplugin.h"
#include "service/scan.h"
#include "shell/metatypes.h"

#include <QFuture>
#include <QPromise>
#include <QQmlContext>
#include <QQmlEngine>
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

signals:
    void changed();

private:
    QStringList m_calls;
};

class FakeSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(
        bool vignettingCorrection MEMBER m_vignettingCorrection NOTIFY vignettingCorrectionChanged)
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
    void vignettingCorrectionChanged();
    void magnificationChanged();
    void mppChanged();
    void cameraIdChanged();
    void autoOpenChanged();

private:
    bool m_vignettingCorrection = false;
    QString m_magnification;
    QString m_mpp;
    QString m_cameraId;
    bool m_autoOpen = false;
};

class FakeCameraThread : public QObject {
    Q_OBJECT
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
    FakeCameraThread(CallLog *log, QObject *parent)
        : QObject(parent)
        , m_log(log) {}

    Q_INVOKABLE void requestAvailableCameras() { m_log->add(QStringLiteral("camera.request")); }

    // Cameras with these ids, described as "Camera <id>".
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
        setProperty("vignettingProfileGeneration", false);
        setProperty("vignettingCorrectionAvailable", false);
        setProperty("vignettingProfileProgress", 0.0);
        setProperty("availableCamerasLoading", false);
        setProperty("properties", QVariant::fromValue(QList<QObject *>()));
        setCameras({});
    }

signals:
    void vignettingProfileGenerationChanged();
    void vignettingCorrectionAvailableChanged();
    void vignettingProfileProgressChanged();
    void availableCamerasChanged();
    void availableCamerasLoadingChanged();
    void propertiesChanged();

private:
    CallLog *m_log;
    bool m_generation = false;
    bool m_correctionAvailable = false;
    double m_progress = 0;
    QList<CameraInfo> m_cameras;
    bool m_loading = false;
    QList<QObject *> m_properties;
};

class FakeApiThread : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariant user MEMBER m_user NOTIFY userChanged)
    Q_PROPERTY(bool isLoading MEMBER m_loading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isLoggedIn MEMBER m_loggedIn NOTIFY isLoggedInChanged)
    Q_PROPERTY(Scan *currentScan READ currentScan NOTIFY currentScanChanged)
public:
    FakeApiThread(CallLog *log, QObject *parent)
        : QObject(parent)
        , m_log(log) {}

    Scan *currentScan() const { return m_scan; }

    Q_INVOKABLE QFuture<QString> saveScan(QString containerID, QString filename) {
        m_log->add(QStringLiteral("api.saveScan(%1,%2)").arg(containerID, filename));
        m_save = std::make_shared<QPromise<QString>>();
        m_save->start();
        return m_save->future();
    }
    // Ends the pending save with the scan's address, or as a failure.
    Q_INVOKABLE void answerSave(bool ok, const QString &url) {
        if (!m_save)
            return;
        if (ok)
            m_save->addResult(url);
        else
            m_save->future().cancel();
        m_save->finish();
        m_save.reset();
    }
    Q_INVOKABLE void newScan(const QString &containerId) {
        m_scan = new Scan(containerId, this);
        emit currentScanChanged(m_scan);
    }
    Q_INVOKABLE void markSaved(const QString &viewUrl) {
        if (m_scan)
            m_scan->setSaved(viewUrl);
    }
    // The user record as the real facade hands it over (absent: an invalid variant).
    Q_INVOKABLE void setUser(bool present) {
        m_user = present ? QVariant(QVariantMap{
                               {QStringLiteral("firstName"), QStringLiteral("Ada")},
                               {QStringLiteral("lastName"), QStringLiteral("Lis")},
                               {QStringLiteral("email"), QStringLiteral("ada@example.org")}})
                         : QVariant();
        emit userChanged();
    }
    Q_INVOKABLE void raiseError(const QString &message) { emit apiError(message); }
    void reset() {
        m_save.reset();
        m_scan = nullptr;
        emit currentScanChanged(nullptr);
        setProperty("isLoading", false);
        setProperty("isLoggedIn", false);
        setUser(false);
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
    void currentScanChanged(Scan *scan);

private:
    CallLog *m_log;
    QVariant m_user;
    bool m_loading = false;
    bool m_loggedIn = false;
    Scan *m_scan = nullptr;
    std::shared_ptr<QPromise<QString>> m_save;
};

// Puts every stand-in back to its starting state between test functions.
class Stage : public QObject {
    Q_OBJECT
public:
    explicit Stage(QQmlEngine *engine)
        : QObject(engine)
        , log(new CallLog(this))
        , settings(new FakeSettings(this))
        , camera(new FakeCameraThread(log, this))
        , api(new FakeApiThread(log, this)) {
        QQmlContext *context = engine->rootContext();
        context->setContextProperty(QStringLiteral("calls"), log);
        context->setContextProperty(QStringLiteral("settings"), settings);
        context->setContextProperty(QStringLiteral("cameraThread"), camera);
        context->setContextProperty(QStringLiteral("apiThread"), api);
        context->setContextProperty(QStringLiteral("stage"), this);
        reset();
    }

    // A grey picture of this size, as the camera facade's preview would be.
    Q_INVOKABLE QVariant matrix(int width, int height) const {
        return QVariant::fromValue(cv::Mat(height, width, CV_8UC3, cv::Scalar(128, 128, 128)));
    }

    // A feature kind as the camera facade hands it over: the contract's enumeration, not a number.
    Q_INVOKABLE QVariant propertyType(int type) const {
        return QVariant::fromValue(common::PropertyType(type));
    }

    Q_INVOKABLE void reset() {
        settings->reset();
        camera->reset();
        api->reset();
        log->clear();
    }

private:
    CallLog *log;
    FakeSettings *settings;
    FakeCameraThread *camera;
    FakeApiThread *api;
};

class Setup : public QObject {
    Q_OBJECT
public slots:
    void applicationAvailable() { qRegisterMetaType<cv::Mat>(); }
    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:///"));
        new Stage(engine);
    }
};

QUICK_TEST_MAIN_WITH_SETUP(panels, Setup)

#include "panelstest.moc"
