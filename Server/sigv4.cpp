#include "sigv4.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

#include <algorithm>

namespace tavrona::sigv4 {

QByteArray amzDate(const QDateTime &time) {
    return time.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
}

QByteArray shortDate(const QDateTime &time) {
    return time.toUTC().toString(QStringLiteral("yyyyMMdd")).toLatin1();
}

QByteArray uriEncode(const QByteArray &bytes, bool keepSlash) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto u = uchar(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            u == '-' || u == '.' || u == '_' || u == '~' || (keepSlash && u == '/')) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

QByteArray canonicalQuery(const Pairs &decodedQuery) {
    Pairs encoded;
    encoded.reserve(decodedQuery.size());
    for (const auto &[key, value] : decodedQuery)
        encoded.append({uriEncode(key), uriEncode(value)});
    // Sorted by the encoded bytes, which is what the services compare.
    std::sort(encoded.begin(), encoded.end());
    QByteArray out;
    for (const auto &[key, value] : encoded) {
        if (!out.isEmpty())
            out += '&';
        out += key + '=' + value;
    }
    return out;
}

namespace {

QByteArray foldSpaces(const QByteArray &value) {
    QByteArray out;
    out.reserve(value.size());
    bool space = false;
    for (const char c : value.trimmed()) {
        const bool isSpace = c == ' ' || c == '\t';
        if (isSpace && space)
            continue;
        out += isSpace ? ' ' : c;
        space = isSpace;
    }
    return out;
}

} // namespace

QByteArray canonicalHeaders(const Pairs &headers, QByteArray *signedHeaders) {
    // Stable, so repeated names keep their order when joined.
    Pairs lowered;
    for (const auto &[name, value] : headers)
        lowered.append({name.trimmed().toLower(), foldSpaces(value)});
    std::stable_sort(lowered.begin(), lowered.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QByteArray block;
    QByteArray names;
    for (qsizetype i = 0; i < lowered.size(); ++i) {
        if (i > 0 && lowered[i].first == lowered[i - 1].first) {
            block.chop(1);
            block += ',' + lowered[i].second + '\n';
            continue;
        }
        if (!names.isEmpty())
            names += ';';
        names += lowered[i].first;
        block += lowered[i].first + ':' + lowered[i].second + '\n';
    }
    if (signedHeaders)
        *signedHeaders = names;
    return block;
}

QByteArray canonicalRequest(const QByteArray &method, const QByteArray &canonicalUri,
                            const QByteArray &canonicalQueryString, const Pairs &headers,
                            const QByteArray &payloadHash) {
    QByteArray signedHeaders;
    const QByteArray block = canonicalHeaders(headers, &signedHeaders);
    return method + '\n' + (canonicalUri.isEmpty() ? QByteArray("/") : canonicalUri) + '\n' +
           canonicalQueryString + '\n' + block + '\n' + signedHeaders + '\n' + payloadHash;
}

QByteArray credentialScope(const QByteArray &date, const QByteArray &region,
                           const QByteArray &service) {
    return date + '/' + region + '/' + service + "/aws4_request";
}

QByteArray sha256Hex(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QByteArray stringToSign(const QByteArray &amzDateTime, const QByteArray &scope,
                        const QByteArray &canonicalRequestText) {
    return QByteArray(algorithm) + '\n' + amzDateTime + '\n' + scope + '\n' +
           sha256Hex(canonicalRequestText);
}

QByteArray signingKey(const QByteArray &secret, const QByteArray &date, const QByteArray &region,
                      const QByteArray &service) {
    auto mac = [](const QByteArray &key, const QByteArray &text) {
        return QMessageAuthenticationCode::hash(text, key, QCryptographicHash::Sha256);
    };
    const QByteArray kDate = mac("AWS4" + secret, date);
    const QByteArray kRegion = mac(kDate, region);
    const QByteArray kService = mac(kRegion, service);
    return mac(kService, "aws4_request");
}

QByteArray hmacHex(const QByteArray &key, const QByteArray &text) {
    return QMessageAuthenticationCode::hash(text, key, QCryptographicHash::Sha256).toHex();
}

Signer::Signer(Credentials credentials, QByteArray region, QByteArray service)
    : m_credentials(std::move(credentials))
    , m_region(std::move(region))
    , m_service(std::move(service)) {}

QByteArray Signer::scope(const QDateTime &time) const {
    return credentialScope(shortDate(time), m_region, m_service);
}

QByteArray Signer::credential(const QDateTime &time) const {
    return m_credentials.accessKeyId + '/' + scope(time);
}

QByteArray Signer::sign(const Request &request, const QByteArray &amzDateTime,
                        const QDateTime &time) const {
    Pairs headers = request.headers;
    headers.prepend({"host", request.host});
    const QByteArray canonical = canonicalRequest(
        request.method, request.path, canonicalQuery(request.query), headers, request.payloadHash);
    const QByteArray key =
        signingKey(m_credentials.secretAccessKey, shortDate(time), m_region, m_service);
    return hmacHex(key, stringToSign(amzDateTime, scope(time), canonical));
}

void Signer::signHeaders(Request &request, const QDateTime &time) const {
    const QByteArray date = amzDate(time);
    request.headers.append({"x-amz-date", date});
    if (m_service == "s3")
        request.headers.append({"x-amz-content-sha256", request.payloadHash});
    if (!m_credentials.sessionToken.isEmpty())
        request.headers.append({"x-amz-security-token", m_credentials.sessionToken});
    QByteArray signedHeaders;
    Pairs all = request.headers;
    all.prepend({"host", request.host});
    canonicalHeaders(all, &signedHeaders);
    const QByteArray signature = sign(request, date, time);
    request.headers.append(
        {"authorization", QByteArray(algorithm) + " Credential=" + credential(time) +
                              ", SignedHeaders=" + signedHeaders + ", Signature=" + signature});
}

void Signer::presign(Request &request, const QDateTime &time, int expiresSecs) const {
    const QByteArray date = amzDate(time);
    QByteArray signedHeaders;
    Pairs all = request.headers;
    all.prepend({"host", request.host});
    canonicalHeaders(all, &signedHeaders);
    request.query.append({"X-Amz-Algorithm", QByteArray(algorithm)});
    request.query.append({"X-Amz-Credential", credential(time)});
    request.query.append({"X-Amz-Date", date});
    request.query.append({"X-Amz-Expires", QByteArray::number(std::clamp(expiresSecs, 1, 604800))});
    if (!m_credentials.sessionToken.isEmpty())
        request.query.append({"X-Amz-Security-Token", m_credentials.sessionToken});
    request.query.append({"X-Amz-SignedHeaders", signedHeaders});
    const QByteArray signature = sign(request, date, time);
    request.query.append({"X-Amz-Signature", signature});
}

QByteArray Signer::signPolicy(const QByteArray &base64Policy, const QDateTime &time) const {
    const QByteArray key =
        signingKey(m_credentials.secretAccessKey, shortDate(time), m_region, m_service);
    return hmacHex(key, base64Policy);
}

PostForm postPolicy(const Signer &signer, const PostPolicyRequest &request, const QDateTime &time) {
    using ojson = nlohmann::ordered_json;
    const std::string key = request.key.toStdString();
    const std::string credential = signer.credential(time).toStdString();
    const std::string date = amzDate(time).toStdString();

    ojson conditions = ojson::array();
    conditions.push_back({{"bucket", request.bucket.toStdString()}});
    conditions.push_back({{"key", key}});
    if (request.maxBytes >= 0)
        conditions.push_back(
            ojson::array({"content-length-range", request.minBytes, request.maxBytes}));
    for (const auto &[name, value] : request.extraFields)
        conditions.push_back({{name.toStdString(), value.toStdString()}});
    if (!signer.credentials().sessionToken.isEmpty())
        conditions.push_back(
            {{"x-amz-security-token", signer.credentials().sessionToken.toStdString()}});
    conditions.push_back({{"x-amz-algorithm", algorithm}});
    conditions.push_back({{"x-amz-credential", credential}});
    conditions.push_back({{"x-amz-date", date}});

    PostForm form;
    form.policy = {{"expiration", request.expiration.toUTC()
                                      .toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"))
                                      .toStdString()},
                   {"conditions", conditions}};
    const QByteArray policy = QByteArray::fromStdString(form.policy.dump()).toBase64();

    form.fields.append({"key", request.key.toUtf8()});
    form.fields.append(request.extraFields);
    if (!signer.credentials().sessionToken.isEmpty())
        form.fields.append({"x-amz-security-token", signer.credentials().sessionToken});
    form.fields.append({"x-amz-algorithm", QByteArray(algorithm)});
    form.fields.append({"x-amz-credential", QByteArray::fromStdString(credential)});
    form.fields.append({"x-amz-date", QByteArray::fromStdString(date)});
    form.fields.append({"policy", policy});
    form.fields.append({"x-amz-signature", signer.signPolicy(policy, time)});
    return form;
}

} // namespace tavrona::sigv4
