#include "mosaic/scanfolder.h"

#include "mosaic/scanjournal.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <io.h>
#endif

namespace scanfolder {

namespace {

void setError(QString *error, const QString &text) {
    if (error)
        *error = text;
}

bool syncHandle(int handle) {
#if defined(Q_OS_LINUX)
    return ::fdatasync(handle) == 0;
#elif defined(Q_OS_UNIX)
    return ::fsync(handle) == 0;
#elif defined(Q_OS_WIN)
    return ::_commit(handle) == 0;
#else
    Q_UNUSED(handle);
    return true;
#endif
}

std::filesystem::path fsPath(const QString &path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

bool writeAtomically(const QString &path, QByteArrayView data, bool sync, QString *error) {
    const QString partial = path + partialSuffix;
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        setError(error, file.errorString());
        return false;
    }
    const qint64 written = file.write(data.data(), data.size());
    bool ok = written == data.size() && file.flush();
    if (ok && sync)
        ok = syncHandle(file.handle());
    // A short write leaves an error on the device; so may the close of a full disk.
    const QString writeError = file.errorString();
    file.close();
    if (!ok || file.error() != QFileDevice::NoError) {
        setError(error, writeError.isEmpty() ? file.errorString() : writeError);
        QFile::remove(partial);
        return false;
    }
    std::error_code code;
    std::filesystem::rename(fsPath(partial), fsPath(path), code);
    if (code) {
        setError(error, QString::fromStdString(code.message()));
        QFile::remove(partial);
        return false;
    }
    return true;
}

bool syncToDisk(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        setError(error, file.errorString());
        return false;
    }
    if (!syncHandle(file.handle())) {
        setError(error, QStringLiteral("cannot sync %1 to the disk").arg(path));
        return false;
    }
    return true;
}

QString md5Hex(QByteArrayView data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QString fileMd5Hex(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

QStringList scanFolders(const QString &root) {
    QStringList folders;
    const QDir dir(root);
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (name.endsWith(removedSuffix))
            continue;
        const QString folder = dir.filePath(name);
        if (QFileInfo::exists(folder + QLatin1Char('/') + ScanJournal::fileName))
            folders.append(folder);
    }
    return folders;
}

bool removeFolder(const QString &folder) {
    if (!QFileInfo::exists(folder))
        return true;
    const QString removed = folder + removedSuffix;
    if (QFileInfo::exists(removed) && !QDir(removed).removeRecursively())
        return false;
    if (!QDir().rename(folder, removed))
        return QDir(folder).removeRecursively();
    return QDir(removed).removeRecursively();
}

void removeUnfinishedRemovals(const QString &root) {
    const QDir dir(root);
    for (const QString &name :
         dir.entryList({QLatin1Char('*') + removedSuffix}, QDir::Dirs | QDir::NoDotAndDotDot))
        if (!QDir(dir.filePath(name)).removeRecursively())
            qWarning() << "Cannot remove" << dir.filePath(name);
}

qint64 availableBytes(const QString &path) {
    QString existing = path;
    // A folder that is not made yet lies on the file system of its nearest existing parent.
    while (!existing.isEmpty() && !QFileInfo::exists(existing)) {
        const QString parent = QFileInfo(existing).absolutePath();
        if (parent == existing)
            break;
        existing = parent;
    }
    const QStorageInfo storage(existing);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

FreeSpaceProbe fileSystemProbe() {
    // Asking the file system costs a look at the mount table: once a second is often enough,
    // since the reserve kept back is far larger than what a second of scanning writes.
    struct Cache {
        std::mutex mutex;
        QElapsedTimer age;
        QString folder;
        qint64 bytes = -1;
    };
    auto cache = std::make_shared<Cache>();
    return [cache](const QString &folder) {
        std::lock_guard lock(cache->mutex);
        if (!cache->age.isValid() || cache->age.elapsed() > 1000 || cache->folder != folder) {
            cache->bytes = availableBytes(folder);
            cache->folder = folder;
            cache->age.start();
        }
        return cache->bytes;
    };
}

} // namespace scanfolder
