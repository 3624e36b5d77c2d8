#pragma once

#include "database.h"
#include "http.h"
#include "objectstore.h"
#include "presign.h"
#include "serveroptions.h"
#include "storage.h"

#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

namespace tavrona {

class JobPool;

// What every group of handlers shares: the options, the records, the container files, the
// URL signer, and the checks most requests start with. Single-threaded, like the server.
struct ServiceContext {
    explicit ServiceContext(ServerOptions serverOptions)
        : options(std::move(serverOptions)) {}

    ServerOptions options;
    Database db;
    std::unique_ptr<ObjectStore> store; // the folder or the bucket
    Storage storage;                    // the containers in it
    std::unique_ptr<Presigner> presigner;
    JobPool *jobs = nullptr; // makes saved parts into pyramids, off this thread

    qint64 now() const;
    QString cacheDir(const QString &scanId) const;

    // The user of the request's X-Api-token, or nullopt with the 401 in failure.
    std::optional<User> authenticate(const HttpRequest &request, HttpReply *failure);
    // The request body as a JSON object, or nullopt with the 400 in failure.
    std::optional<nlohmann::json> jsonBody(const HttpRequest &request, HttpReply *failure);
    // The request's user when the container is theirs; someone else's container looks exactly
    // like one that does not exist (404).
    std::optional<User> ownedContainer(const HttpRequest &request, const QString &containerId,
                                       HttpReply *failure);

    static QString hashSecret(const QString &secret);
    static QString randomHex(int bytes);
    static QString demoEmail() { return QStringLiteral("demo@tavrona.local"); }
};

nlohmann::json userJson(const User &user);

} // namespace tavrona
