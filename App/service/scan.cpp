#include "service/scan.h"

#include <QQmlEngine>

Scan::Scan(QString containerId, QObject *parent)
    : QObject(parent)
    , id(std::move(containerId)) {}

void Scan::setFilename(const QString &filename) {
    name = filename;
    emit updated();
}

void Scan::setFileUploaded(const QString &path, bool uploaded) {
    const auto it = files.constFind(path);
    if (it != files.constEnd())
        --(it.value() ? uploadedCount : uploadingCount);
    ++(uploaded ? uploadedCount : uploadingCount);
    files.insert(path, uploaded);
    if (currentStatus == UPLOADING && uploadingCount == 0)
        currentStatus = UPLOADED;
    emit updated();
}

void Scan::finishUploads() {
    currentStatus = uploadingCount <= 0 ? UPLOADED : UPLOADING;
    emit updated();
}

void Scan::setSaved(const QString &viewUrl) {
    currentStatus = SAVED;
    url = viewUrl;
    emit updated();
}

static void registerScanType() {
    qmlRegisterUncreatableType<Scan>("Mireva", 1, 0, "Scan",
                                     QStringLiteral("Scans are created by apiThread"));
}
Q_CONSTRUCTOR_FUNCTION(registerScanType)
