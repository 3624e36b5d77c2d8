#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace tavrona {

class PendingReply;

// A byte range of a file sent as the body, streamed as the client takes it.
struct FileBody {
    QString path;
    qint64 offset = 0;
    qint64 length = 0;
};

struct HttpReply {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    std::optional<FileBody> file;          // instead of body
    std::shared_ptr<PendingReply> pending; // the answer comes later (see PendingReply)

    static HttpReply json(const nlohmann::json &value, int status = 200);
    static HttpReply error(int status, const QString &message,
                           const nlohmann::json &details = nullptr);
    static HttpReply html(const QString &page, int status = 200);
    // The handler answers later: it keeps pending and finishes it when its work is done.
    static HttpReply later(std::shared_ptr<PendingReply> pending);
};

// The answer to a request whose work runs elsewhere (a worker thread): the request thread goes
// on serving other clients meanwhile. finish() may be called from any thread, once; the reply
// is written by the server's thread, and dropped when the client has gone.
class PendingReply {
public:
    void finish(HttpReply reply);
    // The server's side: called once, with what writes the reply in the server's thread.
    void deliverTo(std::function<void(HttpReply)> deliver);

private:
    std::mutex m_mutex;
    std::function<void(HttpReply)> m_deliver;
    std::optional<HttpReply> m_early;
};

struct HttpRequest {
    QByteArray method;
    QByteArray rawPath; // as sent, percent-encoded, without the query
    QString path;       // decoded
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;
    QString peer;
    QString baseUrl; // "http://host:port/" as the client reached us
    // The parameters of the route's path pattern, decoded ("{id}" → params["id"]).
    QHash<QString, QString> params;

    QByteArray header(const QByteArray &lowerName) const;
    QString param(const QString &name) const { return params.value(name); }
};

// Small helpers every handler uses.
inline std::string utf8(const QString &text) {
    return text.toStdString();
}
inline QString fromJson(const nlohmann::json &value) {
    return QString::fromStdString(value.get<std::string>());
}
bool hasControlCharacters(const QString &text);

} // namespace tavrona
