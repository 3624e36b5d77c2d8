#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVariantMap>

// Crash reporting: events with one exception, the user they concern and the log file attached,
// sent as envelopes to the crash-reporting service named by a DSN. Sending happens in a thread of
// its own; envelopes that cannot be delivered wait in an outbox folder for the next start. Fatal
// signals are recorded while the process dies and reported at the next start.
namespace crashreport {

struct Options {
    // Defaults come from the variables SENTRY_DSN, SENTRY_RELEASE, SENTRY_DEBUG and
    // SENTRY_ENVIRONMENT; the caller overrides what it sets.
    Options();

    QString dsn;
    QString release;
    bool debug = false;
    // Path of a file attached to every event (relative paths are taken from the current folder).
    QString attachment;
    QString environment;
    // Folder for the outbox and the fatal-signal record; empty means a folder under the
    // application's local data location.
    QString databasePath;
    // Most envelopes kept in the outbox; the oldest go first when a service stays unreachable,
    // since each one carries the whole log.
    int outboxLimit = 100;
};

// A parsed DSN: {protocol}://{public_key}[:{secret}]@{host}[:{port}]{path}/{project_id}.
struct Dsn {
    QString scheme;
    QString publicKey;
    QString secretKey;
    QString host;
    int port = -1;
    QString path;
    QString projectId;

    bool isValid() const { return !scheme.isEmpty(); }
    // {protocol}://{host}[:{port}]{path}/api/{project_id}/envelope/
    QString envelopeUrl() const;
    // Value of the X-Sentry-Auth header.
    QByteArray authHeader() const;

    // Returns an invalid Dsn (and the reason in *error) when the text is empty or malformed.
    static Dsn parse(const QString &text, QString *error = nullptr);
};

struct Event {
    QByteArray eventId; // 32 lower-case hex digits
    QDateTime timestamp;
    QString level; // "error" or "fatal"
    QString release;
    QString environment;
    QVariantMap user;
    QString exceptionType;
    QString exceptionValue;
    bool hasAttachment = false;
    QString attachmentName;
    QByteArray attachmentData;
};

// The client name sent in X-Sentry-Auth.
QByteArray clientName();
// A new random event id (32 lower-case hex digits).
QByteArray newEventId();
// Serialises one event (and its attachment) as an envelope.
QByteArray buildEnvelope(const Event &event, const QDateTime &sentAt);
// Replaces the envelope header's sent_at (used when an envelope leaves the outbox).
QByteArray withSentAt(const QByteArray &envelope, const QDateTime &sentAt);
// Cuts the secrets out of every item of an envelope (see redaction.h) and mends the items'
// lengths. Every envelope goes through it before it is stored and again before it is sent, so
// no secret leaves the machine, whatever wrote the envelope.
QByteArray redactEnvelope(const QByteArray &envelope);

// The longest wait the service may ask for after refusing an envelope with status 429.
inline constexpr int maxRetryAfterS = 24 * 60 * 60;
// Seconds to wait from a Retry-After header (seconds, or an HTTP date after now), clamped to
// 0 ... maxRetryAfterS however large the number; 60 when the header is missing or unreadable.
int retryAfterSeconds(const QByteArray &header, const QDateTime &now);

// Starts crash reporting. Returns false (after logging one line) when the DSN is empty or
// malformed; the other calls then do nothing.
bool init(const Options &options);
// Sends one event with one exception value of the given type; returns at once.
void captureException(const QString &type, const QString &value);
// The user attached to the following events, e.g. {"ip_address": "{{auto}}", "email": ...}.
void setUser(const QVariantMap &user);
// Waits briefly for envelopes on their way, leaves the rest in the outbox and stops.
void close();

} // namespace crashreport
