#include "service/apithread.h"

#include "service/runinownthread.h"
#include "shell/crashreport.h"
#include "shell/settings.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <cmath>

ApiThread::ApiThread(Settings *settings)
    : ApiThread(settings, Intervals{}) {}

ApiThread::ApiThread(Settings *settings, Intervals intervals)
    : WorkerThread(QThread::HighestPriority)
    , api(new Api(settings->apiUrl(), settings->apiToken(), intervals.pollMs,
                  intervals.transferTimeoutMs))
    , settingsStore(settings)
    , intervals(intervals) {
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

int ApiThread::retryDelayMs(const Intervals &intervals, int failures, double unit) {
    const double base =
        std::min(double(intervals.maxRetryMs),
                 double(intervals.retryMs) * std::pow(2.0, std::clamp(failures - 1, 0, 60)));
    const double spread = 1.0 + intervals.jitter * (2.0 * std::clamp(unit, 0.0, 1.0) - 1.0);
    return int(std::clamp(std::round(base * spread), 0.0, double(intervals.maxRetryMs)));
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
    // Scans made in this log-in before its user was known are that user's.
    for (Scan *scan : std::as_const(scanList))
        if (scan->owner().isEmpty() && uploads.value(scan).session == session)
            scan->setOwner(loadedUser.email);
    heldForLogIn = false;
    emit userChanged();
    emit isLoadingChanged();
    releaseHeld();
}

void ApiThread::onUserLoggedIn(const QString &token) {
    settingsStore->setApiToken(token);
    ++session;
    emit isLoggedInChanged();
}

void ApiThread::onUserLoggedOut() {
    settingsStore->setApiToken(QString());
    loading = false;
    currentUser.reset();
    ++session;
    refreshWaiting();
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

QList<Scan *> ApiThread::scans() const {
    QList<Scan *> shown;
    for (Scan *scan : scanList)
        if (!scan->discarded())
            shown.append(scan);
    return shown;
}

bool ApiThread::mayUpload(Scan *scan) const {
    if (heldForLogIn)
        return false;
    if (scan->owner().isEmpty())
        return uploads.value(scan).session == session;
    return currentUser && currentUser->email.compare(scan->owner(), Qt::CaseInsensitive) == 0;
}

void ApiThread::refreshWaiting() {
    for (Scan *scan : std::as_const(scanList))
        scan->setWaitingForLogIn(!scan->discarded() && !mayUpload(scan));
}

QFuture<Scan *> ApiThread::startNewScan() {
    return runInOwnThread(api.data(), &Api::newContainer)
        .unwrap()
        .then(this, [this](QString containerID) {
            auto *scan = new Scan(containerID, this);
            scan->setStartedAt(QDateTime::currentDateTimeUtc());
            if (currentUser)
                scan->setOwner(currentUser->email);
            uploads[scan].session = session;
            scanList.append(scan);
            current = scan;
            emit currentScanChanged(scan);
            emit scansChanged(scans());
            return scan;
        });
}

Scan *ApiThread::resumeScan(const QString &containerID, const QString &owner,
                            const QDateTime &startedAt, const QStringList &uploadedFiles,
                            bool finishUploaded) {
    if (Scan *known = findScan(containerID))
        return known;
    auto *scan = new Scan(containerID, this);
    scan->setStartedAt(startedAt);
    scan->setRecovered(true);
    scan->setOwner(owner);
    for (const QString &file : uploadedFiles)
        scan->setFileUploaded(file, true);
    if (finishUploaded)
        scan->finishUploads();
    // An owner must log in: the session it was made in is over.
    uploads[scan].session = -1;
    // Older than anything made in this run.
    qsizetype at = 0;
    while (at < scanList.size() && scanList[at]->recovered())
        ++at;
    scanList.insert(at, scan);
    scan->setWaitingForLogIn(!mayUpload(scan));
    emit scansChanged(scans());
    return scan;
}

void ApiThread::uploadFile(QString containerID, QString containerPath, QString filePath,
                           bool finish) {
    Scan *scan = findScan(containerID);
    if (!scan) {
        qWarning() << "Cannot find scan for container ID" << containerID;
        return;
    }
    if (scan->discarded()) {
        qDebug() << "Not uploading" << containerPath << "of the discarded scan" << containerID;
        return;
    }
    // Pending from its first attempt until it succeeds: the scan cannot count as uploaded (nor
    // its local files be given up) while any of its files is still on its way.
    scan->setFileUploaded(filePath, false);
    if (finish)
        scan->finishUploads();
    FileUpload &upload = uploads[scan].files[containerPath];
    const bool sending = upload.state == FileUpload::State::Sending;
    upload.filePath = filePath;
    upload.finish = upload.finish || finish;
    upload.failures = 0;
    upload.refusedOnce = false;
    if (sending) {
        upload.askedAgain = true;
        return;
    }
    upload.state = FileUpload::State::Waiting;
    send(scan, containerPath);
}

void ApiThread::send(Scan *scan, const QString &containerPath) {
    FileUpload &upload = uploads[scan].files[containerPath];
    ++upload.attempt;
    if (!mayUpload(scan)) {
        upload.state = FileUpload::State::Held;
        scan->setWaitingForLogIn(true);
        return;
    }
    upload.state = FileUpload::State::Sending;
    const QString containerID = scan->containerId();
    const quint64 attempt = upload.attempt;
    runInOwnThread(api.data(), &Api::uploadFile, containerID, containerPath, upload.filePath)
        .unwrap()
        .then(this, [=, this](UploadResult result) {
            onUploadResult(containerID, containerPath, attempt, result);
        });
}

void ApiThread::retryLater(Scan *scan, const QString &containerPath, FileUpload &upload) {
    upload.state = FileUpload::State::Waiting;
    const quint64 attempt = ++upload.attempt;
    const int delayMs =
        retryDelayMs(intervals, upload.failures, QRandomGenerator::global()->generateDouble());
    const QString containerID = scan->containerId();
    QTimer::singleShot(delayMs, this, [=, this] {
        Scan *target = findScan(containerID);
        if (!target || target->discarded())
            return;
        auto &files = uploads[target].files;
        const auto it = files.find(containerPath);
        if (it != files.end() && it->second.attempt == attempt &&
            it->second.state == FileUpload::State::Waiting)
            send(target, containerPath);
    });
}

void ApiThread::onUploadResult(const QString &containerID, const QString &containerPath,
                               quint64 attempt, const UploadResult &result) {
    Scan *scan = findScan(containerID);
    if (!scan || scan->discarded())
        return;
    ScanUploads &state = uploads[scan];
    const auto it = state.files.find(containerPath);
    if (it == state.files.end() || it->second.attempt != attempt)
        return;
    FileUpload &upload = it->second;
    if (upload.askedAgain) {
        // A newer copy was asked for while this one was on its way: that one counts.
        upload.askedAgain = false;
        upload.state = FileUpload::State::Waiting;
        send(scan, containerPath);
        return;
    }
    switch (result.outcome) {
    case UploadResult::Stored:
        upload.state = FileUpload::State::Done;
        upload.failures = 0;
        state.told.clear();
        scan->setFileUploaded(upload.filePath, true);
        emit fileUploaded(containerID, containerPath, upload.filePath, result.etag);
        // Whichever file completes last after the finish file was requested ends the scan.
        if (scan->status() >= Scan::UPLOADED && !finishedScans.contains(scan)) {
            finishedScans.insert(scan);
            emit uploadFinished(containerID);
        }
        return;
    case UploadResult::Unauthorized:
        upload.state = FileUpload::State::Held;
        ++upload.failures;
        if (!heldForLogIn) {
            heldForLogIn = true;
            qWarning() << "The service no longer takes the log-in: uploads wait for the next one";
            refreshWaiting();
            emit apiError(tr("Your log-in has ended. Log in again to go on with the uploads."));
            // The service says whether the token is gone; if so the user is logged out.
            emit queryUser();
        }
        return;
    case UploadResult::Forbidden:
        if (!upload.refusedOnce) {
            // A presigned request may have expired on its way: the next attempt asks afresh.
            upload.refusedOnce = true;
            upload.state = FileUpload::State::Waiting;
            send(scan, containerPath);
            return;
        }
        failFile(scan, state, containerPath, upload, result.cause);
        return;
    case UploadResult::Permanent:
        failFile(scan, state, containerPath, upload, result.cause);
        return;
    case UploadResult::Failed:
        break;
    }
    ++upload.failures;
    upload.refusedOnce = false;
    qWarning() << "Failed to upload file" << upload.filePath << "for container" << containerID
               << ":" << result.cause;
    report(scan, state, containerPath, upload, result.cause);
    if (!state.told.contains(result.cause)) {
        state.told.insert(result.cause);
        emit apiError(tr("Failed to upload file %1")
                          .arg(upload.filePath.mid(upload.filePath.lastIndexOf('/') + 1)));
    }
    retryLater(scan, containerPath, upload);
}

void ApiThread::report(Scan *scan, ScanUploads &state, const QString &containerPath,
                       const FileUpload &upload, const QString &cause) {
    if (state.reported.contains(cause))
        return;
    state.reported.insert(cause);
    crashreport::captureException(
        QStringLiteral("Upload failed"),
        QStringLiteral("Failed to upload file %1 to container %2 at path %3: %4")
            .arg(upload.filePath, scan->containerId(), containerPath, cause));
}

void ApiThread::failFile(Scan *scan, ScanUploads &state, const QString &containerPath,
                         FileUpload &upload, const QString &cause) {
    upload.state = FileUpload::State::Failed;
    qWarning() << "The service will not take" << upload.filePath << "for container"
               << scan->containerId() << ":" << cause;
    report(scan, state, containerPath, upload, cause);
    if (scan->failed())
        return;
    const QString name = upload.filePath.mid(upload.filePath.lastIndexOf('/') + 1);
    scan->setFailed(QStringLiteral("%1: %2").arg(name, cause));
    emit scanFailed(scan->containerId(), scan->error());
    emit apiError(
        tr("The scan cannot be uploaded: the service does not take %1 (%2)").arg(name, cause));
}

void ApiThread::releaseHeld() {
    refreshWaiting();
    for (Scan *scan : std::as_const(scanList)) {
        if (scan->discarded() || !mayUpload(scan))
            continue;
        auto &files = uploads[scan].files;
        for (auto &[containerPath, upload] : files) {
            if (upload.state != FileUpload::State::Held)
                continue;
            // After a 401 the wait of a failure: a log-in that the service keeps refusing must
            // not turn into a loop.
            if (upload.failures > 0)
                retryLater(scan, containerPath, upload);
            else
                send(scan, containerPath);
        }
    }
}

void ApiThread::discardScan(QString containerID) {
    Scan *scan = findScan(containerID);
    if (!scan || scan->discarded())
        return;
    qDebug() << "Discarding the scan of container" << containerID;
    uploads[scan].files.clear();
    scan->setDiscarded();
    if (current == scan) {
        current = nullptr;
        emit currentScanChanged(nullptr);
    }
    emit scansChanged(scans());
    emit scanDiscarded(containerID);
}

QFuture<QString> ApiThread::saveScan(QString containerID, QString filename) {
    Scan *scan = findScan(containerID);
    if (!scan) {
        qWarning() << "Cannot find scan for container ID" << containerID;
        return QtFuture::makeExceptionalFuture<QString>(
            ApiException(QStringLiteral("Cannot find scan for container ID"), 0));
    }
    if (scan->status() != Scan::SAVED && !scan->discarded() && !scan->failed()) {
        scan->setSaveName(filename);
        emit saveRequested(containerID, filename);
    }
    scan->setSaving(true);
    return saveWhenReady(scan, filename).then(this, [scan](QFuture<QString> done) {
        scan->setSaving(false);
        return done.result();
    });
}

QFuture<QString> ApiThread::saveWhenReady(Scan *scan, QString filename) {
    if (scan->discarded())
        return QtFuture::makeExceptionalFuture<QString>(
            ApiException(tr("The scan was discarded"), 0));
    if (scan->failed())
        return QtFuture::makeExceptionalFuture<QString>(ApiException(scan->error(), 0));
    // The save waits for the last file, and for the scan's owner: never another user's save.
    if (scan->status() < Scan::UPLOADED || !mayUpload(scan)) {
        return QtFuture::connect(scan, &Scan::updated)
            .then(this, [this, scan, filename] { return saveWhenReady(scan, filename); })
            .unwrap();
    }
    const QString containerID = scan->containerId();
    return runInOwnThread(api.data(), &Api::saveScan, containerID, filename)
        .unwrap()
        .then(this, [this, scan, containerID](QString viewUrl) {
            scan->setSaved(viewUrl);
            emit scanSaved(containerID, viewUrl);
            return viewUrl;
        });
}
