#pragma once

// A scripted HTTP/1.1 server on 127.0.0.1 for the service client's tests: it records every
// request it receives and answers each one with what the test scripted for its method and path.
// One request per connection ("Connection: close"), which keeps the parser small.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

struct RecordedRequest {
    QByteArray method;
    QByteArray path; // request target as sent, query included
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    qint64 receivedMs = 0; // since the server started

    // HTTP header names are case-insensitive.
    bool hasHeader(const QByteArray &name) const {
        for (const auto &[key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return true;
        return false;
    }
    QByteArray header(const QByteArray &name) const {
        for (const auto &[key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
};

struct ScriptedReply {
    int status = 200;
    QByteArray contentType; // empty: no Content-Type header
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    int delayMs = 0; // answer this much later

    static ScriptedReply json(const QByteArray &body, int status = 200) {
        return {status, "application/json", body, {}};
    }
    static ScriptedReply code(int status) { return {status, "application/json", "{}", {}}; }
};

class LoopbackServer {
public:
    LoopbackServer() {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] { accept(); });
    }

    bool start() {
        clock.start();
        return server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server.serverPort(); }
    QUrl url(const QString &path = QStringLiteral("/")) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
    }

    // Answers requests for method and path with the replies in turn; the last one repeats.
    void script(const QByteArray &method, const QByteArray &path, QList<ScriptedReply> replies) {
        scripts[method + ' ' + path] = std::move(replies);
    }
    // Requests that match no script get this (by default 404).
    ScriptedReply fallback = ScriptedReply::code(404);
    // Requests for which this says so are answered 503, as by a service that is down behind its
    // front end. (A cut connection would not do: the network layer sends the request again by
    // itself.)
    std::function<bool(const RecordedRequest &)> down;
    // Called for every request before it is answered; may change the script.
    std::function<void(const RecordedRequest &)> onRequest;
    // When set and it returns a reply, that reply wins over the script (e.g. to answer by body).
    std::function<std::optional<ScriptedReply>(const RecordedRequest &)> responder;

    const QList<RecordedRequest> &requests() const { return recorded; }
    QList<RecordedRequest> requestsTo(const QByteArray &path) const {
        QList<RecordedRequest> result;
        for (const RecordedRequest &request : recorded)
            if (request.path == path)
                result.append(request);
        return result;
    }
    int count(const QByteArray &path) const { return int(requestsTo(path).size()); }
    void forget() { recorded.clear(); }

    // A port on which nothing listens, for "connection refused".
    static quint16 closedPort() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        return port;
    }

private:
    void accept() {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                RecordedRequest request;
                if (parse(*buffer, request)) {
                    buffer->clear();
                    answer(socket, request);
                }
            });
        }
    }

    // True once the whole request (headers and Content-Length body) is in the buffer.
    static bool parse(const QByteArray &buffer, RecordedRequest &request) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return false;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() < 2)
            return false;
        request.method = requestLine[0];
        request.path = requestLine[1];
        qsizetype length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                length = value.toLongLong();
        }
        if (buffer.size() < headerEnd + 4 + length)
            return false;
        request.body = buffer.mid(headerEnd + 4, length);
        return true;
    }

    void answer(QTcpSocket *socket, RecordedRequest request) {
        request.receivedMs = clock.elapsed();
        recorded.append(request);
        if (onRequest)
            onRequest(request);
        ScriptedReply reply = fallback;
        auto it = scripts.find(request.method + ' ' + request.path);
        if (it != scripts.end() && !it->isEmpty())
            reply = it->size() > 1 ? it->takeFirst() : it->first();
        if (responder) {
            if (std::optional<ScriptedReply> chosen = responder(request))
                reply = *chosen;
        }
        if (down && down(request))
            reply = ScriptedReply::code(503);

        QByteArray response = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n";
        if (!reply.contentType.isEmpty())
            response += "Content-Type: " + reply.contentType + "\r\n";
        for (const auto &[name, value] : reply.headers)
            response += name + ": " + value + "\r\n";
        response += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
        response += "Connection: close\r\n\r\n" + reply.body;
        QTimer::singleShot(reply.delayMs, socket, [socket, response] {
            socket->write(response);
            socket->disconnectFromHost();
        });
    }

    QTcpServer server;
    QElapsedTimer clock;
    QHash<QByteArray, QList<ScriptedReply>> scripts;
    QList<RecordedRequest> recorded;
};
