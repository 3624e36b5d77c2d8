#include "service/apithread.h"

#include "service/runinownthread.h"
#include "shell/crashreport.h"
#include "shell/settings.h"

#include <QDebug>
#include <QTimer>

ApiThread::ApiThread(Settings *settings)
    : ApiThread(settings, Intervals{}) {}

ApiThread::ApiThread(Settings *settings, Intervals intervals)
    : WorkerThread(QThread::HighestPriority)
    , api(new Api(settings->apiUrl(), settings->apiToken(), intervals.pollMs))
    , settingsStore(settings)
    , retryIntervalMs(intervals.retryMs) {
    api->moveToThread(&thread);
    connect(&thread, &QThread::finished, api, &QObject::deleteLater);

    connect(api, &Api::apiError, this, &ApiThread::apiError);
    connect(api, &Api::userLoaded, this, &ApiThread::onUserLoaded);
    connect(api, &Api::userLoading, this, &ApiThread::onUserLoading);
    connect(api, &Api::userLoadingFailed, this, &ApiThread::onUserLoadingFailed);
    connect(api, &Api::userLoggedIn, this, &ApiThread::onUserLoggedIn);
    connect(api, &Api::userLoggedOut, this, &ApiThread::onUserLoggedOut);
    connect(api, &Api::loginUrlChanged, this, &ApiThread::onLoginUrlChanged);
    connect(this, &ApiThread::logIn, api, &Api::logIn);
    connect(this, &ApiThread::logOut, api, &Api::logOut);
    connect(this, &ApiThread::queryUser, api, &Api::queryUser);
    connect(this, &ApiThread::cancelLogIn, api, &Api::cancelLogIn);
}

ApiThread::~ApiThread() {
    // Api must go before the thread it lives in is left without an event loop.
    if (thread.isRunning())
        stop();
}

QVariant ApiThread::user() const {
    return currentUser ? QVariant::fromValue(*currentUser) : QVariant();
}

bool ApiThread::isLoggedIn() const {
    return !settingsStore->apiToken().isEmpty();
}

void ApiThread::onUserLoading() {
    loading = true;
    emit isLoadingChanged();
}

void ApiThread::onUserLoadingFailed() {
    loading = false;
    emit isLoadingChanged();
}

void ApiThread::onUserLoaded(const User &loadedUser) {
    currentUser = loadedUser;
    loading = false;
    crashreport::setUser({{QStringLiteral("ip_address"), QStringLiteral("{{auto}}")},
                          {QStringLiteral("email"), loadedUser.email}});
    emit userChanged();
    emit isLoadingChanged();
}

void ApiThread::onUserLoggedIn(const QString &token) {
    settingsStore->setApiToken(token);
    emit isLoggedInChanged();
}

void ApiThread::onUserLoggedOut() {
    settingsStore->setApiToken(QString());
    loading = false;
    currentUser.reset();
    emit isLoadingChanged();
    emit isLoggedInChanged();
    emit userChanged();
}

void ApiThread::onLoginUrlChanged(const QString &url) {
    lastLoginUrl = url;
    qDebug() << "Login URL:" << url;
    emit loginUrlChanged();
}

Scan *ApiThread::findScan(const QString &containerID) const {
    for (Scan *scan : scanList)
        if (scan->containerId() == containerID)
            return scan;
    return nullptr;
}

QFuture<Scan *> ApiThread::startNewScan() {
    return runInOwnThread(api.data(), &Api::newContainer)
        .unwrap()
        .then(this, [this](QString containerID) {
            auto *scan = new Scan(containerID, this);
            scanList.append(scan);
            emit currentScanChanged(scan);
            emit scansChanged(scanList);
            return scan;
        });
}

void ApiThread::uploadFile(QString containerID, QString containerPath, QString filePath,
                           bool finish, int retry) {
    Scan *scan = findScan(containerID);
    if (!scan) {
        qWarning() << "Cannot find scan for container ID" << containerID;
        return;
    }
    // Pending from its first attempt until it succeeds: the scan cannot count as uploaded (nor
    // its local files be deleted) while any of its files is still on its way.
    if (retry == 0) {
        scan->setFileUploaded(filePath, false);
        if (finish)
            scan->finishUploads();
    }
    runInOwnThread(api.data(), &Api::uploadFile, containerID, containerPath, filePath)
        .unwrap()
        .then(this, [=, this](bool ok) {
            onUploadResult(scan, containerPath, filePath, finish, retry, ok);
        });
}

void ApiThread::onUploadResult(Scan *scan, const QString &containerPath, const QString &filePath,
                               bool finish, int retry, bool ok) {
    if (ok) {
        scan->setFileUploaded(filePath, true);
        // Whichever file completes last after the finish file was requested ends the scan.
        if (scan->status() >= Scan::UPLOADED && !finishedScans.contains(scan)) {
            finishedScans.insert(scan);
            emit uploadFinished(scan->containerId());
        }
        return;
    }
    const QString containerId = scan->containerId();
    QTimer::singleShot(retryIntervalMs, this, [=, this] {
        uploadFile(containerId, containerPath, filePath, finish, retry + 1);
    });
    qWarning() << "Failed to upload file" << filePath << "for container" << containerId;
    crashreport::captureException(
        QStringLiteral("Upload failed"),
        QStringLiteral("Failed to upload file %1 to container %2 at path %3")
            .arg(filePath, containerId, containerPath));
    if (retry % 6 == 0)
        emit apiError(
            tr("Failed to upload file %1").arg(filePath.mid(filePath.lastIndexOf('/') + 1)));
}

QFuture<QString> ApiThread::saveScan(QString containerID, QString filename) {
    Scan *scan = findScan(containerID);
    if (!scan) {
        qWarning() << "Cannot find scan for container ID" << containerID;
        return QtFuture::makeExceptionalFuture<QString>(
            ApiException(QStringLiteral("Cannot find scan for container ID"), 0));
    }
    if (scan->status() < Scan::UPLOADED) {
        return QtFuture::connect(scan, &Scan::updated)
            .then(this, [this, containerID, filename] { return saveScan(containerID, filename); })
            .unwrap();
    }
    return runInOwnThread(api.data(), &Api::saveScan, containerID, filename)
        .unwrap()
        .then(this, [scan](QString viewUrl) {
            scan->setSaved(viewUrl);
            return viewUrl;
        });
}
