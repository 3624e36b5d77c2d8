#pragma once

#include <QByteArray>
#include <QString>

// Keeps secrets out of everything the program writes down or sends for diagnosis: the log
// (standard error and the file) and crash reports. A secret is cut out where it stands and the
// rest of the text is kept, so a line still says what happened:
// - values of secret-looking keys in JSON (also as a debug stream quotes it, with \"), in form
//   and query strings, in XML elements and in header lines: tokens, activation and device
//   codes, passwords, signatures and credentials of presigned URLs, Authorization and cookies;
// - the password of a URL's user information, and Bearer/Basic credentials;
// - every value the program registered as secret (the service token, the activation code), in
//   whatever form it appears, plain or percent-encoded.
// Safe to call from any thread.
namespace redaction {

// What a secret is replaced with.
inline constexpr QLatin1StringView mask{"[redacted]"};

QString redact(const QString &text);
// The same on bytes of any encoding (log files, envelopes); bytes outside secrets stay as they
// were.
QByteArray redactBytes(const QByteArray &bytes);

// Whether a key, query item, form field, header or element of that name holds a secret.
bool isSecretName(const QString &name);

// From now on the value is cut out wherever it appears. Values shorter than four characters
// are ignored (they would cut common text); the most recent values are kept.
void addSecret(const QString &value);
// Forgets the registered values (tests).
void clearSecrets();

} // namespace redaction
