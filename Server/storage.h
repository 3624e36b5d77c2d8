#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

typedef struct zip zip_t;

namespace tavrona {

class ObjectStore;
struct StoredObject;

// Container files in the service's object store, under "containers/<container id>/<container
// path>": in the data folder that is <data>/containers/<id>/<path>, in a bucket the same key
// under the store's prefix. Files the server derives from a saved scan live beside the
// container, under "containers/<container id>.derived/<scan id>/": each build of a part under
// a name of its own, "<part>-<build>", which appears whole and is never changed afterwards (a
// folder is written under a staging name and renamed; a bucket gets the build's files before
// the database names the build). Every read of a package file and every write of a derived
// file goes through this class.
class Storage {
public:
    Storage() = default;

    void setStore(ObjectStore *store) { m_store = store; }
    ObjectStore *store() const { return m_store; }
    // The store is not this machine's folder (a bucket): uploads go to it, not through us.
    bool remote() const;
    // A folder store of its own at dataRoot, with containers in dataRoot/containers (tests,
    // benchmarks and tools).
    void useFolder(const QString &dataRoot);
    // A folder of this machine for staging builds and keeping copies of a remote store's
    // derived files (builds never change, so a copy never goes stale).
    void setScratch(const QString &folder) { m_scratch = folder; }

    // Empty when path is an acceptable container path, otherwise why not.
    static QString checkPath(const QString &path);
    // Our container IDs: 32 lower-case hex digits.
    static bool isContainerId(const QString &id);
    static QString containerPrefix(const QString &containerId);
    static QString key(const QString &containerId, const QString &path);

    // The whole file is replaced at once, so a reader sees the old file or the whole new one,
    // never a part. md5 is the lower-case hex digest of data.
    bool store(const QString &containerId, const QString &path, const QByteArray &data,
               QString *md5, QString *error);
    // A file of the container; nullopt with *error (and *missing when it is not there), or
    // when it is larger than maxBytes.
    std::optional<QByteArray> read(const QString &containerId, const QString &path, qint64 maxBytes,
                                   QString *error, bool *missing = nullptr) const;
    // The container's files, keys as container paths.
    std::optional<QList<StoredObject>> files(const QString &containerId, QString *error) const;
    // Opens an archive of the container for reading (zip_discard closes it).
    // knownSize: the archive's size from a listing, or -1.
    zip_t *openArchive(const QString &containerId, const QString &path, QString *error,
                       qint64 knownSize = -1) const;

    // The local file of a container path, and the container's folder, when the store is a
    // folder; empty otherwise.
    QString filePath(const QString &containerId, const QString &path) const;
    QString containerDir(const QString &containerId) const;

    // A new, empty staging folder for one build of a part; empty on failure.
    QString newStaging(const QString &containerId, const QString &scanId, int part,
                       const QString &build, QString *error) const;
    // Puts a finished staging folder into place as the part's build.
    bool publish(const QString &containerId, const QString &scanId, int part, const QString &build,
                 const QString &staging, QString *error) const;
    // A local file of a published build ("dz.zip", "image.ome.tif"); from a remote store it is
    // fetched on first use. Empty when it cannot be had.
    QString derivedFile(const QString &containerId, const QString &scanId, int part,
                        const QString &build, const QString &relativePath) const;
    // Removes every published build of the part except keepBuild (may be empty), and staging
    // folders left behind long ago by a server that stopped in the middle of a build.
    void removeBuilds(const QString &containerId, const QString &scanId, int part,
                      const QString &keepBuild) const;
    void removeBuild(const QString &containerId, const QString &scanId, int part,
                     const QString &build) const;
    // The saved scan's package as one zip ("package-<version>.zip"), made when first asked for;
    // version names the container's content, so a changed container gets a new file. It is a
    // local file: beside the derived files of a folder store, in the scratch folder with a
    // bucket (each server packs its own copy from the bucket).
    QString packageFile(const QString &containerId, const QString &scanId,
                        const QString &version) const;
    // Writes the container's files (paths) into the package file of that version, under a
    // temporary name renamed into place, and removes the packages of other versions.
    bool writePackage(const QString &containerId, const QString &scanId, const QString &version,
                      const QStringList &paths, QString *error) const;

private:
    static QString derivedPrefix(const QString &containerId, const QString &scanId);
    // Where staging folders and fetched copies go: beside the containers for a folder store,
    // in the scratch folder otherwise.
    QString localDerivedDir(const QString &containerId, const QString &scanId) const;

    ObjectStore *m_store = nullptr;
    std::shared_ptr<ObjectStore> m_owned; // useFolder()'s
    QString m_scratch;
};

QString md5Hex(const QByteArray &data);

} // namespace tavrona
