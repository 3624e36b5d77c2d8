#pragma once

// AWS Signature Version 4 for S3-compatible object stores: the signing of the server's own
// requests (Authorization header), presigned URLs (query-string authentication) and the policy
// of browser-style form uploads (POST with a signed, base64 policy document).

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

#include <nlohmann/json.hpp>

namespace tavrona::sigv4 {

using Pairs = QList<QPair<QByteArray, QByteArray>>;

// The payload hash S3 accepts when the body is not part of the signature (presigned URLs).
inline constexpr char unsignedPayload[] = "UNSIGNED-PAYLOAD";
inline constexpr char algorithm[] = "AWS4-HMAC-SHA256";

struct Credentials {
    QByteArray accessKeyId;
    QByteArray secretAccessKey;
    QByteArray sessionToken; // temporary credentials only; sent as X-Amz-Security-Token

    bool isValid() const { return !accessKeyId.isEmpty() && !secretAccessKey.isEmpty(); }
};

// "20130524T000000Z" (UTC) and its date part "20130524".
QByteArray amzDate(const QDateTime &time);
QByteArray shortDate(const QDateTime &time);

// Percent-encodes every byte but the unreserved A-Z a-z 0-9 - . _ ~; with keepSlash, "/"
// stays as it is (object keys in the path).
QByteArray uriEncode(const QByteArray &bytes, bool keepSlash = false);

// Keys and values encoded, sorted by key and then value, joined with "&".
QByteArray canonicalQuery(const Pairs &decodedQuery);

// Header names in lower case, values trimmed with inner runs of spaces folded into one,
// sorted by name; repeated names joined with ",". Returns the canonical header block (each
// "name:value\n") and, in *signedHeaders, the names joined with ";".
QByteArray canonicalHeaders(const Pairs &headers, QByteArray *signedHeaders);

QByteArray canonicalRequest(const QByteArray &method, const QByteArray &canonicalUri,
                            const QByteArray &canonicalQueryString, const Pairs &headers,
                            const QByteArray &payloadHash);

// "<date>/<region>/<service>/aws4_request"
QByteArray credentialScope(const QByteArray &date, const QByteArray &region,
                           const QByteArray &service);

QByteArray stringToSign(const QByteArray &amzDateTime, const QByteArray &scope,
                        const QByteArray &canonicalRequestText);

// HMAC chain "AWS4" + secret → date → region → service → "aws4_request" (raw bytes).
QByteArray signingKey(const QByteArray &secret, const QByteArray &date, const QByteArray &region,
                      const QByteArray &service);

// Lower-case hex HMAC-SHA256 of text under key.
QByteArray hmacHex(const QByteArray &key, const QByteArray &text);
QByteArray sha256Hex(const QByteArray &data);

// One request as the signer sees it. path is the canonical URI (already encoded, as sent),
// query the decoded parameters.
struct Request {
    QByteArray method;
    QByteArray
        host; // as in the Host header: "name" or "name:port" when the port is not the default
    QByteArray path;
    Pairs query;
    Pairs headers; // besides Host; the signer adds its own
    QByteArray payloadHash = unsignedPayload;
};

class Signer {
public:
    Signer(Credentials credentials, QByteArray region, QByteArray service = "s3");

    const Credentials &credentials() const { return m_credentials; }
    const QByteArray &region() const { return m_region; }

    // Adds X-Amz-Date, X-Amz-Content-Sha256 (S3), X-Amz-Security-Token (if any) and
    // Authorization to request.headers. Every header present is signed.
    void signHeaders(Request &request, const QDateTime &time) const;

    // Adds the X-Amz-* parameters and the signature to request.query: the URL then carries the
    // authority for expiresSecs seconds (1 to 604800). Headers in request.headers are signed
    // too, so the one who follows the URL must send them with these values.
    void presign(Request &request, const QDateTime &time, int expiresSecs) const;

    // Signature of a base64 policy document (form uploads), with the date of its credential.
    QByteArray signPolicy(const QByteArray &base64Policy, const QDateTime &time) const;

    QByteArray credential(const QDateTime &time) const; // "<key id>/<scope>"

private:
    QByteArray scope(const QDateTime &time) const;
    QByteArray sign(const Request &request, const QByteArray &amzDateTime,
                    const QDateTime &time) const;

    Credentials m_credentials;
    QByteArray m_region;
    QByteArray m_service;
};

// A form upload to one key of one bucket: the fields the uploader sends before the file, and
// the policy document they carry.
struct PostForm {
    Pairs fields;                  // key, policy, x-amz-algorithm, -credential, -date, -signature
    nlohmann::ordered_json policy; // decoded, for logs and tests
};

struct PostPolicyRequest {
    QByteArray bucket;
    QString key;
    QDateTime expiration;
    qint64 minBytes = 0;
    qint64 maxBytes = -1; // no content-length-range condition when negative
    Pairs extraFields;    // sent as given and required by the policy to have exactly that value
};

PostForm postPolicy(const Signer &signer, const PostPolicyRequest &request, const QDateTime &time);

} // namespace tavrona::sigv4
