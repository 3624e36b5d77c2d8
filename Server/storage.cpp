#include "storage.h"

#include "objectstore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <zip.h>

namespace tavrona {

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

QString Storage::containerPrefix(const QString &containerId) {
    return QStringLiteral("containers/") + containerId + QLatin1Char('/');
}

QString Storage::key(const QString &containerId, const QString &path) {
    return containerPrefix(containerId) + path;
}

void Storage::useFolder(const QString &dataRoot) {
    m_owned = std::make_shared<LocalObjectStore>(dataRoot);
    m_store = m_owned.get();
    m_scratch = dataRoot + QStringLiteral("/cache/store");
}

QString Storage::containerDir(const QString &containerId) const {
    if (!m_store || !isContainerId(containerId))
        return {};
    return m_store->localPath(containerPrefix(containerId).chopped(1));
}

QString Storage::filePath(const QString &containerId, const QString &path) const {
    if (!m_store || !isContainerId(containerId) || !checkPath(path).isEmpty())
        return {};
    return m_store->localPath(key(containerId, path));
}

bool Storage::store(const QString &containerId, const QString &path, const QByteArray &data,
                    QString *md5, QString *error) {
    if (!m_store || !isContainerId(containerId) || !checkPath(path).isEmpty()) {
        *error = QStringLiteral("invalid container path");
        return false;
    }
    QByteArray digest;
    if (!m_store->put(key(containerId, path), data, error, &digest))
        return false;
    *md5 = QString::fromLatin1(digest);
    return true;
}

std::optional<QByteArray> Storage::read(const QString &containerId, const QString &path,
                                        qint64 maxBytes, QString *error, bool *missing) const {
    if (missing)
        *missing = false;
    if (!m_store || !isContainerId(containerId) || !checkPath(path).isEmpty()) {
        *error = QStringLiteral("invalid container path");
        return std::nullopt;
    }
    // One byte more than allowed tells a file of exactly maxBytes from a larger one.
    auto data =
        m_store->read(key(containerId, path), 0, maxBytes < 0 ? -1 : maxBytes + 1, error, missing);
    if (data && maxBytes >= 0 && data->size() > maxBytes) {
        *error = QStringLiteral("\"%1\" is larger than %2 bytes").arg(path).arg(maxBytes);
        return std::nullopt;
    }
    return data;
}

std::optional<QList<StoredObject>> Storage::files(const QString &containerId,
                                                  QString *error) const {
    if (!m_store || !isContainerId(containerId)) {
        *error = QStringLiteral("invalid container");
        return std::nullopt;
    }
    const QString prefix = containerPrefix(containerId);
    auto objects = m_store->list(prefix, error);
    if (!objects)
        return std::nullopt;
    for (StoredObject &object : *objects)
        object.key = object.key.mid(prefix.size());
    return objects;
}

zip_t *Storage::openArchive(const QString &containerId, const QString &path, QString *error,
                            qint64 knownSize) const {
    if (!m_store || !isContainerId(containerId) || !checkPath(path).isEmpty()) {
        *error = QStringLiteral("invalid archive path \"%1\"").arg(path);
        return nullptr;
    }
    return m_store->openZip(key(containerId, path), error, knownSize);
}

bool Storage::remote() const {
    return m_store && m_store->localPath(QStringLiteral("containers")).isEmpty();
}

QString Storage::derivedPrefix(const QString &containerId, const QString &scanId) {
    return QStringLiteral("containers/%1.derived/%2/").arg(containerId, scanId);
}

QString Storage::localDerivedDir(const QString &containerId, const QString &scanId) const {
    if (!m_store)
        return {};
    if (!remote())
        return m_store->localPath(derivedPrefix(containerId, scanId).chopped(1));
    return m_scratch + QLatin1Char('/') + derivedPrefix(containerId, scanId).chopped(1);
}

namespace {

bool isBuildName(const QString &name) {
    return !name.isEmpty() && name.size() <= 64 &&
           std::all_of(name.begin(), name.end(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                      (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
           });
}

bool validDerivedName(const QString &containerId, const QString &scanId, int part,
                      const QString &build) {
    return Storage::isContainerId(containerId) && Storage::isContainerId(scanId) && part >= 0 &&
           isBuildName(build);
}

} // namespace

QString Storage::newStaging(const QString &containerId, const QString &scanId, int part,
                            const QString &build, QString *error) const {
    if (!validDerivedName(containerId, scanId, part, build) || !m_store) {
        *error = QStringLiteral("invalid derived-file name");
        return {};
    }
    const QString staging = localDerivedDir(containerId, scanId) +
                            QStringLiteral("/.staging-%1-%2").arg(part).arg(build);
    QDir(staging).removeRecursively();
    if (!QDir().mkpath(staging)) {
        *error = QStringLiteral("cannot create \"%1\"").arg(staging);
        return {};
    }
    return staging;
}

bool Storage::publish(const QString &containerId, const QString &scanId, int part,
                      const QString &build, const QString &staging, QString *error) const {
    if (!validDerivedName(containerId, scanId, part, build) || !m_store) {
        *error = QStringLiteral("invalid derived-file name");
        return false;
    }
    const QString target =
        localDerivedDir(containerId, scanId) + QStringLiteral("/%1-%2").arg(part).arg(build);
    if (remote()) {
        // Every file into the bucket first; the build exists for readers once the database
        // names it, which happens after this returns.
        const QString prefix =
            derivedPrefix(containerId, scanId) + QStringLiteral("%1-%2/").arg(part).arg(build);
        QDirIterator it(staging, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            if (!m_store->putFile(prefix + file.mid(staging.size() + 1), file, error))
                return false;
        }
    }
    // A folder is renamed whole: a reader sees no build or the complete one. With a bucket the
    // folder becomes this server's copy of the build.
    if (std::rename(QFile::encodeName(staging).constData(),
                    QFile::encodeName(target).constData()) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        if (remote()) {
            QDir(staging).removeRecursively(); // the bucket has it; a copy is made on demand
            return true;
        }
        *error = QStringLiteral("cannot move \"%1\" into place: %2").arg(staging, why);
        return false;
    }
    return true;
}

QString Storage::derivedFile(const QString &containerId, const QString &scanId, int part,
                             const QString &build, const QString &relativePath) const {
    if (!validDerivedName(containerId, scanId, part, build) || !m_store ||
        !checkPath(relativePath).isEmpty())
        return {};
    const QString name = QStringLiteral("%1-%2/").arg(part).arg(build) + relativePath;
    const QString local = localDerivedDir(containerId, scanId) + QLatin1Char('/') + name;
    if (!remote() || QFileInfo::exists(local))
        return local;
    // Fetched whole under a temporary name, so a reader never sees a part of it.
    QString error;
    const auto data = m_store->read(derivedPrefix(containerId, scanId) + name, 0, -1, &error);
    if (!data) {
        qWarning().noquote() << "Cannot fetch" << name << "of scan" << scanId << ":" << error;
        return {};
    }
    QDir().mkpath(QFileInfo(local).absolutePath());
    QSaveFile file(local);
    if (!file.open(QIODevice::WriteOnly) || file.write(*data) != data->size() || !file.commit()) {
        qWarning().noquote() << "Cannot keep a copy of" << name << ":" << file.errorString();
        return {};
    }
    return local;
}

void Storage::removeBuilds(const QString &containerId, const QString &scanId, int part,
                           const QString &keepBuild) const {
    if (!isContainerId(containerId) || !isContainerId(scanId) || !m_store)
        return;
    const QString prefix = QStringLiteral("%1-").arg(part);
    const QString stagingPrefix = QStringLiteral(".staging-%1-").arg(part);
    // Another worker may be writing a staging folder of the part right now.
    const QDateTime abandoned = QDateTime::currentDateTimeUtc().addSecs(-6 * 3600);
    QDir dir(localDerivedDir(containerId, scanId));
    for (const QFileInfo &entry :
         dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString name = entry.fileName();
        const bool stale = (name.startsWith(prefix) && name.mid(prefix.size()) != keepBuild &&
                            isBuildName(name.mid(prefix.size()))) ||
                           (name.startsWith(stagingPrefix) && entry.lastModified() < abandoned);
        if (stale)
            QDir(entry.filePath()).removeRecursively();
    }
    if (!remote())
        return;
    QString error;
    const QString derived = derivedPrefix(containerId, scanId);
    const auto objects = m_store->list(derived + prefix, &error);
    if (!objects) {
        qWarning().noquote() << "Cannot list the builds of scan" << scanId << ":" << error;
        return;
    }
    for (const StoredObject &object : *objects) {
        const QString build = object.key.mid(derived.size() + prefix.size()).section('/', 0, 0);
        if (build != keepBuild && isBuildName(build) && !m_store->remove(object.key, &error))
            qWarning().noquote() << "Cannot remove" << object.key << ":" << error;
    }
}

void Storage::removeBuild(const QString &containerId, const QString &scanId, int part,
                          const QString &build) const {
    if (!validDerivedName(containerId, scanId, part, build) || !m_store)
        return;
    const QString name = QStringLiteral("%1-%2").arg(part).arg(build);
    QDir(localDerivedDir(containerId, scanId) + QLatin1Char('/') + name).removeRecursively();
    QString error;
    if (remote() &&
        !m_store->removeAll(derivedPrefix(containerId, scanId) + name + QLatin1Char('/'), &error))
        qWarning().noquote() << "Cannot remove build" << name << "of scan" << scanId << ":"
                             << error;
}

QString md5Hex(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QString Storage::packageFile(const QString &containerId, const QString &scanId,
                             const QString &version) const {
    return localDerivedDir(containerId, scanId) + QStringLiteral("/package-%1.zip").arg(version);
}

bool Storage::writePackage(const QString &containerId, const QString &scanId,
                           const QString &version, const QStringList &paths, QString *error) const {
    const QString target = packageFile(containerId, scanId, version);
    const QString partial =
        target + QStringLiteral(".partial-") + md5Hex(QUuid::createUuid().toByteArray());
    if (!m_store || !QDir().mkpath(localDerivedDir(containerId, scanId))) {
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
    // file when the zip is closed, so memory does not grow with the scan. A bucket's files are
    // fetched one at a time into files beside the package first, removed once it is written.
    QStringList fetched;
    const auto removeFetched = qScopeGuard([&fetched] {
        for (const QString &file : std::as_const(fetched))
            QFile::remove(file);
    });
    for (const QString &path : paths) {
        QString local = filePath(containerId, path);
        if (remote()) {
            local = partial + QStringLiteral(".file-%1").arg(fetched.size());
            QString why;
            const auto data = checkPath(path).isEmpty()
                                  ? m_store->read(key(containerId, path), 0, -1, &why)
                                  : std::nullopt;
            QFile file(local);
            if (!data || !file.open(QIODevice::WriteOnly) || file.write(*data) != data->size()) {
                *error = QStringLiteral("cannot fetch \"%1\" for the package: %2")
                             .arg(path, data ? file.errorString() : why);
                zip_discard(zip);
                QFile::remove(partial);
                QFile::remove(local);
                return false;
            }
            fetched << local;
        }
        zip_source_t *source = zip_source_file(zip, QFile::encodeName(local).constData(), 0, -1);
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
    QDir dir(localDerivedDir(containerId, scanId));
    for (const QString &name :
         dir.entryList({QStringLiteral("package-*.zip*")}, QDir::Files | QDir::Hidden))
        if (name != current && !name.contains(QLatin1String(".partial-")))
            dir.remove(name);
    return true;
}

} // namespace tavrona
