#include "s3client.h"

#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QUrlQuery>
#include <QXmlStreamReader>

#include <algorithm>
#include <future>

namespace tavrona {

namespace {

bool isBucketName(const QString &name) {
    // The rules every S3 implementation accepts: 3 to 63 of a-z 0-9 . -, starting and ending
    // with a letter or digit.
    if (name.size() < 3 || name.size() > 63)
        return false;
    for (const QChar c : name)
        if (!((c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
              (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') ||
              c == QLatin1Char('-')))
            return false;
    return name.front().isLetterOrNumber() && name.back().isLetterOrNumber();
}

QString xmlElement(const QByteArray &body, QLatin1String name) {
    QXmlStreamReader xml(body);
    while (!xml.atEnd())
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == name)
            return xml.readElementText();
    return {};
}

QString errorText(const QByteArray &method, const QString &what, const S3Reply &reply,
                  const QString &networkError) {
    if (reply.status == 0)
        return QStringLiteral("%1 %2: the object store cannot be reached (%3)")
            .arg(QString::fromLatin1(method), what, networkError);
    const QString message = xmlElement(reply.body, QLatin1String("Message"));
    return QStringLiteral("%1 %2: the object store answered HTTP %3%4%5")
        .arg(QString::fromLatin1(method), what)
        .arg(reply.status)
        .arg(reply.code.isEmpty() ? QString() : QStringLiteral(" ") + QString::fromUtf8(reply.code))
        .arg(message.isEmpty() ? QString() : QStringLiteral(": ") + message);
}

QByteArray errorCode(const QByteArray &body, int status) {
    const QString code = xmlElement(body, QLatin1String("Code"));
    if (!code.isEmpty())
        return code.toUtf8();
    // HEAD answers carry no body.
    switch (status) {
    case 403:
        return "AccessDenied";
    case 404:
        return "NotFound";
    default:
        return {};
    }
}

bool retryable(const S3Reply &reply) {
    return reply.status == 0 || reply.status == 500 || reply.status == 502 || reply.status == 503 ||
           reply.status == 504;
}

QByteArray fileSha256(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        *error = file.errorString();
        return {};
    }
    return hash.result().toHex();
}

} // namespace

QByteArray S3Reply::etag() const {
    QByteArray value = headers.value("etag");
    value.replace('"', QByteArray());
    return value;
}

std::optional<S3Config> S3Config::fromUrl(const QString &text, QString *error) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("s3")) {
        *error = QStringLiteral("the storage URL must look like "
                                "s3://<bucket>?endpoint=<url>&region=<region>, not \"%1\"")
                     .arg(text);
        return std::nullopt;
    }
    if (!url.userInfo().isEmpty()) {
        *error = QStringLiteral("keys do not belong in the storage URL: give them in "
                                "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY or in a "
                                "credentials file");
        return std::nullopt;
    }
    S3Config config;
    config.bucket = url.host();
    if (!isBucketName(config.bucket)) {
        *error = QStringLiteral("\"%1\" is not a bucket name (3 to 63 of a-z, 0-9, \".\" and "
                                "\"-\")")
                     .arg(config.bucket);
        return std::nullopt;
    }
    QString prefix = url.path(QUrl::FullyDecoded);
    while (prefix.startsWith(QLatin1Char('/')))
        prefix.remove(0, 1);
    if (!prefix.isEmpty() && !prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    config.prefix = prefix;

    const QUrlQuery query(url);
    for (const auto &[name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name == QLatin1String("endpoint")) {
            config.endpoint = QUrl(value, QUrl::StrictMode);
        } else if (name == QLatin1String("region")) {
            config.region = value.toUtf8();
        } else if (name == QLatin1String("timeout_ms")) {
            bool ok = false;
            config.timeoutMs = value.toInt(&ok);
            if (!ok || config.timeoutMs < 100) {
                *error = QStringLiteral("timeout_ms must be a number of milliseconds of at "
                                        "least 100, not \"%1\"")
                             .arg(value);
                return std::nullopt;
            }
        } else if (name.contains(QLatin1String("key"), Qt::CaseInsensitive) ||
                   name.contains(QLatin1String("secret"), Qt::CaseInsensitive)) {
            *error = QStringLiteral("keys do not belong in the storage URL: give them in "
                                    "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY or in a "
                                    "credentials file");
            return std::nullopt;
        } else {
            *error = QStringLiteral("unknown storage URL parameter \"%1\" (known: endpoint, "
                                    "region, timeout_ms)")
                         .arg(name);
            return std::nullopt;
        }
    }
    if (!config.endpoint.isValid() || config.endpoint.host().isEmpty() ||
        (config.endpoint.scheme() != QLatin1String("http") &&
         config.endpoint.scheme() != QLatin1String("https"))) {
        *error = QStringLiteral("the storage URL needs endpoint=http(s)://host[:port] of the "
                                "object store");
        return std::nullopt;
    }
    if (config.region.isEmpty()) {
        *error = QStringLiteral("the storage URL has an empty region");
        return std::nullopt;
    }
    return config;
}

QString S3Config::describe() const {
    return QStringLiteral("s3://%1/%2 at %3 (%4)")
        .arg(bucket, prefix, endpoint.toString(QUrl::RemoveUserInfo), QString::fromUtf8(region));
}

std::optional<sigv4::Credentials> loadCredentials(const QString &file, QString *error) {
    const QByteArray id = qgetenv("AWS_ACCESS_KEY_ID");
    const QByteArray secret = qgetenv("AWS_SECRET_ACCESS_KEY");
    if (!id.isEmpty() || !secret.isEmpty()) {
        if (id.isEmpty() || secret.isEmpty()) {
            *error = QStringLiteral("AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must be set "
                                    "together");
            return std::nullopt;
        }
        return sigv4::Credentials{id, secret, qgetenv("AWS_SESSION_TOKEN")};
    }
    const QString path =
        !file.isEmpty() ? file : QString::fromLocal8Bit(qgetenv("AWS_SHARED_CREDENTIALS_FILE"));
    if (path.isEmpty()) {
        *error = QStringLiteral("no keys for the object store: set AWS_ACCESS_KEY_ID and "
                                "AWS_SECRET_ACCESS_KEY, or give a credentials file");
        return std::nullopt;
    }
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read the credentials file \"%1\": %2")
                     .arg(path, in.errorString());
        return std::nullopt;
    }
    const QByteArray wanted =
        qEnvironmentVariableIsEmpty("AWS_PROFILE") ? "default" : qgetenv("AWS_PROFILE");
    QByteArray section;
    sigv4::Credentials credentials;
    while (!in.atEnd()) {
        const QByteArray line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#') || line.startsWith(';'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            section = line.mid(1, line.size() - 2).trimmed();
            if (section.startsWith("profile "))
                section = section.mid(8).trimmed();
            continue;
        }
        if (section != wanted)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray name = line.left(equals).trimmed().toLower();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (name == "aws_access_key_id")
            credentials.accessKeyId = value;
        else if (name == "aws_secret_access_key")
            credentials.secretAccessKey = value;
        else if (name == "aws_session_token")
            credentials.sessionToken = value;
    }
    if (!credentials.isValid()) {
        *error = QStringLiteral("the credentials file \"%1\" has no aws_access_key_id and "
                                "aws_secret_access_key in [%2]")
                     .arg(path, QString::fromUtf8(wanted));
        return std::nullopt;
    }
    return credentials;
}

// --- the network thread --------------------------------------------------------------------

struct S3Client::Call {
    QByteArray method;
    QUrl url;
    sigv4::Pairs headers;
    QByteArray body;
    QString bodyFile;
    int timeoutMs = 0;
    struct Outcome {
        S3Reply reply;
        QString network;    // why the store gave no answer
        bool local = false; // the request could not even be sent
    };
    std::promise<Outcome> done;
};

class S3Client::Worker : public QObject {
public:
    void start(std::shared_ptr<Call> call) {
        if (!m_network) {
            m_network = new QNetworkAccessManager(this);
            m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        }
        QNetworkRequest request(call->url);
        for (const auto &[name, value] : call->headers)
            request.setRawHeader(name, value);
        // Ranges must count bytes of the object itself, never of a compressed transfer.
        request.setRawHeader("Accept-Encoding", "identity");
        request.setTransferTimeout(call->timeoutMs);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);

        QNetworkReply *reply = nullptr;
        if (!call->bodyFile.isEmpty()) {
            auto *file = new QFile(call->bodyFile);
            if (!file->open(QIODevice::ReadOnly)) {
                const QString why = file->errorString();
                delete file;
                call->done.set_value(
                    {{}, QStringLiteral("cannot read %1: %2").arg(call->bodyFile, why), true});
                return;
            }
            request.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
            reply = m_network->sendCustomRequest(request, call->method, file);
            file->setParent(reply);
        } else if (call->method == "PUT" || call->method == "POST") {
            reply = m_network->sendCustomRequest(request, call->method, call->body);
        } else if (call->method == "HEAD") {
            // As a custom verb, HEAD would make the reply wait for the body its Content-Length
            // announces.
            reply = m_network->head(request);
        } else {
            reply = m_network->sendCustomRequest(request, call->method);
        }
        connect(reply, &QNetworkReply::finished, this, [reply, call] {
            S3Reply result;
            result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (reply->isOpen())
                result.body = reply->readAll();
            for (const auto &[name, value] : reply->rawHeaderPairs())
                result.headers.insert(name.toLower(), value);
            QString network;
            if (result.status == 0)
                network = reply->error() == QNetworkReply::OperationCanceledError
                              ? QStringLiteral("no answer within %1 ms").arg(call->timeoutMs)
                              : reply->errorString();
            reply->deleteLater();
            call->done.set_value({result, network, false});
        });
    }

private:
    QNetworkAccessManager *m_network = nullptr;
};

S3Client::S3Client(S3Config config)
    : m_config(std::move(config))
    , m_signer(m_config.credentials, m_config.region)
    , m_thread(std::make_unique<QThread>()) {
    m_thread->setObjectName(QStringLiteral("s3-network"));
    m_worker = new Worker;
    m_worker->moveToThread(m_thread.get());
    QObject::connect(m_thread.get(), &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
}

S3Client::~S3Client() {
    m_thread->quit();
    m_thread->wait();
}

QByteArray S3Client::hostHeader() const {
    const QUrl &endpoint = m_config.endpoint;
    QByteArray host = endpoint.host(QUrl::FullyEncoded).toUtf8();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int port = endpoint.port();
    const int standard = endpoint.scheme() == QLatin1String("https") ? 443 : 80;
    if (port != -1 && port != standard)
        host += ':' + QByteArray::number(port);
    return host;
}

sigv4::Request S3Client::request(const QByteArray &method, const QString &key,
                                 const sigv4::Pairs &query) const {
    QByteArray base = m_config.endpoint.path(QUrl::FullyEncoded).toUtf8();
    while (base.endsWith('/'))
        base.chop(1);
    QByteArray path = base + '/' + sigv4::uriEncode(m_config.bucket.toUtf8());
    if (!key.isNull())
        path += '/' + sigv4::uriEncode(objectKey(key).toUtf8(), true);
    sigv4::Request request;
    request.method = method;
    request.host = hostHeader();
    request.path = path;
    request.query = query;
    return request;
}

QUrl S3Client::urlOf(const sigv4::Request &request) const {
    QByteArray text = m_config.endpoint.scheme().toLatin1() + "://" + request.host + request.path;
    if (!request.query.isEmpty())
        text += '?' + sigv4::canonicalQuery(request.query);
    return QUrl::fromEncoded(text, QUrl::StrictMode);
}

S3Reply S3Client::run(const QByteArray &method, const QString &key, const sigv4::Pairs &query,
                      const sigv4::Pairs &headers, const QByteArray &body, const QString &bodyFile,
                      const QByteArray &payloadHash, int attempts) {
    if (attempts <= 0)
        attempts = m_config.attempts;
    const QString what =
        key.isNull()
            ? QStringLiteral("bucket \"%1\"").arg(m_config.bucket)
            : QStringLiteral("\"%1\" in bucket \"%2\"").arg(objectKey(key), m_config.bucket);
    S3Reply reply;
    if (QThread::currentThread() == m_thread.get()) {
        reply.error = QStringLiteral("%1 %2: called from the store's own network thread")
                          .arg(QString::fromLatin1(method), what);
        return reply;
    }
    for (int attempt = 1;; ++attempt) {
        // Signed afresh for every attempt: the date is part of the signature.
        sigv4::Request signedRequest = request(method, key, query);
        signedRequest.headers = headers;
        signedRequest.payloadHash = payloadHash;
        m_signer.signHeaders(signedRequest, m_clock ? m_clock() : QDateTime::currentDateTimeUtc());

        auto call = std::make_shared<Call>();
        call->method = method;
        call->url = urlOf(signedRequest);
        call->headers = signedRequest.headers;
        call->body = body;
        call->bodyFile = bodyFile;
        call->timeoutMs = m_config.timeoutMs;
        auto future = call->done.get_future();
        Worker *worker = m_worker;
        QMetaObject::invokeMethod(
            m_worker, [worker, call] { worker->start(call); }, Qt::QueuedConnection);
        Call::Outcome outcome = future.get();
        reply = std::move(outcome.reply);
        if (outcome.local) {
            reply.error =
                QStringLiteral("%1 %2: %3").arg(QString::fromLatin1(method), what, outcome.network);
            return reply;
        }
        if (reply.status >= 200 && reply.status < 300)
            return reply;
        if (reply.status != 0)
            reply.code = errorCode(reply.body, reply.status);
        reply.error = errorText(method, what, reply, outcome.network);
        if (!retryable(reply) || attempt >= attempts)
            return reply;
        QThread::msleep(100u << (attempt - 1));
    }
}

S3Reply S3Client::get(const QString &key, qint64 offset, qint64 length) {
    sigv4::Pairs headers;
    if (offset > 0 || length >= 0) {
        QByteArray range = "bytes=" + QByteArray::number(offset) + '-';
        if (length >= 0)
            range += QByteArray::number(offset + length - 1);
        headers.append({"range", range});
    }
    return run("GET", key, {}, headers, {}, {}, sigv4::sha256Hex({}));
}

S3Reply S3Client::head(const QString &key) {
    return run("HEAD", key, {}, {}, {}, {}, sigv4::sha256Hex({}));
}

S3Reply S3Client::put(const QString &key, const QByteArray &data, const QByteArray &contentType) {
    return run("PUT", key, {}, {{"content-type", contentType}}, data, {}, sigv4::sha256Hex(data));
}

S3Reply S3Client::putFile(const QString &key, const QString &filePath,
                          const QByteArray &contentType) {
    QString error;
    const QByteArray hash = fileSha256(filePath, &error);
    if (hash.isEmpty()) {
        S3Reply reply;
        reply.error =
            QStringLiteral("PUT \"%1\": cannot read %2: %3").arg(objectKey(key), filePath, error);
        return reply;
    }
    return run("PUT", key, {}, {{"content-type", contentType}}, {}, filePath, hash);
}

S3Reply S3Client::remove(const QString &key) {
    return run("DELETE", key, {}, {}, {}, {}, sigv4::sha256Hex({}));
}

S3Reply S3Client::probe() {
    return run("HEAD", QString(), {}, {}, {}, {}, sigv4::sha256Hex({}), 1);
}

std::optional<QList<S3ObjectInfo>> S3Client::list(const QString &prefix, QString *error,
                                                  int pageSize) {
    QList<S3ObjectInfo> objects;
    QByteArray token;
    for (;;) {
        sigv4::Pairs query{{"list-type", "2"},
                           {"max-keys", QByteArray::number(std::clamp(pageSize, 1, 1000))},
                           {"prefix", objectKey(prefix).toUtf8()}};
        if (!token.isEmpty())
            query.append({"continuation-token", token});
        const S3Reply reply = run("GET", QString(), query, {}, {}, {}, sigv4::sha256Hex({}));
        if (!reply.ok()) {
            *error = reply.error;
            return std::nullopt;
        }
        QXmlStreamReader xml(reply.body);
        bool truncated = false;
        token.clear();
        S3ObjectInfo current;
        while (!xml.atEnd()) {
            const auto type = xml.readNext();
            if (type == QXmlStreamReader::StartElement) {
                const auto name = xml.name();
                if (name == QLatin1String("Contents")) {
                    current = {};
                } else if (name == QLatin1String("Key")) {
                    current.key = xml.readElementText().mid(m_config.prefix.size());
                } else if (name == QLatin1String("Size")) {
                    current.size = xml.readElementText().toLongLong();
                } else if (name == QLatin1String("ETag")) {
                    current.etag = xml.readElementText().toUtf8().replace('"', QByteArray());
                } else if (name == QLatin1String("IsTruncated")) {
                    truncated = xml.readElementText() == QLatin1String("true");
                } else if (name == QLatin1String("NextContinuationToken")) {
                    token = xml.readElementText().toUtf8();
                }
            } else if (type == QXmlStreamReader::EndElement &&
                       xml.name() == QLatin1String("Contents")) {
                objects.append(current);
            }
        }
        if (xml.hasError()) {
            *error = QStringLiteral("the object store's listing of \"%1\" is not valid XML: %2")
                         .arg(objectKey(prefix), xml.errorString());
            return std::nullopt;
        }
        if (!truncated)
            return objects;
        if (token.isEmpty()) {
            *error = QStringLiteral("the object store's listing of \"%1\" is truncated without "
                                    "a continuation token")
                         .arg(objectKey(prefix));
            return std::nullopt;
        }
    }
}

QString S3Client::presignedPutUrl(const QString &key, int expiresSecs, const sigv4::Pairs &headers,
                                  const QDateTime &now) const {
    sigv4::Request signedRequest = request("PUT", key);
    signedRequest.headers = headers;
    m_signer.presign(signedRequest, now, expiresSecs);
    return QString::fromUtf8(urlOf(signedRequest).toEncoded());
}

QString S3Client::postUrl() const {
    return QString::fromUtf8(urlOf(request("POST", QString())).toEncoded());
}

sigv4::PostForm S3Client::postForm(const QString &key, qint64 maxBytes, int expiresSecs,
                                   const QDateTime &now) const {
    sigv4::PostPolicyRequest policy;
    policy.bucket = m_config.bucket.toUtf8();
    policy.key = objectKey(key);
    policy.expiration = now.addSecs(expiresSecs);
    policy.maxBytes = maxBytes;
    // 200 with the ETag, as for a PUT, rather than the default 204.
    policy.extraFields = {{"success_action_status", "200"}};
    return sigv4::postPolicy(m_signer, policy, now);
}

} // namespace tavrona
