#pragma once

#include <QTcpServer>

#include <functional>

namespace tavrona {

// The HTTP server reads a whole request body into memory before any handler sees it. This
// listener watches each connection's byte stream ahead of it and turns away a request whose
// declared body is over the limit for its path (413), whose header is too large (431) or whose
// length is not declared (411), before the body is taken in.
class RequestGuard : public QTcpServer {
    Q_OBJECT
public:
    using LimitFunction = std::function<qint64(const QByteArray &method, const QByteArray &path)>;

    explicit RequestGuard(LimitFunction limit, QObject *parent = nullptr);

    static constexpr int maxHeaderBytes = 64 * 1024;

signals:
    void requestRejected(const QString &peer, const QByteArray &method, const QByteArray &path,
                         int status);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    LimitFunction m_limit;
};

} // namespace tavrona
