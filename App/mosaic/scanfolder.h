#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <functional>

// A scan's files live in a folder of their own, named by the scan's container, under the
// program's data location; its journal (ScanJournal) lives there too. These helpers write the
// folder's files so that a file either exists whole under its name or not at all: a file is
// written under a temporary name beside its place, flushed to the system (and, where asked,
// synced to the disk), and only then renamed to its name.
namespace scanfolder {

// The suffix of a file being written; such a file is never read, archived or uploaded.
inline const QString partialSuffix = QStringLiteral(".part");

// Writes data to path through path + ".part" and a rename, replacing what was there. With
// `sync`, the data reaches the disk before the rename (for the few files whose loss after a
// power cut would cost more than the time: archives, photos, descriptors). On failure nothing
// is left under either name and `error` says why.
bool writeAtomically(const QString &path, QByteArrayView data, bool sync, QString *error = nullptr);

// Syncs a file's data to the disk (after another writer, e.g. the archive library, wrote it).
bool syncToDisk(const QString &path, QString *error = nullptr);

// Lower-case hexadecimal MD5 of data, or of a whole file (empty when it cannot be read).
QString md5Hex(QByteArrayView data);
QString fileMd5Hex(const QString &path);

// The folders under root that hold a scan journal, oldest name first; folders being removed
// are not among them.
QStringList scanFolders(const QString &root);

// The suffix a scan folder is renamed to before its files are deleted.
inline const QString removedSuffix = QStringLiteral(".removed");

// Removes a scan folder: renamed first, in one step, so that a removal cut short (the program
// killed in the middle of it) never leaves a folder that looks like a scan with files missing.
bool removeFolder(const QString &folder);

// Deletes what removals cut short left under root.
void removeUnfinishedRemovals(const QString &root);

// Bytes the current user may still write on the file system holding path; -1 when unknown.
qint64 availableBytes(const QString &path);

// How a builder learns the free space of its folder: the file system's by default, replaceable
// so that a full disk can be shown without filling one.
using FreeSpaceProbe = std::function<qint64(const QString &folder)>;
FreeSpaceProbe fileSystemProbe();

} // namespace scanfolder
