#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

// A small HTTP receiver on 127.0.0.1 that records every request and answers with scripted
// replies (200 once the script is used up), one request per connection.
class LoopbackReceiver : public QObject {
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };
    struct Reply {
        int status = 200;
        QByteArray reason = "OK";
        QList<QPair<QByteArray, QByteArray>> headers;
    };

    LoopbackReceiver() {
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    bool listen(quint16 port = 0) { return server.listen(QHostAddress::LocalHost, port); }
    quint16 port() const { return server.serverPort(); }
    void close() { server.close(); }

    QList<Request> requests;
    QList<Reply> script;
    // Records requests but never answers them.
    bool silent = false;

private:
    void accept() {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto *buffer = new QByteArray;
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, buffer] {
                delete buffer;
                socket->deleteLater();
            });
            QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                buffer->append(socket->readAll());
                parse(socket, *buffer);
            });
        }
    }

    void parse(QTcpSocket *socket, QByteArray &buffer) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        Request request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const qsizetype length = request.headers.value("content-length", "0").toLongLong();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.clear();
        requests.append(request);
        if (silent)
            return;
        const Reply reply = script.isEmpty() ? Reply() : script.takeFirst();
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason +
                            "\r\nContent-Length: 0\r\nConnection: close\r\n";
        for (const auto &header : reply.headers)
            answer += header.first + ": " + header.second + "\r\n";
        socket->write(answer + "\r\n");
        socket->disconnectFromHost();
    }

    QTcpServer server;
};

// A port on 127.0.0.1 with nobody listening.
inline quint16 unusedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
