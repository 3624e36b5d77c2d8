#pragma once

#include <QByteArray>
#include <QString>

namespace tavrona {

// Signs storage requests so that the storage endpoint needs no API token: whoever holds a URL
// may send exactly that method to exactly that container path until it expires.
class Presigner {
public:
    enum class Check { Ok, Malformed, Forged, Expired };

    explicit Presigner(QByteArray key);

    // Lower-case hex HMAC-SHA256 over method, container, path and expiry (seconds since epoch).
    QByteArray sign(const QByteArray &method, const QString &containerId, const QString &path,
                    qint64 expiresAt) const;

    Check verify(const QByteArray &method, const QString &containerId, const QString &path,
                 const QString &expiresText, const QString &signature, qint64 now) const;

    static QByteArray newKey();

private:
    QByteArray m_key;
};

// Compares without an early exit, so timing does not tell how much of a guess was right.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

} // namespace tavrona
