#include "tavronaserver.h"

#include "envelope.h"
#include "multipart.h"
#include "pages.h"
#include "requestguard.h"
#include "scancomposer.h"
#include "scandescriptor.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTcpSocket>

namespace tavrona {

using json = nlohmann::json;

namespace {

std::string utf8(const QString &text) {
    return text.toStdString();
}

QString fromJson(const json &value) {
    return QString::fromStdString(value.get<std::string>());
}

bool hasControlCharacters(const QString &text) {
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

// JSON objects from the reply of one kind of request.
const qint64 maxDescriptorBytes = qint64(16) << 20;
const int maxPresignFiles = 100;
const int maxMissingListed = 20;

} // namespace

HttpReply HttpReply::json(const nlohmann::json &value, int status) {
    HttpReply reply;
    reply.status = status;
    reply.body = QByteArray::fromStdString(
        value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    return reply;
}

HttpReply HttpReply::error(int status, const QString &message, const nlohmann::json &details) {
    nlohmann::json body = {{"error", utf8(message)}};
    if (details.is_object())
        body.update(details);
    return json(body, status);
}

HttpReply HttpReply::html(const QString &page, int status) {
    HttpReply reply;
    reply.status = status;
    reply.contentType = "text/html; charset=utf-8";
    reply.body = page.toUtf8();
    return reply;
}

QByteArray HttpRequest::header(const QByteArray &lowerName) const {
    for (const auto &[name, value] : headers)
        if (name == lowerName)
            return value;
    return {};
}

json userJson(const User &user) {
    return {{"user",
             {{"email", utf8(user.email)},
              {"first_name", utf8(user.firstName)},
              {"last_name", utf8(user.lastName)}}},
            {"organization", {{"name", utf8(user.organization)}}}};
}

TavronaServer::TavronaServer(ServerOptions options, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_options(std::move(options)) {}

TavronaServer::~TavronaServer() = default;

qint64 TavronaServer::now() const {
    return m_options.now ? m_options.now() : QDateTime::currentSecsSinceEpoch();
}

QString TavronaServer::hashSecret(const QString &secret) {
    return QString::fromLatin1(
        QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString TavronaServer::randomHex(int bytes) {
    QByteArray data(bytes, Qt::Uninitialized);
    for (char &byte : data)
        byte = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(data.toHex());
}

QString TavronaServer::baseUrl() const {
    const QString host =
        m_options.address == QHostAddress::AnyIPv4 || m_options.address == QHostAddress::Any
            ? QStringLiteral("127.0.0.1")
            : m_options.address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(m_port);
}

bool TavronaServer::start(QString *error) {
    const QString root = m_options.dataDir;
    if (root.isEmpty() || !QDir().mkpath(root)) {
        *error = QStringLiteral("Cannot create the data folder \"%1\"").arg(root);
        return false;
    }
    QFile::setPermissions(root,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    for (const char *sub : {"containers", "cache", "crash-reports"})
        QDir(root).mkpath(QLatin1String(sub));
    m_storage.setRoot(root + QStringLiteral("/containers"));

    QString dbError;
    if (!m_db.open(root + QStringLiteral("/tavrona.sqlite"), &dbError)) {
        *error = QStringLiteral("Cannot open the database: %1").arg(dbError);
        return false;
    }
    QByteArray key = QByteArray::fromHex(m_db.meta(QStringLiteral("signing_key")).toLatin1());
    if (key.size() < 32) {
        key = Presigner::newKey();
        if (!m_db.setMeta(QStringLiteral("signing_key"), QString::fromLatin1(key.toHex()))) {
            *error = QStringLiteral("Cannot store the signing key: %1").arg(m_db.lastError());
            return false;
        }
    }
    m_presigner = std::make_unique<Presigner>(key);

    if (!m_db.userByEmail(demoEmail())) {
        User demo;
        demo.email = demoEmail();
        demo.firstName = QStringLiteral("Demo");
        demo.lastName = QStringLiteral("User");
        demo.organization = QStringLiteral("Tavrona Demo Lab");
        if (!m_db.createUser(demo)) {
            *error = QStringLiteral("Cannot create the demo account: %1").arg(m_db.lastError());
            return false;
        }
    }
    m_db.removeExpiredActivations(now());

    m_guard = new RequestGuard([this](const QByteArray &method,
                                      const QByteArray &path) { return bodyLimit(method, path); },
                               this);
    connect(m_guard, &RequestGuard::requestRejected, this,
            [](const QString &peer, const QByteArray &method, const QByteArray &path, int status) {
                qInfo().noquote() << peer
                                  << QStringLiteral("\"%1 %2\"")
                                         .arg(QString::fromLatin1(method), QString::fromUtf8(path))
                                  << status << "refused before reading the body";
            });
    if (!m_guard->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("Cannot listen on %1 port %2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(m_guard->errorString());
        return false;
    }
    m_port = m_guard->serverPort();
    bind(m_guard);
    return true;
}

qint64 TavronaServer::bodyLimit(const QByteArray &method, const QByteArray &path) const {
    if (path.startsWith("/storage/"))
        return m_options.maxUploadBytes + 64 * 1024; // room for the form fields
    if (path.startsWith("/api/") && path.contains("/envelope"))
        return m_options.maxEnvelopeBytes;
    if (path.startsWith("/api/"))
        return m_options.maxApiBodyBytes;
    if (method == "POST" && path.startsWith("/activate/"))
        return 16 * 1024;
    return 0;
}

bool TavronaServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
    QElapsedTimer timer;
    timer.start();

    HttpRequest req;
    switch (request.method()) {
    case QHttpServerRequest::Method::Get:
        req.method = "GET";
        break;
    case QHttpServerRequest::Method::Head:
        req.method = "HEAD";
        break;
    case QHttpServerRequest::Method::Post:
        req.method = "POST";
        break;
    case QHttpServerRequest::Method::Put:
        req.method = "PUT";
        break;
    case QHttpServerRequest::Method::Delete:
        req.method = "DELETE";
        break;
    default:
        req.method = "OTHER";
        break;
    }
    req.path = request.url().path(QUrl::FullyDecoded);
    req.query = QUrlQuery(request.url());
    for (const auto &[name, value] : request.headers())
        req.headers.append({name.toLower(), value});
    req.body = request.body();
    req.peer = request.remoteAddress().toString();

    // Links we hand out use the host the client used to reach us, when it is a plain host.
    static const QRegularExpression plainHost(
        QStringLiteral("^[A-Za-z0-9.\\-]+(:[0-9]{1,5})?$|"
                       "^\\[[0-9A-Fa-f:.]+\\](:[0-9]{1,5})?$"));
    const QString host = QString::fromLatin1(req.header("host"));
    req.baseUrl =
        plainHost.match(host).hasMatch() ? QStringLiteral("http://%1/").arg(host) : baseUrl();

    HttpReply reply;
    try {
        reply = dispatch(req);
    } catch (const std::exception &e) {
        qWarning().noquote() << "Request failed:" << e.what();
        reply = HttpReply::error(500, QStringLiteral("internal error"));
    }

    QHttpServerResponse response(reply.contentType, reply.body,
                                 QHttpServerResponse::StatusCode(reply.status));
    for (const auto &[name, value] : reply.headers)
        response.addHeader(name, value);
    response.write(makeResponder(request, socket));

    // One line per request; the query is left out since it may hold a signature.
    qInfo().noquote() << req.peer
                      << QStringLiteral("\"%1 %2\"")
                             .arg(QString::fromLatin1(req.method),
                                  request.url().path(QUrl::FullyEncoded))
                      << reply.status << reply.body.size()
                      << QStringLiteral("%1ms").arg(timer.elapsed());
    return true;
}

void TavronaServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
    QHttpServerResponse response("application/json", "{\"error\":\"not found\"}",
                                 QHttpServerResponse::StatusCode::NotFound);
    response.write(makeResponder(request, socket));
}

HttpReply TavronaServer::dispatch(const HttpRequest &request) {
    const QStringList parts = request.path.mid(1).split(QLatin1Char('/'));
    const QByteArray &method = request.method;
    auto allow = [](const QByteArray &methods) {
        HttpReply reply = HttpReply::error(405, QStringLiteral("method not allowed"));
        reply.headers.append({"Allow", methods});
        return reply;
    };
    auto only = [&](const QByteArray &expected, auto handler) -> HttpReply {
        return method == expected ? handler() : allow(expected);
    };

    if (request.path == QLatin1String("/"))
        return only("GET", [&] { return HttpReply::html(pages::index(request.baseUrl)); });

    if (parts.value(0) == QLatin1String("api")) {
        const QString p = request.path;
        if (p == QLatin1String("/api/mireva/token"))
            return only("POST", [&] { return startLogIn(request); });
        if (p == QLatin1String("/api/token/activate"))
            return only("POST", [&] { return pollActivation(request); });
        if (p == QLatin1String("/api/token/revoke"))
            return only("POST", [&] { return revokeToken(request); });
        if (p == QLatin1String("/api/mireva/info"))
            return only("GET", [&] { return userInfo(request); });
        if (p == QLatin1String("/api/mireva/container/new"))
            return only("POST", [&] { return newContainer(request); });
        if (parts.size() == 5 && parts[1] == QLatin1String("mireva") &&
            parts[2] == QLatin1String("container")) {
            if (parts[4] == QLatin1String("presign_upload"))
                return only("POST", [&] { return presignUpload(request, parts[3]); });
            if (parts[4] == QLatin1String("save"))
                return only("POST", [&] { return saveScan(request, parts[3]); });
        }
        if ((parts.size() == 3 || (parts.size() == 4 && parts[3].isEmpty())) &&
            parts[2] == QLatin1String("envelope"))
            return only("POST", [&] { return crashEnvelope(request, parts[1]); });
        return HttpReply::error(404, QStringLiteral("no such endpoint"));
    }

    if (parts.value(0) == QLatin1String("storage") && parts.size() >= 2) {
        if (parts.size() == 2)
            return only("POST", [&] { return storagePost(request, parts[1]); });
        const QString path = parts.mid(2).join(QLatin1Char('/'));
        return only("PUT", [&] { return storagePut(request, parts[1], path); });
    }

    if (parts.value(0) == QLatin1String("activate") && parts.size() == 2) {
        if (method != "GET" && method != "POST")
            return allow("GET, POST");
        return activationPage(request, parts[1]);
    }

    if (parts.value(0) == QLatin1String("scans")) {
        if (parts.size() == 2)
            return only("GET", [&] { return scanPage(parts[1]); });
        if (parts.size() == 4 && parts[2] == QLatin1String("images"))
            return only("GET", [&] { return scanImage(parts[1], parts[3]); });
    }

    if (parts.value(0) == QLatin1String("crash-reports")) {
        // Reports carry users' e-mail addresses and logs: only this machine may read them,
        // also when the service listens on the network.
        if (!QHostAddress(request.peer).isLoopback())
            return HttpReply::html(pages::message(QStringLiteral("Forbidden"),
                                                  QStringLiteral("Crash reports can only be read "
                                                                 "on the service's own machine.")),
                                   403);
        if (parts.size() == 1)
            return only("GET", [&] { return crashReportList(); });
        if (parts.size() == 2)
            return only("GET", [&] { return crashReportFile(parts[1]); });
    }
    if (method == "GET")
        return HttpReply::html(pages::message(QStringLiteral("Not found"),
                                              QStringLiteral("There is nothing at this address.")),
                               404);
    return HttpReply::error(404, QStringLiteral("not found"));
}

std::optional<User> TavronaServer::authenticate(const HttpRequest &request, HttpReply *failure) {
    const QByteArray token = request.header("x-api-token");
    if (token.isEmpty()) {
        *failure = HttpReply::error(401, QStringLiteral("missing X-Api-token"));
        return std::nullopt;
    }
    const auto userId = m_db.userForToken(hashSecret(QString::fromLatin1(token)));
    const auto user = userId ? m_db.userById(*userId) : std::nullopt;
    if (!user) {
        *failure = HttpReply::error(401, QStringLiteral("unknown or revoked token"));
        return std::nullopt;
    }
    return user;
}

std::optional<json> TavronaServer::jsonBody(const HttpRequest &request, HttpReply *failure) {
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

std::optional<User> TavronaServer::ownedContainer(const HttpRequest &request,
                                                  const QString &containerId, HttpReply *failure) {
    auto user = authenticate(request, failure);
    if (!user)
        return std::nullopt;
    // Someone else's container looks exactly like one that does not exist.
    const auto owner =
        Storage::isContainerId(containerId) ? m_db.containerOwner(containerId) : std::nullopt;
    if (!owner || *owner != user->id) {
        *failure = HttpReply::error(404, QStringLiteral("unknown container"));
        return std::nullopt;
    }
    return user;
}

// --- log-in --------------------------------------------------------------------------------

HttpReply TavronaServer::startLogIn(const HttpRequest &request) {
    const QString code = randomHex(16);
    const qint64 t = now();
    if (!m_db.addActivation(hashSecret(code), t, t + m_options.activationExpirySecs))
        return HttpReply::error(500, QStringLiteral("cannot start the log-in"));
    return HttpReply::json({{"authorization_url", utf8(request.baseUrl + "activate/" + code)},
                            {"activation_code", utf8(code)},
                            {"expires_in", m_options.activationExpirySecs}});
}

HttpReply TavronaServer::pollActivation(const HttpRequest &request) {
    HttpReply failure;
    const auto body = jsonBody(request, &failure);
    if (!body)
        return failure;
    const auto code = body->find("activation_code");
    if (code == body->end() || !code->is_string() || code->get<std::string>().empty())
        return HttpReply::error(400, QStringLiteral("\"activation_code\" (string) is required"));
    const QString hash = hashSecret(fromJson(*code));
    auto activation = m_db.activation(hash);
    if (!activation)
        return HttpReply::error(404, QStringLiteral("unknown or already used activation code"));
    if (activation->expiresAt < now())
        return HttpReply::error(410, QStringLiteral("the activation code has expired"));

    if (!activation->confirmedUserId) {
        const bool firstPoll = activation->polls == 0;
        m_db.countPoll(hash);
        if (m_options.autoConfirm && firstPoll) {
            if (const auto demo = m_db.userByEmail(demoEmail()))
                m_db.confirmActivation(hash, demo->id);
        }
        return HttpReply::error(401, QStringLiteral("the log-in has not been confirmed yet"));
    }

    const auto user = m_db.userById(*activation->confirmedUserId);
    if (!user)
        return HttpReply::error(404, QStringLiteral("the confirming account no longer exists"));
    const QString token = randomHex(32);
    if (!m_db.addToken(hashSecret(token), user->id, now()))
        return HttpReply::error(500, QStringLiteral("cannot issue a token"));
    // One confirmation yields one token.
    m_db.removeActivation(hash);
    json reply = userJson(*user);
    reply["auth_token"] = utf8(token);
    if (m_options.activationWithoutUser)
        reply.erase("user");
    return HttpReply::json(reply);
}

HttpReply TavronaServer::revokeToken(const HttpRequest &request) {
    HttpReply failure;
    if (!authenticate(request, &failure))
        return failure;
    m_db.removeToken(hashSecret(QString::fromLatin1(request.header("x-api-token"))));
    return HttpReply::json({{"revoked", true}});
}

HttpReply TavronaServer::userInfo(const HttpRequest &request) {
    HttpReply failure;
    const auto user = authenticate(request, &failure);
    if (!user)
        return failure;
    return HttpReply::json(userJson(*user));
}

HttpReply TavronaServer::activationPage(const HttpRequest &request, const QString &code) {
    const QString hash = hashSecret(code);
    const auto activation = m_db.activation(hash);
    if (!activation)
        return HttpReply::html(
            pages::message(QStringLiteral("Unknown log-in request"),
                           QStringLiteral("This log-in request does not exist or has been used. "
                                          "Start the log-in again from the program.")),
            404);
    if (activation->expiresAt < now())
        return HttpReply::html(
            pages::message(QStringLiteral("Log-in request expired"),
                           QStringLiteral("This log-in request has expired. Start the log-in "
                                          "again from the program.")),
            410);
    if (activation->confirmedUserId) {
        const auto user = m_db.userById(*activation->confirmedUserId);
        return HttpReply::html(user ? pages::activationConfirmed(*user)
                                    : pages::message(QStringLiteral("Log-in confirmed"),
                                                     QStringLiteral("Already confirmed.")));
    }
    User suggested = m_db.userByEmail(demoEmail()).value_or(User{});
    if (request.method == "GET")
        return HttpReply::html(pages::activation(code, suggested));

    const QUrlQuery form(
        QString::fromUtf8(request.body).replace(QLatin1Char('+'), QLatin1Char(' ')));
    auto field = [&](const char *name) {
        return form.queryItemValue(QLatin1String(name), QUrl::FullyDecoded).trimmed();
    };
    User entered;
    entered.email = field("email").toLower();
    entered.firstName = field("first_name");
    entered.lastName = field("last_name");
    entered.organization = field("organization");
    static const QRegularExpression emailPattern(QStringLiteral("^[^@\\s]+@[^@\\s]+$"));
    const bool valid =
        emailPattern.match(entered.email).hasMatch() && entered.email.size() <= 254 &&
        entered.firstName.size() <= 100 && entered.lastName.size() <= 100 &&
        entered.organization.size() <= 200 &&
        !hasControlCharacters(entered.firstName + entered.lastName + entered.organization);
    if (!valid)
        return HttpReply::html(pages::activation(code, entered,
                                                 QStringLiteral("Please give a valid e-mail "
                                                                "address and short names.")),
                               400);
    auto user = m_db.userByEmail(entered.email);
    if (!user) {
        if (entered.firstName.isEmpty())
            entered.firstName = entered.email.section(QLatin1Char('@'), 0, 0);
        user = m_db.createUser(entered);
        if (!user)
            return HttpReply::html(pages::message(QStringLiteral("Error"),
                                                  QStringLiteral("Cannot create the account.")),
                                   500);
    }
    if (!m_db.confirmActivation(hash, user->id))
        return HttpReply::html(
            pages::message(QStringLiteral("Error"), QStringLiteral("Cannot confirm the log-in.")),
            500);
    return HttpReply::html(pages::activationConfirmed(*user));
}

// --- containers ----------------------------------------------------------------------------

HttpReply TavronaServer::newContainer(const HttpRequest &request) {
    HttpReply failure;
    const auto user = authenticate(request, &failure);
    if (!user)
        return failure;
    const QString id = randomHex(16);
    if (!m_db.addContainer(id, user->id, now()))
        return HttpReply::error(500, QStringLiteral("cannot create the container"));
    return HttpReply::json({{"container_id", utf8(id)}});
}

HttpReply TavronaServer::presignUpload(const HttpRequest &request, const QString &containerId) {
    HttpReply failure;
    if (!ownedContainer(request, containerId, &failure))
        return failure;
    const auto body = jsonBody(request, &failure);
    if (!body)
        return failure;
    const auto files = body->find("files");
    if (files == body->end() || !files->is_array() || files->empty() ||
        files->size() > size_t(maxPresignFiles))
        return HttpReply::error(400, QStringLiteral("\"files\" must be an array of 1 to %1 "
                                                    "container paths")
                                         .arg(maxPresignFiles));
    json out = json::array();
    const qint64 expires = now() + m_options.presignExpirySecs;
    for (const json &file : *files) {
        if (!file.is_string())
            return HttpReply::error(400, QStringLiteral("every entry of \"files\" must be a "
                                                        "string"));
        const QString path = fromJson(file);
        const QString problem = Storage::checkPath(path);
        if (!problem.isEmpty())
            return HttpReply::error(400, QStringLiteral("invalid container path: %1").arg(problem),
                                    {{"path", utf8(path)}});
        bool post = m_options.uploadMethod == UploadMethod::Post;
        if (m_options.uploadMethod == UploadMethod::Alternate)
            post = (m_presignCount++ % 2) == 1;
        json entry = {{"path", utf8(path)}};
        if (post) {
            const QByteArray signature = m_presigner->sign("POST", containerId, path, expires);
            entry["method"] = "POST";
            entry["url"] = utf8(request.baseUrl + QStringLiteral("storage/") + containerId);
            entry["headers"] = json::object();
            entry["data"] = {{"key", utf8(path)},
                             {"expires", std::to_string(expires)},
                             {"signature", signature.toStdString()}};
        } else {
            const QByteArray signature = m_presigner->sign("PUT", containerId, path, expires);
            QStringList encoded;
            for (const QString &segment : path.split(QLatin1Char('/')))
                encoded << QString::fromLatin1(QUrl::toPercentEncoding(segment));
            entry["method"] = "PUT";
            entry["url"] = utf8(request.baseUrl + QStringLiteral("storage/") + containerId +
                                QLatin1Char('/') + encoded.join(QLatin1Char('/')) +
                                QStringLiteral("?expires=%1&signature=%2")
                                    .arg(expires)
                                    .arg(QString::fromLatin1(signature)));
            entry["headers"] = {{"Content-Type", "application/octet-stream"}};
            entry["data"] = json::object();
        }
        out.push_back(std::move(entry));
    }
    return HttpReply::json({{"files", out}});
}

HttpReply TavronaServer::storagePut(const HttpRequest &request, const QString &containerId,
                                    const QString &path) {
    const QString problem = Storage::checkPath(path);
    if (!Storage::isContainerId(containerId) || !problem.isEmpty())
        return HttpReply::error(
            400, QStringLiteral("invalid container path: %1")
                     .arg(problem.isEmpty() ? QStringLiteral("bad container") : problem));
    switch (m_presigner->verify("PUT", containerId, path,
                                request.query.queryItemValue(QStringLiteral("expires")),
                                request.query.queryItemValue(QStringLiteral("signature")), now())) {
    case Presigner::Check::Ok:
        break;
    case Presigner::Check::Expired:
        return HttpReply::error(403, QStringLiteral("the upload URL has expired"));
    case Presigner::Check::Malformed:
    case Presigner::Check::Forged:
        return HttpReply::error(403, QStringLiteral("invalid upload signature"));
    }
    if (request.body.size() > m_options.maxUploadBytes)
        return HttpReply::error(413, QStringLiteral("the upload is too large"));
    return storeUpload(containerId, path, request.body);
}

HttpReply TavronaServer::storagePost(const HttpRequest &request, const QString &containerId) {
    if (!Storage::isContainerId(containerId))
        return HttpReply::error(400, QStringLiteral("invalid container"));
    QString error;
    const QByteArray boundary = multipartBoundary(request.header("content-type"), &error);
    if (boundary.isEmpty())
        return HttpReply::error(415, error);
    MultipartLimits limits;
    limits.maxFileBytes = m_options.maxUploadBytes;
    const MultipartResult form = parseMultipart(request.body, boundary, limits);
    if (!form.ok)
        return HttpReply::error(form.status, form.error);
    const MultipartPart *key = form.part("key");
    const MultipartPart *expires = form.part("expires");
    const MultipartPart *signature = form.part("signature");
    const MultipartPart *file = form.part("file");
    if (!key || !expires || !signature || !file)
        return HttpReply::error(400, QStringLiteral("the form needs the fields key, expires, "
                                                    "signature and file"));
    const QString path = QString::fromUtf8(key->data);
    const QString problem = Storage::checkPath(path);
    if (!problem.isEmpty())
        return HttpReply::error(400, QStringLiteral("invalid container path: %1").arg(problem));
    switch (m_presigner->verify("POST", containerId, path, QString::fromLatin1(expires->data),
                                QString::fromLatin1(signature->data), now())) {
    case Presigner::Check::Ok:
        break;
    case Presigner::Check::Expired:
        return HttpReply::error(403, QStringLiteral("the upload form has expired"));
    case Presigner::Check::Malformed:
    case Presigner::Check::Forged:
        return HttpReply::error(403, QStringLiteral("invalid upload signature"));
    }
    return storeUpload(containerId, path, file->data);
}

HttpReply TavronaServer::storeUpload(const QString &containerId, const QString &path,
                                     const QByteArray &data) {
    // The signature proves we issued the URL; the container must still exist.
    if (!m_db.containerOwner(containerId))
        return HttpReply::error(404, QStringLiteral("unknown container"));
    if (m_options.failUploads > 0) {
        --m_options.failUploads;
        return HttpReply::error(500, QStringLiteral("injected storage failure"));
    }
    const QString target = m_storage.filePath(containerId, path);
    if (QFileInfo(target).isDir())
        return HttpReply::error(409, QStringLiteral("the path is a folder of the container"));
    for (qsizetype slash = path.indexOf(QLatin1Char('/')); slash > 0;
         slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
        if (QFileInfo(m_storage.filePath(containerId, path.left(slash))).isFile())
            return HttpReply::error(
                409, QStringLiteral("\"%1\" is a file of the container").arg(path.left(slash)));
    }
    QString md5;
    QString error;
    if (!m_storage.store(containerId, path, data, &md5, &error)) {
        qWarning().noquote() << "Cannot store" << path << "in" << containerId << ":" << error;
        return HttpReply::error(500, QStringLiteral("cannot store the file"));
    }
    if (!m_db.recordUpload(containerId, path, Upload{data.size(), md5}, now()))
        return HttpReply::error(500, QStringLiteral("cannot record the upload"));
    // Saved views built from the old content are stale now.
    for (const QString &scanId : m_db.scanIdsOfContainer(containerId))
        QDir(m_options.dataDir + QStringLiteral("/cache/") + scanId).removeRecursively();

    QString etag = md5;
    if (m_options.wrongEtags > 0) {
        --m_options.wrongEtags;
        etag = md5Hex(data + "wrong");
    }
    HttpReply reply = HttpReply::json({{"path", utf8(path)}, {"size", data.size()}});
    reply.headers.append({"ETag", '"' + etag.toLatin1() + '"'});
    return reply;
}

// --- saving and viewing scans --------------------------------------------------------------

HttpReply TavronaServer::saveScan(const HttpRequest &request, const QString &containerId) {
    HttpReply failure;
    const auto user = ownedContainer(request, containerId, &failure);
    if (!user)
        return failure;
    const auto body = jsonBody(request, &failure);
    if (!body)
        return failure;
    const auto name = body->find("file_name");
    if (name == body->end() || !name->is_string())
        return HttpReply::error(400, QStringLiteral("\"file_name\" (string) is required"));
    const QString scanName = fromJson(*name).trimmed();
    if (scanName.isEmpty() || scanName.size() > 255 || hasControlCharacters(scanName))
        return HttpReply::error(400, QStringLiteral("\"file_name\" must be 1 to 255 printable "
                                                    "characters"));
    const auto type = body->find("type");
    if (type == body->end() || !type->is_string() || type->get<std::string>() != "isd_file")
        return HttpReply::error(400, QStringLiteral("\"type\" must be \"isd_file\""));

    const QString isdPath = m_storage.filePath(containerId, QStringLiteral("scan.isd"));
    QFile isd(isdPath);
    if (!m_db.upload(containerId, QStringLiteral("scan.isd")) || !isd.open(QIODevice::ReadOnly))
        return HttpReply::error(400, QStringLiteral("scan.isd has not been uploaded"));
    if (isd.size() > maxDescriptorBytes)
        return HttpReply::error(400, QStringLiteral("scan.isd is too large"));
    const QByteArray descriptorText = isd.readAll();
    ScanDescriptor descriptor;
    QString error;
    if (!parseScanDescriptor(descriptorText, &descriptor, &error))
        return HttpReply::error(400, error);

    json missing = json::array();
    int missingCount = 0;
    auto addMissing = [&](const QString &what) {
        if (++missingCount <= maxMissingListed)
            missing.push_back(utf8(what));
    };
    auto uploaded = [&](const QString &path) {
        return m_db.upload(containerId, path).has_value() &&
               QFileInfo(m_storage.filePath(containerId, path)).isFile();
    };
    ArchiveSet archives(m_storage.containerDir(containerId));
    QSet<QString> checkedArchives;
    QSet<QString> missingArchives;
    for (const ScanImage &image : descriptor.images) {
        if (image.type == ScanImage::Type::Single) {
            if (!uploaded(image.path))
                addMissing(image.path);
            continue;
        }
        for (const StitchedCell &cell : image.cells) {
            if (!checkedArchives.contains(cell.archive)) {
                checkedArchives.insert(cell.archive);
                if (!uploaded(cell.archive))
                    missingArchives.insert(cell.archive);
            }
            if (missingArchives.contains(cell.archive)) {
                addMissing(cell.archive + QLatin1Char('/') + cell.entry);
                continue;
            }
            QString entryError;
            if (!archives.hasEntry(cell.archive, cell.entry, &entryError))
                addMissing(cell.archive + QLatin1Char('/') + cell.entry);
        }
    }
    if (missingCount > 0)
        return HttpReply::error(400,
                                QStringLiteral("scan.isd refers to %1 file(s) that were not "
                                               "uploaded")
                                    .arg(missingCount),
                                {{"missing", missing}});

    ScanRecord scan;
    scan.id = randomHex(16);
    scan.containerId = containerId;
    scan.userId = user->id;
    scan.name = scanName;
    scan.descriptor = QString::fromUtf8(descriptorText);
    scan.createdAt = now();
    if (!m_db.addScan(scan))
        return HttpReply::error(500, QStringLiteral("cannot record the scan"));
    return HttpReply::json(
        {{"view_url", utf8(request.baseUrl + QStringLiteral("scans/") + scan.id)},
         {"scan_id", utf8(scan.id)}});
}

HttpReply TavronaServer::scanPage(const QString &scanId) {
    const auto scan = m_db.scan(scanId);
    ScanDescriptor descriptor;
    QString error;
    if (!scan || !parseScanDescriptor(scan->descriptor.toUtf8(), &descriptor, &error))
        return HttpReply::html(pages::message(QStringLiteral("Unknown scan"),
                                              QStringLiteral("There is no scan at this address.")),
                               404);
    QList<pages::ScanPageImage> images;
    int index = 0;
    for (const ScanImage &image : descriptor.images) {
        pages::ScanPageImage entry;
        entry.stitched = image.type == ScanImage::Type::Stitched;
        entry.width = image.width;
        entry.height = image.height;
        entry.cells = int(image.cells.size());
        entry.source = QStringLiteral("/scans/%1/images/%2.jpg").arg(scan->id).arg(index++);
        images.append(entry);
    }
    return HttpReply::html(pages::scan(*scan, descriptor.mpp, descriptor.magnification, images));
}

HttpReply TavronaServer::scanImage(const QString &scanId, const QString &imageName) {
    const auto scan = m_db.scan(scanId);
    ScanDescriptor descriptor;
    QString error;
    bool ok = false;
    const int index =
        imageName.endsWith(QLatin1String(".jpg")) ? imageName.chopped(4).toInt(&ok) : -1;
    if (!scan || !ok || index < 0 ||
        !parseScanDescriptor(scan->descriptor.toUtf8(), &descriptor, &error) ||
        index >= int(descriptor.images.size()))
        return HttpReply::error(404, QStringLiteral("no such image"));

    const ScanImage &image = descriptor.images[size_t(index)];
    QString path;
    if (image.type == ScanImage::Type::Single) {
        path = m_storage.filePath(scan->containerId, image.path);
    } else {
        // Built once, on first view, then served from the cache until the container changes.
        path = QStringLiteral("%1/cache/%2/%3.jpg").arg(m_options.dataDir, scan->id).arg(index);
        if (!QFileInfo::exists(path)) {
            ArchiveSet archives(m_storage.containerDir(scan->containerId));
            int skipped = 0;
            const cv::Mat composed =
                composeStitched(image, archives, m_options.viewMaxSidePx, &skipped);
            if (skipped > 0)
                qWarning().noquote() << "Scan" << scan->id << "part" << index << ":" << skipped
                                     << "cells could not be read";
            if (!writeJpegAtomically(composed, path, &error)) {
                qWarning().noquote() << "Cannot cache the composed part:" << error;
                return HttpReply::error(500, QStringLiteral("cannot compose the image"));
            }
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return HttpReply::error(404, QStringLiteral("the image file is missing"));
    HttpReply reply;
    reply.contentType = "image/jpeg";
    reply.body = file.readAll();
    return reply;
}

// --- crash reports -------------------------------------------------------------------------

HttpReply TavronaServer::crashEnvelope(const HttpRequest &request, const QString &project) {
    if (project != m_options.crashProject)
        return HttpReply::error(404, QStringLiteral("unknown project"));
    QString error;
    QByteArray auth = request.header("x-sentry-auth");
    if (auth.isEmpty() && request.query.hasQueryItem(QStringLiteral("sentry_key")))
        auth = "Sentry sentry_version=7, sentry_key=" +
               request.query.queryItemValue(QStringLiteral("sentry_key")).toUtf8();
    if (!checkSentryAuth(auth, m_options.crashKey, &error))
        return HttpReply::error(401, error);
    const QByteArray encoding = request.header("content-encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return HttpReply::error(415, QStringLiteral("compressed envelopes are not accepted"));
    if (request.body.size() > m_options.maxEnvelopeBytes)
        return HttpReply::error(413, QStringLiteral("the envelope is too large"));
    Envelope envelope;
    if (!parseEnvelope(request.body, &envelope, &error))
        return HttpReply::error(400, error);

    CrashReport report;
    report.id = randomHex(16);
    report.receivedAt = now();
    report.project = project;
    report.eventId = envelope.eventId().left(64);
    QStringList types;
    for (const EnvelopeItem &item : envelope.items)
        types << QString::fromUtf8(item.type).left(40);
    report.itemTypes = types.join(QStringLiteral(", "));
    report.summary = envelope.summary().left(500);
    report.size = request.body.size();

    QSaveFile file(
        QStringLiteral("%1/crash-reports/%2.envelope").arg(m_options.dataDir, report.id));
    if (!file.open(QIODevice::WriteOnly) || file.write(request.body) != request.body.size() ||
        !file.commit() || !m_db.addCrashReport(report))
        return HttpReply::error(500, QStringLiteral("cannot store the envelope"));
    return HttpReply::json({{"id", utf8(report.eventId.isEmpty() ? report.id : report.eventId)}});
}

HttpReply TavronaServer::crashReportList() {
    return HttpReply::html(pages::crashReports(m_db.crashReports(500)));
}

HttpReply TavronaServer::crashReportFile(const QString &id) {
    if (!Storage::isContainerId(id) || !m_db.crashReport(id))
        return HttpReply::error(404, QStringLiteral("no such crash report"));
    QFile file(QStringLiteral("%1/crash-reports/%2.envelope").arg(m_options.dataDir, id));
    if (!file.open(QIODevice::ReadOnly))
        return HttpReply::error(404, QStringLiteral("no such crash report"));
    HttpReply reply;
    reply.contentType = "application/x-sentry-envelope";
    reply.body = file.readAll();
    reply.headers.append(
        {"Content-Disposition", "attachment; filename=\"" + id.toLatin1() + ".envelope\""});
    return reply;
}

} // namespace tavrona
