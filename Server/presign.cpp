#include "presign.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

namespace tavrona {

Presigner::Presigner(QByteArray key)
    : m_key(std::move(key)) {}

QByteArray Presigner::sign(const QByteArray &method, const QString &containerId,
                           const QString &path, qint64 expiresAt) const {
    // Control characters are refused in every signed field, so the line breaks keep the
    // fields apart: no two different requests share a message.
    const QByteArray message = method + '\n' + containerId.toUtf8() + '\n' + path.toUtf8() + '\n' +
                               QByteArray::number(expiresAt);
    return QMessageAuthenticationCode::hash(message, m_key, QCryptographicHash::Sha256).toHex();
}

Presigner::Check Presigner::verify(const QByteArray &method, const QString &containerId,
                                   const QString &path, const QString &expiresText,
                                   const QString &signature, qint64 now) const {
    bool ok = false;
    const qint64 expiresAt = expiresText.toLongLong(&ok);
    if (!ok || signature.size() != 64)
        return Check::Malformed;
    if (!constantTimeEquals(sign(method, containerId, path, expiresAt), signature.toLatin1()))
        return Check::Forged;
    if (expiresAt < now)
        return Check::Expired;
    return Check::Ok;
}

QByteArray Presigner::newKey() {
    QByteArray key(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(key.data()),
                                          key.size() / int(sizeof(quint32)));
    return key;
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= uchar(a[i]) ^ uchar(b[i]);
    return diff == 0;
}

} // namespace tavrona
