#include "servicecontext.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>

namespace tavrona {

using json = nlohmann::json;

qint64 ServiceContext::now() const {
    return options.now ? options.now() : QDateTime::currentSecsSinceEpoch();
}

QString ServiceContext::cacheDir(const QString &scanId) const {
    return options.dataDir + QStringLiteral("/cache/") + scanId;
}

QString ServiceContext::hashSecret(const QString &secret) {
    return QString::fromLatin1(
        QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString ServiceContext::randomHex(int bytes) {
    QByteArray data(bytes, Qt::Uninitialized);
    for (char &byte : data)
        byte = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(data.toHex());
}

std::optional<User> ServiceContext::authenticate(const HttpRequest &request, HttpReply *failure) {
    const QByteArray token = request.header("x-api-token");
    if (token.isEmpty()) {
        *failure = HttpReply::error(401, QStringLiteral("missing X-Api-token"));
        return std::nullopt;
    }
    const auto userId = db.userForToken(hashSecret(QString::fromLatin1(token)));
    const auto user = userId ? db.userById(*userId) : std::nullopt;
    if (!user) {
        *failure = HttpReply::error(401, QStringLiteral("unknown or revoked token"));
        return std::nullopt;
    }
    return user;
}

std::optional<json> ServiceContext::jsonBody(const HttpRequest &request, HttpReply *failure) {
    json body = json::parse(request.body.constBegin(), request.body.constEnd(), nullptr, false);
    if (body.is_discarded()) {
        *failure = HttpReply::error(400, QStringLiteral("the request body is not valid JSON"));
        return std::nullopt;
    }
    if (!body.is_object()) {
        *failure = HttpReply::error(400, QStringLiteral("the request body must be a JSON object"));
        return std::nullopt;
    }
    return body;
}

std::optional<User> ServiceContext::ownedContainer(const HttpRequest &request,
                                                   const QString &containerId, HttpReply *failure) {
    auto user = authenticate(request, failure);
    if (!user)
        return std::nullopt;
    const auto owner =
        Storage::isContainerId(containerId) ? db.containerOwner(containerId) : std::nullopt;
    if (!owner || *owner != user->id) {
        *failure = HttpReply::error(404, QStringLiteral("unknown container"));
        return std::nullopt;
    }
    return user;
}

json userJson(const User &user) {
    return {{"user",
             {{"email", utf8(user.email)},
              {"first_name", utf8(user.firstName)},
              {"last_name", utf8(user.lastName)}}},
            {"organization", {{"name", utf8(user.organization)}}}};
}

} // namespace tavrona
