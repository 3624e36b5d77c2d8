#pragma once

#include <QByteArray>
#include <QString>

namespace tavrona {

// Container files on disk: <root>/<container id>/<container path>.
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

private:
    QString m_root;
};

QString md5Hex(const QByteArray &data);

} // namespace tavrona
