#include "requestguard.h"

#include <QTcpSocket>

#include <memory>

namespace tavrona {

namespace {

struct StreamState {
    enum class Phase { Head, Body, Rejected } phase = Phase::Head;
    QByteArray head;
    qint64 bodyRemaining = 0;
};

QByteArray statusText(int status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Error";
    }
}

} // namespace

RequestGuard::RequestGuard(LimitFunction limit, QObject *parent)
    : QTcpServer(parent)
    , m_limit(std::move(limit)) {}

void RequestGuard::incomingConnection(qintptr socketDescriptor) {
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    // A reply goes out as a header and a body write; with Nagle's algorithm the body of a
    // tile waited for the client's delayed ACK (40 ms on loopback).
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto state = std::make_shared<StreamState>();

    auto reject = [this, socket, state](const QByteArray &method, const QByteArray &path,
                                        int status, const QByteArray &message) {
        state->phase = StreamState::Phase::Rejected;
        const QByteArray body = "{\"error\":\"" + message + "\"}";
        socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + statusText(status) +
                      "\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->readAll(); // nothing of this request reaches the HTTP server
        socket->disconnectFromHost();
        emit requestRejected(socket->peerAddress().toString(), method, path, status);
    };

    // Connected before the HTTP server's own handler, so this sees every byte first; the HTTP
    // server then reads all that is buffered, so each call peeks at exactly the new bytes.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, state, reject] {
        if (state->phase == StreamState::Phase::Rejected) {
            socket->readAll();
            return;
        }
        const QByteArray chunk = socket->peek(socket->bytesAvailable());
        qsizetype i = 0;
        while (i < chunk.size()) {
            if (state->phase == StreamState::Phase::Body) {
                const qint64 take = std::min<qint64>(state->bodyRemaining, chunk.size() - i);
                state->bodyRemaining -= take;
                i += take;
                if (state->bodyRemaining == 0)
                    state->phase = StreamState::Phase::Head;
                continue;
            }
            const qsizetype before = state->head.size();
            state->head.append(chunk.constData() + i, chunk.size() - i);
            const qsizetype end =
                state->head.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
            if (end < 0) {
                if (state->head.size() > maxHeaderBytes)
                    return reject({}, {}, 431, "request header too large");
                return;
            }
            i += end + 4 - before;
            QByteArray head = state->head.left(end);
            state->head.clear();
            while (head.startsWith("\r\n"))
                head.remove(0, 2);
            if (head.isEmpty())
                continue;
            if (end > maxHeaderBytes)
                return reject({}, {}, 431, "request header too large");

            const QList<QByteArray> lines = head.split('\n');
            const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
            const QByteArray method = requestLine.value(0);
            QByteArray path = requestLine.value(1);
            if (const qsizetype q = path.indexOf('?'); q >= 0)
                path.truncate(q);
            qint64 length = 0;
            bool expectContinue = false;
            for (qsizetype l = 1; l < lines.size(); ++l) {
                const QByteArray line = lines[l].trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon <= 0)
                    continue;
                const QByteArray name = line.left(colon).trimmed().toLower();
                const QByteArray value = line.mid(colon + 1).trimmed();
                if (name == "transfer-encoding")
                    return reject(method, path, 411, "a Content-Length is required");
                if (name == "expect" && value.toLower() == "100-continue")
                    expectContinue = true;
                if (name == "content-length") {
                    bool ok = false;
                    length = value.toLongLong(&ok);
                    if (!ok || length < 0)
                        return reject(method, path, 400, "invalid Content-Length");
                }
            }
            if (length > m_limit(method, path))
                return reject(method, path, 413, "request body too large");
            // The HTTP server does not answer this itself; without it a client waits a while
            // before sending the body anyway.
            if (expectContinue)
                socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            if (length > 0) {
                state->phase = StreamState::Phase::Body;
                state->bodyRemaining = length;
            }
        }
    });
    addPendingConnection(socket);
}

} // namespace tavrona
