#include "service/scan.h"

#include <QQmlEngine>

Scan::Scan(QString containerId, QObject *parent)
    : QObject(parent)
    , id(std::move(containerId)) {}

void Scan::setFilename(const QString &filename) {
    name = filename;
    emit updated();
}

void Scan::updateStatus() {
    // Once its last file is requested, a scan is uploaded whenever nothing is pending; a file
    // asked for again (after a restart) makes it uploading again.
    if (isSaved)
        currentStatus = SAVED;
    else if (finishRequested)
        currentStatus = uploadingCount <= 0 ? UPLOADED : UPLOADING;
    else
        currentStatus = BUILDING;
}

void Scan::setFileUploaded(const QString &path, bool uploaded) {
    const auto it = files.constFind(path);
    if (it != files.constEnd())
        --(it.value() ? uploadedCount : uploadingCount);
    ++(uploaded ? uploadedCount : uploadingCount);
    files.insert(path, uploaded);
    updateStatus();
    emit updated();
}

void Scan::finishUploads() {
    finishRequested = true;
    updateStatus();
    emit updated();
}

void Scan::setSaved(const QString &viewUrl) {
    isSaved = true;
    url = viewUrl;
    savePending = false;
    updateStatus();
    emit updated();
}

void Scan::setStartedAt(const QDateTime &startedAt) {
    started = startedAt;
    emit updated();
}

void Scan::setRecovered(bool recovered) {
    fromEarlierRun = recovered;
    emit updated();
}

void Scan::setOwner(const QString &owner) {
    ownerEmail = owner;
    emit updated();
}

void Scan::setWaitingForLogIn(bool value) {
    if (waiting == value)
        return;
    waiting = value;
    emit updated();
}

void Scan::setFailed(const QString &reason) {
    if (!failure.isEmpty() || reason.isEmpty())
        return;
    failure = reason;
    emit updated();
}

void Scan::setSaveName(const QString &value) {
    nameToSave = value;
    emit updated();
}

void Scan::setSaving(bool value) {
    if (savePending == value)
        return;
    savePending = value;
    emit updated();
}

void Scan::setDiscarded() {
    isDiscarded = true;
    savePending = false;
    emit updated();
}

static void registerScanType() {
    qmlRegisterUncreatableType<Scan>("Mireva", 1, 0, "Scan",
                                     QStringLiteral("Scans are created by apiThread"));
}
Q_CONSTRUCTOR_FUNCTION(registerScanType)
