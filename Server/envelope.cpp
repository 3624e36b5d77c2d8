#include "envelope.h"

#include "presign.h"

#include <QList>

namespace tavrona {

using json = nlohmann::json;

namespace {

json parseObject(const QByteArray &line) {
    json value = json::parse(line.constBegin(), line.constEnd(), nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return json(nullptr);
    return value;
}

QString stringAt(const json &object, const char *key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return {};
    return QString::fromStdString(it->get<std::string>());
}

} // namespace

QString Envelope::eventId() const {
    const QString id = stringAt(header, "event_id");
    if (!id.isEmpty())
        return id;
    for (const EnvelopeItem &item : items) {
        if (item.type != "event")
            continue;
        const json event = parseObject(item.payload);
        if (event.is_object())
            return stringAt(event, "event_id");
    }
    return {};
}

QString Envelope::summary() const {
    for (const EnvelopeItem &item : items) {
        if (item.type != "event")
            continue;
        const json event = parseObject(item.payload);
        if (!event.is_object())
            continue;
        const auto exception = event.find("exception");
        if (exception != event.end() && exception->is_object()) {
            const auto values = exception->find("values");
            if (values != exception->end() && values->is_array() && !values->empty() &&
                values->front().is_object()) {
                const QString type = stringAt(values->front(), "type");
                const QString value = stringAt(values->front(), "value");
                return value.isEmpty() ? type : type + QStringLiteral(": ") + value;
            }
        }
        const auto message = event.find("message");
        if (message != event.end()) {
            if (message->is_string())
                return QString::fromStdString(message->get<std::string>());
            if (message->is_object())
                return stringAt(*message, "formatted");
        }
    }
    return {};
}

bool parseEnvelope(const QByteArray &data, Envelope *out, QString *error, int maxItems) {
    Envelope envelope;
    qsizetype pos = data.indexOf('\n');
    const QByteArray headerLine = pos < 0 ? data : data.left(pos);
    envelope.header = parseObject(headerLine);
    if (!envelope.header.is_object()) {
        *error = QStringLiteral("envelope header is not a JSON object");
        return false;
    }
    pos = pos < 0 ? data.size() : pos + 1;
    while (pos < data.size()) {
        const qsizetype lineEnd = data.indexOf('\n', pos);
        const QByteArray line = data.mid(pos, (lineEnd < 0 ? data.size() : lineEnd) - pos);
        if (line.trimmed().isEmpty() && lineEnd < 0)
            break; // trailing white space after the last item
        EnvelopeItem item;
        item.header = parseObject(line);
        if (!item.header.is_object() || !item.header.contains("type") ||
            !item.header["type"].is_string()) {
            *error =
                QStringLiteral("envelope item %1 has no valid header").arg(envelope.items.size());
            return false;
        }
        item.type = QByteArray::fromStdString(item.header["type"].get<std::string>());
        pos = lineEnd < 0 ? data.size() : lineEnd + 1;
        const auto length = item.header.find("length");
        if (length != item.header.end()) {
            if (!length->is_number_unsigned() && !length->is_number_integer()) {
                *error = QStringLiteral("envelope item %1 has an invalid length")
                             .arg(envelope.items.size());
                return false;
            }
            const auto bytes = length->get<qint64>();
            if (bytes < 0 || bytes > data.size() - pos) {
                *error = QStringLiteral("envelope item %1 is shorter than its length")
                             .arg(envelope.items.size());
                return false;
            }
            item.payload = data.mid(pos, bytes);
            pos += bytes;
            if (pos < data.size()) {
                if (data[pos] != '\n') {
                    *error = QStringLiteral("envelope item %1 is longer than its length")
                                 .arg(envelope.items.size());
                    return false;
                }
                ++pos;
            }
        } else {
            const qsizetype end = data.indexOf('\n', pos);
            item.payload = data.mid(pos, (end < 0 ? data.size() : end) - pos);
            pos = end < 0 ? data.size() : end + 1;
        }
        envelope.items.push_back(std::move(item));
        if (int(envelope.items.size()) > maxItems) {
            *error = QStringLiteral("envelope has more than %1 items").arg(maxItems);
            return false;
        }
    }
    *out = std::move(envelope);
    return true;
}

bool checkSentryAuth(const QByteArray &header, const QString &expectedKey, QString *error) {
    const QByteArray trimmed = header.trimmed();
    if (!trimmed.startsWith("Sentry ")) {
        *error = QStringLiteral("missing or malformed X-Sentry-Auth header");
        return false;
    }
    QByteArray key;
    QByteArray version;
    for (const QByteArray &field : trimmed.mid(7).split(',')) {
        const qsizetype eq = field.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray name = field.left(eq).trimmed();
        const QByteArray value = field.mid(eq + 1).trimmed();
        if (name == "sentry_key")
            key = value;
        else if (name == "sentry_version")
            version = value;
    }
    if (version != "7") {
        *error = QStringLiteral("unsupported sentry_version");
        return false;
    }
    if (!constantTimeEquals(key, expectedKey.toUtf8())) {
        *error = QStringLiteral("unknown sentry_key");
        return false;
    }
    return true;
}

} // namespace tavrona
