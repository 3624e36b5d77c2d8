#pragma once

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

#include <vector>

namespace tavrona {

struct EnvelopeItem {
    QByteArray type;
    nlohmann::json header;
    QByteArray payload;
};

struct Envelope {
    nlohmann::json header;
    std::vector<EnvelopeItem> items;

    QString eventId() const;
    // "Type: value" of the first exception of an event item, or its message, or empty.
    QString summary() const;
};

// Parses a crash-report envelope: a JSON header line, then items of a JSON header line and a
// payload that is "length" bytes long when the header says so, else runs to the line end.
bool parseEnvelope(const QByteArray &data, Envelope *out, QString *error, int maxItems = 100);

// Checks an X-Sentry-Auth header ("Sentry sentry_version=7, sentry_client=…, sentry_key=…").
bool checkSentryAuth(const QByteArray &header, const QString &expectedKey, QString *error);

} // namespace tavrona
