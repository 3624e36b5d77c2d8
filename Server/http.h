#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <nlohmann/json.hpp>

namespace tavrona {

struct HttpReply {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    static HttpReply json(const nlohmann::json &value, int status = 200);
    static HttpReply error(int status, const QString &message,
                           const nlohmann::json &details = nullptr);
    static HttpReply html(const QString &page, int status = 200);
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
