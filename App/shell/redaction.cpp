#include "shell/redaction.h"

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace redaction {

namespace {

constexpr qsizetype shortestSecret = 4;
constexpr qsizetype mostSecrets = 64;

// Key names whose values are secret: anything that names a token, secret, password, signature,
// credential, key or code of a log-in, and the headers that carry credentials.
const QString secretKey = QStringLiteral(
    "(?:[\\w.-]*?(?:token|secret|passw(?:or)?d|signature|credential|api[_-]?key|"
    "access[_-]?key(?:[_-]?id)?|private[_-]?key|activation[_-]?code|device[_-]?code|"
    "user[_-]?code|session[_-]?id)[\\w.-]*|sig|authorization|proxy-authorization|cookie|"
    "set-cookie|x-sentry-auth)");
// In query and form strings "code" is the code of a log-in (OAuth and device flows).
const QString secretQueryKey = QStringLiteral("(?:") + secretKey + QStringLiteral("|code)");
// A value that is already the mask is left alone, so redacting twice changes nothing.
const QString notMasked = QStringLiteral("(?!\\[redacted\\])");

// Each pattern has a group named "value": the part that is cut out.
QStringList patternTexts() {
    return {
        // "key": "value", also with the quotes escaped (\"key\": \"value\") as debug streams
        // and JSON strings render them, and "key", "value" as a pair of strings.
        QStringLiteral("(?<q>\\\\*[\"'])") + secretKey +
            QStringLiteral("\\k<q>\\s*[:=,]\\s*(?<vq>\\\\*[\"'])(?<value>.*?)\\k<vq>"),
        // "key": 12345 (a value that is not a string).
        QStringLiteral("(?<q>\\\\*[\"'])") + secretKey +
            QStringLiteral("\\k<q>\\s*:\\s*(?<value>-?[\\w.+-]+)"),
        // key=value in query strings, forms and headers such as X-Sentry-Auth.
        QStringLiteral("(?<![\\w.%-])") + secretQueryKey + QStringLiteral("=") + notMasked +
            QStringLiteral("(?<value>[^&\\s\"'#;,\\\\<>)\\]]+)"),
        // <SignatureProvided>value</SignatureProvided>, as storage services echo a request.
        QStringLiteral("<(?<tag>") + secretKey + QStringLiteral(")>") + notMasked +
            QStringLiteral("(?<value>[^<]+)</\\k<tag>>"),
        // Header lines.
        QStringLiteral("(?<![\\w-])(?:authorization|proxy-authorization|x-api-token|cookie|"
                       "set-cookie|x-sentry-auth)\\s*:\\s*+") +
            notMasked + QStringLiteral("(?<value>[^\\r\\n\"\\\\]+)"),
        // The password in a URL's user information.
        QStringLiteral("(?<![\\w+.-])[a-z][\\w+.-]*://[^\\s/?#@:\"'\\\\]*:(?<value>[^\\s/?#@\"'"
                       "\\\\]+)@"),
        // Credentials of HTTP authentication schemes.
        QStringLiteral("\\b(?:bearer|basic)\\s++") + notMasked +
            QStringLiteral("(?<value>[\\w.~+/=-]{8,})"),
    };
}

// Compiled once per thread: a QRegularExpression is reentrant, not thread-safe.
const QList<QRegularExpression> &patterns() {
    thread_local const QList<QRegularExpression> compiled = [] {
        QList<QRegularExpression> list;
        for (const QString &text : patternTexts())
            list.append(QRegularExpression(text, QRegularExpression::CaseInsensitiveOption));
        return list;
    }();
    return compiled;
}

struct Registry {
    QMutex mutex;
    // Newest last.
    QList<QString> values;
    // What to look for, longest first (so a value that contains another is cut whole): the
    // forms the values take in text, and the same as UTF-8 bytes read as Latin-1. Made when a
    // value is added, so a log line only copies them.
    QStringList textForms;
    QStringList byteForms;
};

Registry &registry() {
    static Registry instance;
    return instance;
}

// The forms a value takes: as it is and percent-encoded (in URLs and forms).
QStringList formsOf(const QString &value) {
    QStringList forms{value};
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(value));
    if (encoded != value)
        forms.append(encoded);
    return forms;
}

QString cutPatterns(QString text) {
    for (const QRegularExpression &pattern : patterns()) {
        QString out;
        qsizetype copied = 0;
        QRegularExpressionMatchIterator it = pattern.globalMatch(text);
        if (!it.hasNext())
            continue;
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            const qsizetype start = match.capturedStart(QStringLiteral("value"));
            const qsizetype end = match.capturedEnd(QStringLiteral("value"));
            if (start < copied || end <= start)
                continue;
            out += QStringView(text).mid(copied, start - copied);
            out += mask;
            copied = end;
        }
        out += QStringView(text).mid(copied);
        text = out;
    }
    return text;
}

// The registered values, as text or as bytes represent them.
QStringList registeredForms(bool asUtf8Bytes) {
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    return asUtf8Bytes ? r.byteForms : r.textForms;
}

void remakeForms(Registry &r) {
    r.textForms.clear();
    for (const QString &value : std::as_const(r.values))
        r.textForms += formsOf(value);
    std::sort(r.textForms.begin(), r.textForms.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    r.byteForms.clear();
    for (const QString &form : std::as_const(r.textForms))
        r.byteForms.append(QString::fromLatin1(form.toUtf8()));
}

QString redactWith(QString text, const QStringList &forms) {
    for (const QString &form : forms)
        text.replace(form, mask);
    return cutPatterns(std::move(text));
}

} // namespace

bool isSecretName(const QString &name) {
    thread_local const QRegularExpression whole(QStringLiteral("^") + secretQueryKey +
                                                    QStringLiteral("$"),
                                                QRegularExpression::CaseInsensitiveOption);
    return whole.match(name).hasMatch();
}

QString redact(const QString &text) {
    return redactWith(text, registeredForms(false));
}

QByteArray redactBytes(const QByteArray &bytes) {
    // Latin-1 maps every byte to one character and back, so the bytes outside the secrets come
    // back unchanged whatever their encoding; the patterns only need ASCII.
    return redactWith(QString::fromLatin1(bytes), registeredForms(true)).toLatin1();
}

void addSecret(const QString &value) {
    if (value.size() < shortestSecret)
        return;
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    r.values.removeAll(value);
    r.values.append(value);
    while (r.values.size() > mostSecrets)
        r.values.removeFirst();
    remakeForms(r);
}

void clearSecrets() {
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    r.values.clear();
    remakeForms(r);
}

} // namespace redaction
