#include "standins.h"

#include "service/api.h"
#include "shell/settings.h"
#include "ui/quickfuture.h"

#include <QCoreApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>

namespace {
QString onOff(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

void CallLog::add(const QString &call) {
    m_calls.append(call);
    emit changed();
}

void CallLog::clear() {
    m_calls.clear();
    emit changed();
}

CameraThreadStandIn::CameraThreadStandIn(CallLog *log, QObject *parent)
    : QObject(parent)
    , m_log(log) {}

void CameraThreadStandIn::requestAvailableCameras() {
    m_log->add(QStringLiteral("camera.request"));
}

void CameraThreadStandIn::beginScanning() {
    m_log->add(QStringLiteral("camera.beginScanning"));
}

void CameraThreadStandIn::endScanning() {
    m_log->add(QStringLiteral("camera.endScanning"));
}

CameraThreadControl::CameraThreadControl(CameraThreadStandIn *camera, QObject *parent)
    : QObject(parent)
    , camera(camera) {}

void CameraThreadControl::setFrame(int width, int height, int scale, int r, int g, int b) {
    camera->m_image = cv::Mat(height, width, CV_8UC3, cv::Scalar(r, g, b));
    camera->m_small = cv::Mat(height / scale, width / scale, CV_8UC3, cv::Scalar(r, g, b));
    emit camera->newFrame();
}

void CameraThreadControl::setCameras(const QStringList &ids) {
    camera->m_cameras.clear();
    for (const QString &id : ids) {
        CameraInfo info;
        info.id = id;
        info.description = QStringLiteral("Camera ") + id;
        camera->m_cameras.append(info);
    }
    emit camera->availableCamerasChanged();
}

void CameraThreadControl::setCamerasLoading(bool loading) {
    camera->m_loading = loading;
    emit camera->availableCamerasLoadingChanged();
}

void CameraThreadControl::setCorrectionAvailable(bool available) {
    camera->m_correctionAvailable = available;
    emit camera->vignettingCorrectionAvailableChanged(available);
}

void CameraThreadControl::setProperties(const QList<QObject *> &properties) {
    camera->m_properties = properties;
    emit camera->propertiesChanged();
}

void CameraThreadControl::setSharpness(double sharpness) {
    camera->m_sharpness = sharpness;
    emit camera->newFrame();
}

void CameraThreadControl::reset() {
    camera->m_image = cv::Mat();
    camera->m_small = cv::Mat();
    camera->m_sharpness = 0;
    emit camera->newFrame();
    camera->setProperty("vignettingProfileGeneration", false);
    camera->setProperty("vignettingProfileProgress", 0.0);
    setCorrectionAvailable(false);
    setCamerasLoading(false);
    setProperties({});
    setCameras({});
}

SmallBuilderThreadStandIn::SmallBuilderThreadStandIn(CallLog *log, QObject *parent)
    : QObject(parent)
    , m_log(log) {
    connect(this, &SmallBuilderThreadStandIn::viewSizeUpdate, this,
            [this](QSizeF size) { m_viewSize = size; });
    connect(this, &SmallBuilderThreadStandIn::mouseClick, this, [this](double x, double y) {
        m_log->add(QStringLiteral("small.mouseClick(%1,%2)").arg(x).arg(y));
    });
    connect(this, &SmallBuilderThreadStandIn::mouseDrag, this,
            [this](double x, double y, double dx, double dy) {
                m_log->add(
                    QStringLiteral("small.mouseDrag(%1,%2,%3,%4)").arg(x).arg(y).arg(dx).arg(dy));
            });
    connect(this, &SmallBuilderThreadStandIn::reset, this,
            [this] { m_log->add(QStringLiteral("small.reset")); });
}

void SmallBuilderThreadStandIn::setRunning(bool value) {
    m_running = value;
    m_log->add(QStringLiteral("small.running=") + onOff(value));
    emit runningChanged();
}

void SmallBuilderThreadStandIn::setEraserMode(bool value) {
    m_eraser = value;
    m_log->add(QStringLiteral("small.eraserMode=") + onOff(value));
    emit eraserChanged();
}

SmallBuilderThreadControl::SmallBuilderThreadControl(SmallBuilderThreadStandIn *small,
                                                     QObject *parent)
    : QObject(parent)
    , small(small) {}

void SmallBuilderThreadControl::setOutOfSync(bool value) {
    small->m_outOfSync = value;
    emit small->propertiesChanged();
}

void SmallBuilderThreadControl::reset() {
    small->m_outOfSync = false;
    small->m_quality = 0.5;
    small->m_cameraImage = cv::Mat();
    small->m_running = false;
    small->m_eraser = false;
    small->m_viewSize = QSizeF();
    emit small->propertiesChanged();
    emit small->runningChanged();
    emit small->eraserChanged();
}

BigBuilderThreadStandIn::BigBuilderThreadStandIn(CallLog *log, QObject *parent)
    : QObject(parent)
    , m_log(log) {}

void BigBuilderThreadStandIn::finishImage() {
    m_log->add(QStringLiteral("big.finishImage"));
}

void BigBuilderThreadStandIn::finish(QVariant mpp, QVariant magnification) {
    m_log->add(QStringLiteral("big.finish(%1,%2)").arg(mpp.toString(), magnification.toString()));
}

void BigBuilderThreadStandIn::addSnapshot(cv::Mat snapshot) {
    m_log->add(QStringLiteral("big.addSnapshot(%1x%2)").arg(snapshot.cols).arg(snapshot.rows));
}

ApiThreadStandIn::ApiThreadStandIn(CallLog *log, QObject *parent)
    : QObject(parent)
    , m_log(log) {}

QFuture<QString> ApiThreadStandIn::saveScan(QString containerID, QString filename) {
    m_log->add(QStringLiteral("api.saveScan(%1,%2)").arg(containerID, filename));
    // As the facade keeps it: the name asked for, and the save on its way.
    m_saving = find(containerID);
    if (m_saving) {
        m_saving->setSaveName(filename);
        m_saving->setSaving(true);
    }
    m_save = std::make_shared<QPromise<QString>>();
    m_save->start();
    return m_save->future();
}

void ApiThreadStandIn::discardScan(QString containerID) {
    m_log->add(QStringLiteral("api.discardScan(%1)").arg(containerID));
    Scan *scan = find(containerID);
    if (!scan)
        return;
    scan->setDiscarded();
    m_scans.removeAll(scan);
    if (m_current == scan) {
        m_current = nullptr;
        emit currentScanChanged(nullptr);
    }
    emit scansChanged(m_scans);
}

Scan *ApiThreadStandIn::find(const QString &containerId) const {
    for (Scan *scan : m_scans)
        if (scan->containerId() == containerId)
            return scan;
    return nullptr;
}

QFuture<Scan *> ApiThreadStandIn::startNewScan() {
    m_log->add(QStringLiteral("api.startNewScan"));
    m_newScan = std::make_shared<QPromise<Scan *>>();
    m_newScan->start();
    return m_newScan->future();
}

ApiThreadControl::ApiThreadControl(ApiThreadStandIn *api, QObject *parent)
    : QObject(parent)
    , api(api) {}

void ApiThreadControl::answerNewScan(bool ok) {
    std::shared_ptr<QPromise<Scan *>> promise = std::move(api->m_newScan);
    if (!promise)
        return;
    if (ok) {
        newScan(QStringLiteral("container-%1").arg(api->m_scans.size() + 1));
        promise->addResult(api->currentScan());
    } else {
        promise->future().cancel();
    }
    promise->finish();
}

void ApiThreadControl::answerSave(bool ok, const QString &url) {
    std::shared_ptr<QPromise<QString>> promise = std::move(api->m_save);
    if (!promise)
        return;
    if (Scan *scan = api->m_saving.data()) {
        if (ok)
            scan->setSaved(url);
        else
            scan->setSaving(false);
    }
    if (ok)
        promise->addResult(url);
    else
        promise->future().cancel();
    promise->finish();
}

void ApiThreadControl::newScan(const QString &containerId) {
    auto *scan = new Scan(containerId, api);
    scan->setStartedAt(QDateTime::currentDateTime());
    api->m_scans.append(scan);
    api->m_current = scan;
    emit api->currentScanChanged(scan);
    emit api->scansChanged(api->m_scans);
}

Scan *ApiThreadControl::recoverScan(const QString &containerId, const QString &owner, int pending) {
    auto *scan = new Scan(containerId, api);
    scan->setRecovered(true);
    scan->setOwner(owner);
    scan->setStartedAt(QDateTime(QDate::currentDate(), QTime(10, 42)));
    for (int k = 0; k < pending; ++k)
        scan->setFileUploaded(QStringLiteral("%1/%2.dat").arg(containerId).arg(k), false);
    api->m_scans.prepend(scan);
    emit api->scansChanged(api->m_scans);
    return scan;
}

void ApiThreadControl::finishUploads(const QString &containerId, int uploaded) {
    Scan *scan = api->find(containerId);
    if (!scan)
        return;
    for (int k = 0; k < uploaded; ++k)
        scan->setFileUploaded(QStringLiteral("%1/%2.dat").arg(containerId).arg(k), true);
    scan->finishUploads();
}

void ApiThreadControl::failScan(const QString &containerId, const QString &reason) {
    if (Scan *scan = api->find(containerId))
        scan->setFailed(reason);
}

void ApiThreadControl::setWaiting(const QString &containerId, bool waiting) {
    if (Scan *scan = api->find(containerId))
        scan->setWaitingForLogIn(waiting);
}

void ApiThreadControl::markSaved(const QString &viewUrl) {
    if (Scan *scan = api->currentScan())
        scan->setSaved(viewUrl);
}

void ApiThreadControl::recordUpload(const QString &path, bool uploaded) {
    if (Scan *scan = api->currentScan())
        scan->setFileUploaded(path, uploaded);
}

void ApiThreadControl::setLoading(bool loading) {
    api->m_loading = loading;
    emit api->isLoadingChanged();
}

void ApiThreadControl::setLoggedIn(bool loggedIn) {
    api->m_loggedIn = loggedIn;
    emit api->isLoggedInChanged();
}

void ApiThreadControl::setUser(bool present) {
    User user;
    user.firstName = QStringLiteral("Ada");
    user.lastName = QStringLiteral("Lis");
    user.email = QStringLiteral("ada@example.org");
    api->m_user = present ? QVariant::fromValue(user) : QVariant();
    emit api->userChanged();
}

void ApiThreadControl::signIn(bool signedIn) {
    setLoggedIn(signedIn);
    setUser(signedIn);
}

void ApiThreadControl::raiseError(const QString &message) {
    emit api->apiError(message);
}

void ApiThreadControl::reset() {
    if (api->m_newScan)
        abandonedNewScans.append(std::move(api->m_newScan));
    if (api->m_save)
        abandonedSaves.append(std::move(api->m_save));
    // The scans stay alive with the stand-in: a document of the last test may still hold one.
    api->m_scans.clear();
    api->m_current = nullptr;
    emit api->currentScanChanged(nullptr);
    emit api->scansChanged(api->m_scans);
    setLoading(false);
    signIn(false);
}

Stage::Stage(QQmlEngine *engine)
    : QObject(engine)
    , log(new CallLog(this))
    , settings(std::make_unique<Settings>(engine, QStringList()))
    , cameraThread(new CameraThreadStandIn(log, this))
    , smallBuilderThread(new SmallBuilderThreadStandIn(log, this))
    , bigBuilderThread(new BigBuilderThreadStandIn(log, this))
    , apiThread(new ApiThreadStandIn(log, this))
    , cameraControl(new CameraThreadControl(cameraThread, this))
    , smallControl(new SmallBuilderThreadControl(smallBuilderThread, this))
    , apiControl(new ApiThreadControl(apiThread, this)) {
    QQmlContext *context = engine->rootContext();
    context->setContextProperty(QStringLiteral("calls"), log);
    context->setContextProperty(QStringLiteral("settings"), settings.get());
    context->setContextProperty(QStringLiteral("cameraThread"), cameraThread);
    context->setContextProperty(QStringLiteral("smallBuilderThread"), smallBuilderThread);
    context->setContextProperty(QStringLiteral("bigBuilderThread"), bigBuilderThread);
    context->setContextProperty(QStringLiteral("apiThread"), apiThread);
    context->setContextProperty(QStringLiteral("stage"), this);
    reset();
}

Stage::~Stage() = default;

void Stage::reset() {
    // The store is emptied under the Settings object, which reads it afresh; the writes then
    // tell the documents.
    QSettings().clear();
    settings->setVignettingCorrection(false);
    settings->setMagnification(QStringLiteral("10"));
    settings->setCameraId(QString());
    settings->setMpp(QString());
    settings->setAutoOpen(false);
    cameraControl->reset();
    smallControl->reset();
    apiControl->reset();
    log->clear();
}

QVariant Stage::matrix(int width, int height) const {
    return QVariant::fromValue(cv::Mat(height, width, CV_8UC3, cv::Scalar(128, 128, 128)));
}

QVariant Stage::propertyType(int type) const {
    return QVariant::fromValue(common::PropertyType(type));
}

void StandInSetup::applicationAvailable() {
    // Every test process has a settings store of its own: the QML files of one executable run
    // as parallel processes, and the user's own settings stay untouched.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("TavronaTest"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    qRegisterMetaType<cv::Mat>();
    QuickFuture::registerType<Scan *>();
}

void StandInSetup::qmlEngineAvailable(QQmlEngine *engine) {
    engine->addImportPath(QStringLiteral("qrc:///"));
    new Stage(engine);
}
