#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

typedef struct zip zip_t;

namespace tavrona {

// Container files on disk: <root>/<container id>/<container path>. Files the server derives
// from a saved scan live beside the container, in <root>/<container id>.derived/<scan id>/:
// each build of a part in a folder of its own, "<part>-<build>", which appears whole (it is
// written under a staging name and renamed) and is never changed afterwards. Every read of a
// package file and every write of a derived file goes through this class.
class Storage {
public:
    explicit Storage(QString root = {});

    void setRoot(const QString &root) { m_root = root; }
    QString root() const { return m_root; }

    // Empty when path is an acceptable container path, otherwise why not.
    static QString checkPath(const QString &path);
    // Our container IDs: 32 lower-case hex digits.
    static bool isContainerId(const QString &id);

    QString filePath(const QString &containerId, const QString &path) const;
    QString containerDir(const QString &containerId) const;

    // Writes data under a temporary name and renames it into place, so a reader sees the old
    // file or the whole new one, never a part. md5 is the lower-case hex digest of data.
    bool store(const QString &containerId, const QString &path, const QByteArray &data,
               QString *md5, QString *error);

    // Opens an archive of the container for reading (zip_discard closes it).
    zip_t *openArchive(const QString &containerId, const QString &path, QString *error) const;

    // A new, empty staging folder for one build of a part; empty on failure.
    QString newStaging(const QString &containerId, const QString &scanId, int part,
                       const QString &build, QString *error) const;
    // Renames a finished staging folder into place as the part's build.
    bool publish(const QString &containerId, const QString &scanId, int part, const QString &build,
                 const QString &staging, QString *error) const;
    // A file of a published build ("dz.dzi", "dz_files/3/0_0.jpeg", "image.ome.tif").
    QString derivedFile(const QString &containerId, const QString &scanId, int part,
                        const QString &build, const QString &relativePath) const;
    // Removes every published build of the part except keepBuild (may be empty), and staging
    // folders left behind long ago by a server that stopped in the middle of a build.
    void removeBuilds(const QString &containerId, const QString &scanId, int part,
                      const QString &keepBuild) const;
    void removeBuild(const QString &containerId, const QString &scanId, int part,
                     const QString &build) const;
    // The saved scan's package as one zip ("package-<version>.zip"), made when first asked for;
    // version names the container's content, so a changed container gets a new file.
    QString packageFile(const QString &containerId, const QString &scanId,
                        const QString &version) const;
    // Writes the container's files (paths) into the package file of that version, under a
    // temporary name renamed into place, and removes the packages of other versions.
    bool writePackage(const QString &containerId, const QString &scanId, const QString &version,
                      const QStringList &paths, QString *error) const;

private:
    QString derivedDir(const QString &containerId, const QString &scanId) const;

    QString m_root;
};

QString md5Hex(const QByteArray &data);

} // namespace tavrona
