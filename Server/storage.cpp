#include "storage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

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

QString md5Hex(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

} // namespace tavrona
