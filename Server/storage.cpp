#include "storage.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QUuid>

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavrona {

Storage::Storage(QString root)
    : m_root(std::move(root)) {}

QString Storage::checkPath(const QString &path) {
    if (path.isEmpty())
        return QStringLiteral("empty path");
    if (path.size() > 512)
        return QStringLiteral("path longer than 512 characters");
    if (path.startsWith(QLatin1Char('/')))
        return QStringLiteral("path starts with \"/\"");
    if (path.contains(QLatin1Char('\\')))
        return QStringLiteral("path contains a backslash");
    if (path.contains(QLatin1String("..")))
        return QStringLiteral("path contains \"..\"");
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control)
            return QStringLiteral("path contains a control character");
    }
    for (const QString &segment : path.split(QLatin1Char('/'))) {
        if (segment.isEmpty() || segment == QLatin1String("."))
            return QStringLiteral("path has an empty or \".\" segment");
    }
    return {};
}

bool Storage::isContainerId(const QString &id) {
    if (id.size() != 32)
        return false;
    for (const QChar c : id)
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    return true;
}

QString Storage::containerDir(const QString &containerId) const {
    return m_root + QLatin1Char('/') + containerId;
}

QString Storage::filePath(const QString &containerId, const QString &path) const {
    return containerDir(containerId) + QLatin1Char('/') + path;
}

bool Storage::store(const QString &containerId, const QString &path, const QByteArray &data,
                    QString *md5, QString *error) {
    if (!isContainerId(containerId) || !checkPath(path).isEmpty()) {
        *error = QStringLiteral("invalid container path");
        return false;
    }
    const QString target = filePath(containerId, path);
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        *error = QStringLiteral("cannot create the container folder");
        return false;
    }
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        *error = QStringLiteral("cannot write the file: %1").arg(file.errorString());
        return false;
    }
    *md5 = md5Hex(data);
    return true;
}

zip_t *Storage::openArchive(const QString &containerId, const QString &path, QString *error) const {
    if (!isContainerId(containerId) || !checkPath(path).isEmpty()) {
        *error = QStringLiteral("invalid archive path \"%1\"").arg(path);
        return nullptr;
    }
    const QByteArray local = QFile::encodeName(filePath(containerId, path));
    int code = 0;
    zip_t *handle = zip_open(local.constData(), ZIP_RDONLY, &code);
    if (!handle) {
        zip_error_t zipError;
        zip_error_init_with_code(&zipError, code);
        *error = QStringLiteral("cannot open archive \"%1\": %2")
                     .arg(path, QString::fromUtf8(zip_error_strerror(&zipError)));
        zip_error_fini(&zipError);
    }
    return handle;
}

QString Storage::derivedDir(const QString &containerId, const QString &scanId) const {
    return m_root + QLatin1Char('/') + containerId + QStringLiteral(".derived/") + scanId;
}

namespace {

bool isBuildName(const QString &name) {
    return !name.isEmpty() && name.size() <= 64 &&
           std::all_of(name.begin(), name.end(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                      (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
           });
}

} // namespace

QString Storage::newStaging(const QString &containerId, const QString &scanId, int part,
                            const QString &build, QString *error) const {
    if (!isContainerId(containerId) || !isContainerId(scanId) || part < 0 || !isBuildName(build)) {
        *error = QStringLiteral("invalid derived-file name");
        return {};
    }
    const QString staging =
        derivedDir(containerId, scanId) + QStringLiteral("/.staging-%1-%2").arg(part).arg(build);
    QDir(staging).removeRecursively();
    if (!QDir().mkpath(staging)) {
        *error = QStringLiteral("cannot create \"%1\"").arg(staging);
        return {};
    }
    return staging;
}

bool Storage::publish(const QString &containerId, const QString &scanId, int part,
                      const QString &build, const QString &staging, QString *error) const {
    const QString target =
        derivedDir(containerId, scanId) + QStringLiteral("/%1-%2").arg(part).arg(build);
    // A folder is renamed whole: a reader sees no build or the complete one.
    if (std::rename(QFile::encodeName(staging).constData(),
                    QFile::encodeName(target).constData()) != 0) {
        *error = QStringLiteral("cannot move \"%1\" into place: %2")
                     .arg(staging, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

QString Storage::derivedFile(const QString &containerId, const QString &scanId, int part,
                             const QString &build, const QString &relativePath) const {
    return derivedDir(containerId, scanId) + QStringLiteral("/%1-%2/").arg(part).arg(build) +
           relativePath;
}

void Storage::removeBuilds(const QString &containerId, const QString &scanId, int part,
                           const QString &keepBuild) const {
    if (!isContainerId(containerId) || !isContainerId(scanId))
        return;
    const QString prefix = QStringLiteral("%1-").arg(part);
    const QString stagingPrefix = QStringLiteral(".staging-%1-").arg(part);
    // Another worker may be writing a staging folder of the part right now.
    const QDateTime abandoned = QDateTime::currentDateTimeUtc().addSecs(-6 * 3600);
    QDir dir(derivedDir(containerId, scanId));
    for (const QFileInfo &entry :
         dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString name = entry.fileName();
        const bool stale = (name.startsWith(prefix) && name.mid(prefix.size()) != keepBuild &&
                            isBuildName(name.mid(prefix.size()))) ||
                           (name.startsWith(stagingPrefix) && entry.lastModified() < abandoned);
        if (stale)
            QDir(entry.filePath()).removeRecursively();
    }
}

void Storage::removeBuild(const QString &containerId, const QString &scanId, int part,
                          const QString &build) const {
    if (isContainerId(containerId) && isContainerId(scanId) && isBuildName(build))
        QDir(derivedDir(containerId, scanId) + QStringLiteral("/%1-%2").arg(part).arg(build))
            .removeRecursively();
}

QString md5Hex(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QString Storage::packageFile(const QString &containerId, const QString &scanId,
                             const QString &version) const {
    return derivedDir(containerId, scanId) + QStringLiteral("/package-%1.zip").arg(version);
}

bool Storage::writePackage(const QString &containerId, const QString &scanId,
                           const QString &version, const QStringList &paths, QString *error) const {
    const QString target = packageFile(containerId, scanId, version);
    const QString partial =
        target + QStringLiteral(".partial-") + md5Hex(QUuid::createUuid().toByteArray());
    if (!QDir().mkpath(derivedDir(containerId, scanId))) {
        *error = QStringLiteral("cannot create the scan's folder");
        return false;
    }
    int zipError = 0;
    zip_t *zip = zip_open(QFile::encodeName(partial).constData(), ZIP_CREATE | ZIP_EXCL, &zipError);
    if (!zip) {
        *error = QStringLiteral("cannot create the package file");
        return false;
    }
    // The archives are JPEG cells already: stored, not compressed again. libzip copies each
    // file when the zip is closed, so memory does not grow with the scan.
    for (const QString &path : paths) {
        zip_source_t *source =
            zip_source_file(zip, QFile::encodeName(filePath(containerId, path)).constData(), 0, -1);
        const zip_int64_t index =
            source ? zip_file_add(zip, path.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0 || zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_STORE, 0) != 0) {
            if (source && index < 0)
                zip_source_free(source);
            *error = QStringLiteral("cannot add \"%1\" to the package").arg(path);
            zip_discard(zip);
            QFile::remove(partial);
            return false;
        }
    }
    if (zip_close(zip) != 0) {
        *error = QStringLiteral("cannot write the package: %1")
                     .arg(QString::fromUtf8(zip_strerror(zip)));
        zip_discard(zip);
        QFile::remove(partial);
        return false;
    }
    if (std::rename(QFile::encodeName(partial).constData(),
                    QFile::encodeName(target).constData()) != 0) {
        *error = QStringLiteral("cannot publish the package");
        QFile::remove(partial);
        return false;
    }
    const QString current = QFileInfo(target).fileName();
    QDir dir(derivedDir(containerId, scanId));
    for (const QString &name :
         dir.entryList({QStringLiteral("package-*.zip*")}, QDir::Files | QDir::Hidden))
        if (name != current && !name.contains(QLatin1String(".partial-")))
            dir.remove(name);
    return true;
}

} // namespace tavrona
