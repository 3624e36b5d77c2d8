// Crash-report envelopes: the DSN, the event serialised with its attachment, the header's
// sending time.
#include "shell/crashreport.h"

#include "shell/buildconfig.h"
#include "shell/redaction.h"

#include <QLocale>
#include <QUrl>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>

namespace crashreport {

namespace {

using Json = nlohmann::ordered_json;
constexpr int defaultRetryAfterS = 60;

std::string utf8(const QString &text) {
    return text.toStdString();
}

QByteArray dump(const Json &json) {
    return QByteArray::fromStdString(json.dump(-1, ' ', false, Json::error_handler_t::replace));
}

Json toJson(const QVariant &value) {
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toULongLong();
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    case QMetaType::QVariantMap: {
        Json object = Json::object();
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            object[utf8(it.key())] = toJson(it.value());
        return object;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        Json array = Json::array();
        for (const QVariant &item : value.toList())
            array.push_back(toJson(item));
        return array;
    }
    default:
        if (!value.isValid())
            return nullptr;
        return utf8(value.toString());
    }
}

QString isoTime(const QDateTime &time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

} // namespace

Dsn Dsn::parse(const QString &text, QString *error) {
    auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return Dsn();
    };
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return fail(QStringLiteral("empty DSN"));
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid())
        return fail(QStringLiteral("malformed DSN"));
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return fail(QStringLiteral("DSN protocol must be http or https"));
    if (url.userName().isEmpty())
        return fail(QStringLiteral("DSN has no public key"));
    if (url.host().isEmpty())
        return fail(QStringLiteral("DSN has no host"));
    if (url.hasQuery() || url.hasFragment())
        return fail(QStringLiteral("malformed DSN"));
    const QString path = url.path();
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString project = slash < 0 ? QString() : path.mid(slash + 1);
    bool numeric = false;
    project.toULongLong(&numeric);
    if (!numeric)
        return fail(QStringLiteral("DSN has no project id"));
    Dsn dsn;
    dsn.scheme = scheme;
    dsn.publicKey = url.userName();
    dsn.secretKey = url.password();
    dsn.host = url.host();
    dsn.port = url.port();
    dsn.path = path.left(slash);
    dsn.projectId = project;
    return dsn;
}

QString Dsn::envelopeUrl() const {
    QUrl url;
    url.setScheme(scheme);
    url.setHost(host);
    url.setPort(port);
    url.setPath(path + QStringLiteral("/api/") + projectId + QStringLiteral("/envelope/"));
    return url.toString();
}

QByteArray Dsn::authHeader() const {
    QByteArray header = "Sentry sentry_version=7, sentry_client=" + clientName() +
                        ", sentry_key=" + publicKey.toUtf8();
    if (!secretKey.isEmpty())
        header += ", sentry_secret=" + secretKey.toUtf8();
    return header;
}

QByteArray clientName() {
    return QByteArrayLiteral("mireva.crashreport/" MIREVA_VERSION);
}

QByteArray newEventId() {
    return QUuid::createUuid().toByteArray(QUuid::Id128);
}

QByteArray buildEnvelope(const Event &event, const QDateTime &sentAt) {
    Json header = Json::object();
    header["event_id"] = event.eventId.toStdString();
    header["sent_at"] = utf8(isoTime(sentAt));

    Json payload = Json::object();
    payload["event_id"] = event.eventId.toStdString();
    payload["timestamp"] = utf8(isoTime(event.timestamp));
    payload["platform"] = "native";
    payload["level"] = utf8(event.level);
    payload["release"] = utf8(event.release);
    if (!event.environment.isEmpty())
        payload["environment"] = utf8(event.environment);
    if (!event.user.isEmpty())
        payload["user"] = toJson(event.user);
    Json exception = Json::object();
    exception["type"] = utf8(event.exceptionType);
    exception["value"] = utf8(event.exceptionValue);
    payload["exception"]["values"] = Json::array({exception});
    const QByteArray eventBytes = dump(payload);

    Json eventHeader = Json::object();
    eventHeader["type"] = "event";
    eventHeader["length"] = eventBytes.size();

    QByteArray envelope = dump(header) + '\n' + dump(eventHeader) + '\n' + eventBytes + '\n';
    if (event.hasAttachment) {
        Json attachmentHeader = Json::object();
        attachmentHeader["type"] = "attachment";
        attachmentHeader["length"] = event.attachmentData.size();
        attachmentHeader["filename"] = utf8(event.attachmentName);
        envelope += dump(attachmentHeader) + '\n' + event.attachmentData + '\n';
    }
    return envelope;
}

QByteArray withSentAt(const QByteArray &envelope, const QDateTime &sentAt) {
    const qsizetype end = envelope.indexOf('\n');
    const QByteArray headerText = end < 0 ? envelope : envelope.left(end);
    Json header = Json::parse(headerText.toStdString(), nullptr, false);
    if (!header.is_object())
        return envelope;
    header["sent_at"] = utf8(isoTime(sentAt));
    return dump(header) + (end < 0 ? QByteArray() : envelope.mid(end));
}

QByteArray redactEnvelope(const QByteArray &envelope) {
    // {header}\n then items of {item header with "length"}\n, payload, \n.
    const qsizetype headerEnd = envelope.indexOf('\n');
    if (headerEnd < 0)
        return redaction::redactBytes(envelope);
    QByteArray out = redaction::redactBytes(envelope.left(headerEnd + 1));
    qsizetype pos = headerEnd + 1;
    while (pos < envelope.size()) {
        const qsizetype itemHeaderEnd = envelope.indexOf('\n', pos);
        const Json itemHeader = Json::parse(
            envelope.mid(pos, itemHeaderEnd < 0 ? -1 : itemHeaderEnd - pos).toStdString(), nullptr,
            false);
        const bool sized = itemHeaderEnd >= 0 && itemHeader.is_object() &&
                           itemHeader.contains("length") &&
                           itemHeader["length"].is_number_unsigned() &&
                           itemHeader["length"].get<std::uint64_t>() <=
                               std::uint64_t(envelope.size() - itemHeaderEnd - 1);
        if (!sized) {
            // Not an envelope this code can read item by item: cut the secrets out of the
            // rest as it stands (the service may refuse it, but nothing leaks).
            out += redaction::redactBytes(envelope.mid(pos));
            break;
        }
        const qsizetype length = qsizetype(itemHeader["length"].get<std::uint64_t>());
        const QByteArray payload = redaction::redactBytes(envelope.mid(itemHeaderEnd + 1, length));
        Json header = itemHeader;
        header["length"] = payload.size();
        out += redaction::redactBytes(dump(header)) + '\n' + payload;
        pos = itemHeaderEnd + 1 + length;
        if (pos < envelope.size() && envelope[pos] == '\n') {
            out += '\n';
            ++pos;
        }
    }
    return out;
}

int retryAfterSeconds(const QByteArray &header, const QDateTime &now) {
    const QByteArray text = header.trimmed();
    if (!text.isEmpty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // However many digits: a number too large for any integer type is still "long".
        bool ok = false;
        const qulonglong seconds = text.toULongLong(&ok);
        return ok ? int(std::min<qulonglong>(seconds, maxRetryAfterS)) : maxRetryAfterS;
    }
    // HTTP writes its dates as "Sun, 06 Nov 1994 08:49:37 GMT", which Qt's RFC 2822 parser
    // does not take (it wants a numeric offset).
    const QString dateText = QString::fromLatin1(text);
    QDateTime date = QDateTime::fromString(dateText, Qt::RFC2822Date);
    if (!date.isValid() && dateText.endsWith(QLatin1String(" GMT"))) {
        date = QLocale::c().toDateTime(dateText.chopped(4),
                                       QStringLiteral("ddd, dd MMM yyyy hh:mm:ss"));
        date.setTimeSpec(Qt::UTC);
    }
    if (date.isValid())
        return int(std::clamp<qint64>(now.secsTo(date), 0, maxRetryAfterS));
    return defaultRetryAfterS;
}

} // namespace crashreport
