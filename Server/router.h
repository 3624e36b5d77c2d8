#pragma once

#include "http.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

namespace tavrona {

// A path pattern of the route table. Literal text matches itself; "{name}" matches one or more
// characters of one segment and can sit between literal text ("{col}_{row}.jpeg"); "{name*}"
// as the last segment matches the rest of the path, slashes included. Matching runs on the
// path as sent (percent-encoded), so an encoded "/" never splits a segment; the captured
// parameters are decoded.
class PathPattern {
public:
    explicit PathPattern(const QString &pattern);

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString text() const { return m_text; }
    bool match(const QByteArray &rawPath, QHash<QString, QString> *params) const;

private:
    QString m_text;
    QString m_error;
    QRegularExpression m_regex;
    QStringList m_names;
};

// What a route takes as its body; the server maps each kind to its size limit.
enum class Body { None, Form, Json, Upload, UploadForm, Envelope };

// Who may call a route: anyone who reaches the service, or only this machine (loopback).
enum class Access { Anyone, ThisMachine };

using Handler = std::function<HttpReply(const HttpRequest &)>;

struct Route {
    QByteArray method;
    PathPattern pattern;
    Body body = Body::None;
    Access access = Access::Anyone;
    Handler handler;
};

// The service's routes as one table: method, path pattern, body kind, handler. The first route
// whose method and pattern match takes the request.
class Router {
public:
    // A bad pattern is our own mistake: it stops the program at the first start (and in every
    // test), never at a request.
    const Route &add(const QByteArray &method, const QString &pattern, Body body, Handler handler,
                     Access access = Access::Anyone);

    template <class T>
    const Route &add(const QByteArray &method, const QString &pattern, Body body, T *object,
                     HttpReply (T::*handler)(const HttpRequest &), Access access = Access::Anyone) {
        return add(
            method, pattern, body,
            [object, handler](const HttpRequest &request) { return (object->*handler)(request); },
            access);
    }

    struct Match {
        const Route *route = nullptr; // set when both the method and the path match
        QHash<QString, QString> params;
        QByteArrayList allowed; // without a route: the methods the path takes (empty: unknown)
    };
    Match match(const QByteArray &method, const QByteArray &rawPath) const;

    const std::deque<Route> &routes() const { return m_routes; }

private:
    std::deque<Route> m_routes; // stable addresses: matches point into it
};

} // namespace tavrona
