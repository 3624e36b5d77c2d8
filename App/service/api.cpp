#include "service/api.h"

#include "service/urlpolicy.h"
#include "shell/redaction.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>

#include <stdexcept>

namespace {

// A successful reply that lacks what the client cannot do without.
class MalformedReply : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

QString requiredString(const json &reply, const char *key) {
    if (!reply.is_object() || !reply.contains(key) || !reply[key].is_string())
        throw MalformedReply(std::string("no string under \"") + key + "\"");
    return QString::fromStdString(reply[key].get<std::string>());
}

QString fromJson(const json &value) {
    return QString::fromStdString(value.get<std::string>());
}

// What of a body a log line shows: all of it in debug builds; in release builds its start, enough
// to tell what came back, and its size. Cut after the secrets are taken out, so a cut never
// leaves half a secret that no longer looks like one.
QByteArray bodyForLog(const QByteArray &body) {
#ifdef QT_NO_DEBUG
    constexpr qsizetype shown = 2048;
    if (body.size() > shown)
        return redaction::redactBytes(body).left(shown) + " ... (" +
               QByteArray::number(body.size()) + " bytes)";
#endif
    return body;
}

// Redirects are followed only where the request itself may go: a redirect the check refuses
// aborts the reply, which then ends with an error like any failed request.
void followOnly(QNetworkRequest &request) {
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
}

template <typename Check>
void checkRedirects(QNetworkReply *reply, const QString &what, Check refusal) {
    QObject::connect(reply, &QNetworkReply::redirected, reply,
                     [reply, what, refusal](const QUrl &to) {
                         const QString why = refusal(to);
                         if (why.isEmpty()) {
                             emit reply->redirectAllowed();
                             return;
                         }
                         qWarning() << "Redirect refused for" << what << ":" << why;
                         reply->abort();
                     });
}

// The service's own requests carry the token: they follow a redirect only on the service's
// scheme, host and port.
QString offOrigin(const QUrl &to, const QUrl &service) {
    if (to.scheme().compare(service.scheme(), Qt::CaseInsensitive) == 0 &&
        to.host().compare(service.host(), Qt::CaseInsensitive) == 0 &&
        to.port(-1) == service.port(-1))
        return {};
    return QStringLiteral("a redirect away from the service, to %1://%2")
        .arg(to.scheme(), to.host());
}

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// Element 0 of a presign reply, checked before anything is sent: a reply the client cannot
// follow must count as a failed attempt, not vanish.
struct PresignedUpload {
    QString method;
    QUrl url;
    HeaderList headers;
    HeaderList data;
};

// Reads an object of strings; absent or null means none.
bool readStringMap(const json &element, const char *key, HeaderList &out, QString &error) {
    if (!element.contains(key) || element[key].is_null())
        return true;
    const json &map = element[key];
    if (!map.is_object()) {
        error = QStringLiteral("\"%1\" is %2, not an object").arg(key, map.type_name());
        return false;
    }
    for (const auto &[name, value] : map.items()) {
        if (!value.is_string()) {
            error = QStringLiteral("\"%1\" entry \"%2\" is %3, not a string")
                        .arg(key, QString::fromStdString(name), value.type_name());
            return false;
        }
        out.append({QByteArray::fromStdString(name), QByteArray::fromStdString(value)});
    }
    return true;
}

bool readPresign(const json &reply, PresignedUpload &out, QString &error) {
    if (!reply.is_object() || !reply.contains("files")) {
        error = QStringLiteral("no \"files\"");
        return false;
    }
    const json &files = reply["files"];
    if (!files.is_array() || files.empty() || !files[0].is_object()) {
        error = QStringLiteral("\"files\" is not an array starting with an object");
        return false;
    }
    const json &element = files[0];
    for (const char *key : {"method", "url"}) {
        if (!element.contains(key) || !element[key].is_string()) {
            error = QStringLiteral("\"%1\" is missing or not a string").arg(key);
            return false;
        }
    }
    out.method = fromJson(element["method"]);
    out.url = QUrl(fromJson(element["url"]));
    return readStringMap(element, "headers", out.headers, error) &&
           readStringMap(element, "data", out.data, error);
}

} // namespace

UploadResult::Outcome UploadResult::outcomeOf(int status) {
    if (status == 401)
        return Unauthorized;
    if (status == 403)
        return Forbidden;
    // A client error does not go away by being repeated, except a timeout or a rate limit.
    if (status >= 400 && status < 500 && status != 408 && status != 429)
        return Permanent;
    return Failed;
}

namespace {

UploadResult uploadResult(UploadResult::Outcome outcome, const QString &cause, int status = 0) {
    UploadResult result;
    result.outcome = outcome;
    result.cause = cause;
    result.status = status;
    return result;
}

UploadResult httpFailure(const QString &where, int status) {
    return uploadResult(UploadResult::outcomeOf(status),
                        QStringLiteral("%1 HTTP %2").arg(where).arg(status), status);
}

} // namespace

Api::Api(QUrl apiUrl, QString apiToken, int pollIntervalMs, int transferTimeoutMs)
    : QObject(nullptr)
    , apiUrl(std::move(apiUrl))
    , apiToken(std::move(apiToken))
    , pollIntervalMs(pollIntervalMs)
    , network(new QNetworkAccessManager(this)) {
    qRegisterMetaType<User>();
    redaction::addSecret(this->apiToken);
    // Every request, the service's and the storage's: a connection that stalls is cut.
    network->setTransferTimeout(transferTimeoutMs);
    if (!this->apiToken.isEmpty())
        queryUser();
}

QFuture<json> Api::apiCall(QUrl url, json body, NetworkRequestType type) {
    const bool serviceRequest = url.isRelative();
    const QUrl target = serviceRequest ? apiUrl.resolved(url) : url;
    QNetworkRequest request(target);
    followOnly(request);
    if (type == Post && !body.is_null())
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    if (serviceRequest) {
        // Before log-in the header goes out empty; Qt drops a header whose value is null.
        QByteArray token = apiToken.toLocal8Bit();
        if (token.isNull())
            token = QByteArray("");
        request.setRawHeader("X-Api-token", token);
    }
    const QByteArray text = body.is_null() ? QByteArray() : QByteArray::fromStdString(body.dump());
    qDebug() << "api request: " << target << "\n" << QString::fromUtf8(bodyForLog(text));

    QNetworkReply *reply = nullptr;
    if (type == Get) {
        reply = network->get(request);
    } else if (type == Post) {
        reply = network->post(request, text);
    } else {
        throw ApiException(QStringLiteral("Invalid request type"), 0);
    }
    checkRedirects(reply, target.path(),
                   [service = target](const QUrl &to) { return offOrigin(to, service); });

    return QtFuture::connect(reply, &QNetworkReply::finished).then([reply]() -> json {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QString errorText =
                QStringLiteral("%1 %2").arg(reply->errorString()).arg(int(reply->error()));
            qDebug() << "Network error: " << errorText;
            if (status != 0)
                qDebug() << "Status code:" << status;
            qDebug() << bodyForLog(reply->readAll());
            throw ApiException(tr("Network error:") + " " + errorText, status);
        }
        const QByteArray data = reply->readAll();
        const QString contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString();
        qDebug() << "Content type:" << contentType;
        qDebug() << "api response: " << bodyForLog(data);
        if (contentType.startsWith(QLatin1String("application/json")))
            return json::parse(data.begin(), data.end(), nullptr, true, false);
        return json(data.toStdString());
    });
}

void Api::logIn() {
    qDebug() << "Login start";
    emit userLoading();
    // A code left over from an earlier log-in must never be polled: it could log a user back in
    // who has since logged out.
    activationCode.clear();
    logInStarting = true;
    apiCall(QUrl(QStringLiteral("/api/mireva/token")), nullptr, Post)
        .then([this](json reply) {
            logInStarting = false;
            const QString authorizationUrl = requiredString(reply, "authorization_url");
            const QString code = requiredString(reply, "activation_code");
            redaction::addSecret(code);
            // The browser is opened on the service's word only for a web address.
            if (const QString refusal = urlRefusal(QUrl(authorizationUrl), apiUrl);
                !refusal.isEmpty()) {
                qWarning() << "Log-in page refused:" << refusal;
                emit apiError(
                    tr("Log-in refused: the service gave a log-in page this program does not "
                       "open (%1)")
                        .arg(refusal));
                emit userLoadingFailed();
                return;
            }
            activationCode = code;
            QDesktopServices::openUrl(QUrl(authorizationUrl));
            emit loginUrlChanged(authorizationUrl);
        })
        .onFailed([this](const ApiException &e) {
            logInStarting = false;
            emit apiError(e.message);
            emit userLoggedOut();
        })
        .onFailed([this](const std::exception &e) {
            logInStarting = false;
            failLogIn(QString::fromUtf8(e.what()));
        });
    QTimer::singleShot(pollIntervalMs, this, &Api::checkLogIn);
}

void Api::checkLogIn() {
    if (logInStarting) {
        QTimer::singleShot(pollIntervalMs, this, &Api::checkLogIn);
        return;
    }
    if (activationCode.isEmpty()) {
        qDebug() << "Login cancelled";
        emit userLoadingFailed();
        return;
    }
    qDebug() << "Check log in";
    const json body = {{"activation_code", activationCode.toStdString()}};
    apiCall(QUrl(QStringLiteral("/api/token/activate")), body, Post)
        .then([this](json reply) {
            apiToken = requiredString(reply, "auth_token");
            redaction::addSecret(apiToken);
            emit userLoggedIn(apiToken);
            try {
                const User user = parseUser(reply);
                emit userLoaded(user);
            } catch (const std::exception &e) {
                emit apiError(QString::fromUtf8(e.what()));
                emit userLoadingFailed();
            }
        })
        .onFailed([this](const ApiException &e) {
            if (e.statusCode == 401) {
                QTimer::singleShot(pollIntervalMs, this, &Api::checkLogIn);
                return;
            }
            emit apiError(e.message);
            emit userLoggedOut();
        })
        .onFailed([this](const std::exception &e) { failLogIn(QString::fromUtf8(e.what())); });
}

void Api::failLogIn(const QString &reason) {
    qWarning() << "Log-in failed, unusable reply from the service:" << reason;
    emit apiError(tr("Log-in failed: unexpected reply from the service (%1)").arg(reason));
    emit userLoadingFailed();
}

void Api::cancelLogIn() {
    activationCode.clear();
    logInStarting = false;
}

void Api::logOut() {
    apiCall(QUrl(QStringLiteral("/api/token/revoke")), nullptr, Post)
        .then([this](json) {
            apiToken.clear();
            emit userLoggedOut();
        })
        .onFailed([this](const ApiException &e) {
            apiToken.clear();
            emit apiError(e.message);
            emit userLoggedOut();
        })
        .onFailed([this](const std::exception &e) {
            // The service accepted the request; only its answer was unreadable.
            qWarning() << "Unreadable reply to the log-out:" << e.what();
            apiToken.clear();
            emit userLoggedOut();
        });
}

void Api::queryUser() {
    emit userLoading();
    apiCall(QUrl(QStringLiteral("/api/mireva/info")), nullptr, Get)
        .then([this](json reply) {
            try {
                const User user = parseUser(std::move(reply));
                emit userLoaded(user);
            } catch (const std::exception &e) {
                emit apiError(QString::fromUtf8(e.what()));
                emit userLoadingFailed();
            }
        })
        .onFailed([this](const ApiException &e) {
            emit userLoadingFailed();
            if (e.statusCode == 401) {
                apiToken.clear();
                emit userLoggedOut();
            } else {
                emit apiError(e.message);
            }
        })
        .onFailed([this](const std::exception &e) {
            emit apiError(QString::fromUtf8(e.what()));
            emit userLoadingFailed();
        });
}

User Api::parseUser(json reply) {
    User user;
    // Non-const access: a missing key reads as null, which get<std::string>() rejects with a
    // type_error naming the type it found.
    user.email = fromJson(reply["user"]["email"]);
    user.firstName = fromJson(reply["user"]["first_name"]);
    user.lastName = fromJson(reply["user"]["last_name"]);
    user.organizationName = fromJson(reply["organization"]["name"]);
    return user;
}

QFuture<QString> Api::newContainer() {
    return apiCall(QUrl(QStringLiteral("/api/mireva/container/new")), nullptr, Post)
        .then([](json reply) { return fromJson(reply["container_id"]); });
}

QFuture<QString> Api::saveScan(QString containerID, QString filename) {
    const json body = {{"file_name", filename.toStdString()}, {"type", "isd_file"}};
    return apiCall(QUrl(QStringLiteral("/api/mireva/container/") + containerID + "/save"), body,
                   Post)
        .then([this](json reply) {
            const QString viewUrl = fromJson(reply["view_url"]);
            // The scan is saved either way; only an address the browser must not be sent to is
            // dropped, so nothing offers to open it.
            if (const QString refusal = urlRefusal(QUrl(viewUrl), apiUrl); !refusal.isEmpty()) {
                qWarning() << "Scan page refused:" << refusal;
                emit apiError(tr("The scan was saved, but the service gave a page for it this "
                                 "program does not open (%1)")
                                  .arg(refusal));
                return QString();
            }
            return viewUrl;
        });
}

QFuture<UploadResult> Api::uploadFile(QString containerID, QString containerPath,
                                      QString filePath) {
    qDebug() << "Uploading file:" << filePath << "to container:" << containerID
             << "at path:" << containerPath;
    if (!QFileInfo::exists(filePath)) {
        qWarning() << "The file to upload is missing:" << filePath;
        return QtFuture::makeReadyFuture(
            uploadResult(UploadResult::Permanent, QStringLiteral("missing local file")));
    }
    // A file that cannot be read would reach the storage empty; and without its ETag the
    // upload could never be verified.
    const QString expected = calculateETag(filePath);
    if (expected.isEmpty()) {
        qWarning() << "Cannot read file for upload:" << filePath;
        return QtFuture::makeReadyFuture(
            uploadResult(UploadResult::Permanent, QStringLiteral("unreadable local file")));
    }

    const json body = {{"files", json::array({containerPath.toStdString()})}};
    return apiCall(QUrl(QStringLiteral("/api/mireva/container/") + containerID + "/presign_upload"),
                   body, Post)
        .then([this, filePath, expected](json reply) {
            return sendToStorage(reply, filePath, expected);
        })
        .unwrap()
        .onFailed([](const ApiException &e) {
            qDebug() << "Failed to upload file. Error:" << e.what() << e.message;
            if (e.statusCode == 0)
                return uploadResult(UploadResult::Failed, QStringLiteral("service unreachable"));
            return httpFailure(QStringLiteral("service"), e.statusCode);
        })
        .onFailed([](const std::exception &e) {
            qWarning() << "Malformed presign reply:" << e.what();
            return uploadResult(UploadResult::Failed, QStringLiteral("malformed presign reply"));
        })
        .onCanceled([] {
            qDebug() << "File upload cancelled";
            return uploadResult(UploadResult::Failed, QStringLiteral("cancelled"));
        });
}

QFuture<UploadResult> Api::sendToStorage(const json &presign, const QString &filePath,
                                         const QString &expectedETag) {
    PresignedUpload upload;
    QString error;
    if (!readPresign(presign, upload, error)) {
        qWarning() << "Malformed presign reply:" << error;
        return QtFuture::makeReadyFuture(
            uploadResult(UploadResult::Failed, QStringLiteral("malformed presign reply")));
    }
    // The service hands out the same kind of address again: trying later would not help.
    if (!storageUrlAllowed(upload.url, filePath))
        return QtFuture::makeReadyFuture(
            uploadResult(UploadResult::Permanent, QStringLiteral("storage address refused")));
    // The signature and credentials of the presigned request are secrets wherever they turn up
    // again, e.g. echoed in the storage's error reply.
    for (const auto &[name, value] : QUrlQuery(upload.url).queryItems(QUrl::FullyDecoded))
        if (redaction::isSecretName(name))
            redaction::addSecret(value);
    for (const HeaderList *fields : {&upload.headers, &upload.data})
        for (const auto &[name, value] : *fields)
            if (redaction::isSecretName(QString::fromUtf8(name)))
                redaction::addSecret(QString::fromUtf8(value));

    QNetworkRequest request(upload.url);
    followOnly(request);
    for (const auto &[name, value] : upload.headers)
        request.setRawHeader(name, value);

    auto *file = new QFile(filePath);
    if (!file->open(QIODevice::ReadOnly)) {
        qWarning() << "Cannot read file for upload:" << filePath << file->errorString();
        const bool missing = !file->exists();
        delete file;
        return QtFuture::makeReadyFuture(uploadResult(
            UploadResult::Permanent, missing ? QStringLiteral("missing local file")
                                             : QStringLiteral("unreadable local file")));
    }
    QNetworkReply *reply = nullptr;
    if (upload.method == QLatin1String("PUT")) {
        reply = network->put(request, file);
        file->setParent(reply);
    } else {
        auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const auto &[name, value] : upload.data) {
            QHttpPart part;
            part.setHeader(QNetworkRequest::ContentDispositionHeader,
                           QByteArray("form-data; name=\"" + name + "\""));
            part.setBody(value);
            multiPart->append(part);
        }
        QHttpPart filePart;
        filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                           QByteArray("form-data; name=\"file\""));
        filePart.setBodyDevice(file);
        file->setParent(multiPart);
        multiPart->append(filePart);
        reply = network->post(request, multiPart);
        multiPart->setParent(reply);
    }
    checkRedirects(reply, filePath,
                   [service = apiUrl](const QUrl &to) { return urlRefusal(to, service); });

    return QtFuture::connect(reply, &QNetworkReply::finished)
        .then([reply, filePath, expectedETag]() {
            reply->deleteLater();
            if (reply->error() != QNetworkReply::NoError) {
                const char *name =
                    QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error());
                qDebug()
                    << "Network error: "
                    << QStringLiteral("%1 %2").arg(reply->errorString()).arg(int(reply->error()))
                    << name;
                qDebug() << bodyForLog(reply->readAll());
                const int status =
                    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                if (status != 0)
                    return httpFailure(QStringLiteral("storage"), status);
                return uploadResult(UploadResult::Failed,
                                    QStringLiteral("storage %1").arg(QLatin1String(name)));
            }
            if (verifyETag(reply, expectedETag)) {
                qDebug() << "File uploaded successfully:" << filePath;
                UploadResult stored = uploadResult(UploadResult::Stored, QString(), 200);
                stored.etag = expectedETag;
                return stored;
            }
            qDebug() << "File integrity verification failed";
            const bool tagged = !reply->rawHeader("ETag").isEmpty();
            return uploadResult(UploadResult::Failed, tagged ? QStringLiteral("ETag mismatch")
                                                             : QStringLiteral("no ETag"));
        });
}

bool Api::storageUrlAllowed(const QUrl &url, const QString &filePath) {
    const QString refusal = urlRefusal(url, apiUrl);
    if (refusal.isEmpty())
        return true;
    qWarning() << "Storage address refused for" << filePath << ":" << refusal;
    // Told once per kind of address: other files of the scan meet the same refusal.
    if (!reportedRefusals.contains(refusal)) {
        reportedRefusals.insert(refusal);
        emit apiError(tr("Upload refused: the service gave a storage address this program does "
                         "not send files to (%1)")
                          .arg(refusal));
    }
    return false;
}

QString Api::calculateETag(const QString &filePath) {
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Failed to open file for ETag calculation:" << filePath;
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file)) {
        qDebug() << "Failed to calculate ETag for file:" << filePath;
        return {};
    }
    return QString::fromLatin1(hash.result().toHex());
}

bool Api::verifyETag(QNetworkReply *reply, const QString &expected) {
    if (expected.isEmpty()) {
        qDebug() << "No expected ETag provided for verification";
        return false;
    }
    QByteArray actualBytes = reply->rawHeader("ETag");
    if (actualBytes.isEmpty())
        actualBytes = reply->rawHeader("etag");
    // Without the storage's word on what it holds, nothing says the file arrived whole: the
    // local copy must not be given up on such a reply.
    if (actualBytes.isEmpty()) {
        qDebug() << "No ETag in response headers: the upload is not verified.";
        return false;
    }
    const QString actual = QString::fromLatin1(actualBytes).remove(QLatin1Char('"'));
    if (actual == expected)
        return true;
    qDebug() << "ETag mismatch! File integrity verification failed.";
    qDebug() << "Actual ETag:" << actual;
    qDebug() << "Expected ETag:" << expected;
    return false;
}
