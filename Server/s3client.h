#pragma once

// A small client for S3-compatible object stores: the server's own requests (ranged GET, HEAD,
// PUT of derived files, DELETE, listing) signed with Signature V4 in the Authorization header,
// and the presigned PUT URLs and POST forms it hands to uploaders.
//
// Calls block their caller and may come from any thread: the transfers run in the client's own
// network thread, so a caller never spins an event loop of its own (no re-entrant request
// handling in the server's thread) and worker threads need none.

#include "sigv4.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QThread;

namespace tavrona {

struct S3Config {
    QUrl endpoint; // scheme, host and port of the store; requests use path-style addressing
    QByteArray region = "us-east-1";
    QString bucket;
    QString prefix; // prepended to every key: "" or "some/folder/"
    sigv4::Credentials credentials;
    int timeoutMs = 30000; // a transfer that moves no byte for this long fails
    int attempts = 3;      // for network errors and 500, 502, 503, 504 (all our calls are
                           // idempotent)

    // Reads "s3://<bucket>[/<prefix>]?endpoint=<url>&region=<region>[&timeout_ms=<ms>]".
    // Keys are never part of it: they come from loadCredentials().
    static std::optional<S3Config> fromUrl(const QString &url, QString *error);
    QString describe() const; // "s3://bucket/prefix at http://host:port (region)", no secrets
};

// Keys from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY (and AWS_SESSION_TOKEN); otherwise from a
// credentials file in the shared INI layout ("[profile]", "aws_access_key_id = …"): the file
// given, or AWS_SHARED_CREDENTIALS_FILE, with the profile AWS_PROFILE or "default".
std::optional<sigv4::Credentials> loadCredentials(const QString &file, QString *error);

struct S3Reply {
    int status = 0;                       // HTTP status; 0 when the store could not be reached
    QByteArray body;                      // for errors, the store's XML error document
    QMap<QByteArray, QByteArray> headers; // lower-case names
    QString error;   // empty on success; otherwise a sentence for logs and users
    QByteArray code; // the store's error code ("NoSuchKey", "AccessDenied", …) if any

    bool ok() const { return error.isEmpty(); }
    // Object ETag without quotes.
    QByteArray etag() const;
};

struct S3ObjectInfo {
    QString key; // without the client's prefix
    qint64 size = 0;
    QByteArray etag; // without quotes
};

class S3Client {
public:
    explicit S3Client(S3Config config);
    ~S3Client();
    S3Client(const S3Client &) = delete;
    S3Client &operator=(const S3Client &) = delete;

    const S3Config &config() const { return m_config; }

    // length < 0: to the end of the object. A range past the end gives HTTP 416.
    S3Reply get(const QString &key, qint64 offset = 0, qint64 length = -1);
    S3Reply head(const QString &key);
    S3Reply put(const QString &key, const QByteArray &data,
                const QByteArray &contentType = "application/octet-stream");
    // Streams the file; its SHA-256 is computed first, since the signature covers the body.
    S3Reply putFile(const QString &key, const QString &filePath,
                    const QByteArray &contentType = "application/octet-stream");
    S3Reply remove(const QString &key);
    // Every object whose key starts with prefix (without the client's prefix), in pages of at
    // most pageSize keys (the stores cap it at 1000).
    std::optional<QList<S3ObjectInfo>> list(const QString &prefix, QString *error,
                                            int pageSize = 1000);
    // Checks that the bucket answers with these keys (a HEAD of the bucket), without retries:
    // a server that cannot reach its store at start says so at once.
    S3Reply probe();

    // What an uploader needs to send one object straight to the store.
    QString presignedPutUrl(const QString &key, int expiresSecs, const sigv4::Pairs &headers = {},
                            const QDateTime &now = QDateTime::currentDateTimeUtc()) const;
    QString postUrl() const;
    sigv4::PostForm postForm(const QString &key, qint64 maxBytes, int expiresSecs,
                             const QDateTime &now = QDateTime::currentDateTimeUtc()) const;

    // The request a call sends, before signing (tests compare it with other signers).
    sigv4::Request request(const QByteArray &method, const QString &key,
                           const sigv4::Pairs &query = {}) const;
    QByteArray hostHeader() const;
    QString objectKey(const QString &key) const { return m_config.prefix + key; }

    // Replaces the clock used for signing (tests of expiry).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

private:
    struct Call;
    S3Reply run(const QByteArray &method, const QString &key, const sigv4::Pairs &query,
                const sigv4::Pairs &headers, const QByteArray &body, const QString &bodyFile,
                const QByteArray &payloadHash, int attempts = 0);
    QUrl urlOf(const sigv4::Request &request) const;

    S3Config m_config;
    sigv4::Signer m_signer;
    std::function<QDateTime()> m_clock;
    std::unique_ptr<QThread> m_thread;
    class Worker;
    Worker *m_worker = nullptr; // lives in m_thread
};

} // namespace tavrona
