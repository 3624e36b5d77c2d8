#include "shell/crashreport.h"

#include "shell/buildconfig.h"
#include "shell/redaction.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <utility>

namespace crashreport {

namespace {

using Json = nlohmann::ordered_json;

const QString outboxFolder = QStringLiteral("outbox");
const QString envelopeSuffix = QStringLiteral(".envelope");
const QString fatalRecordName = QStringLiteral("fatal.record");
const QString fatalLogName = QStringLiteral("fatal.log");
const QString userFileName = QStringLiteral("user.json");
constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr int shutdownTimeoutMs = 2000;
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

bool truthy(const QByteArray &text) {
    const QByteArray t = text.trimmed().toLower();
    return !t.isEmpty() && t != "0" && t != "false" && t != "off" && t != "no";
}

// ---- Fatal signals -------------------------------------------------------------------------

// Everything the signal handler touches is prepared in advance: file descriptors, the release
// line and a copy buffer. The handler itself only uses async-signal-safe calls.
constexpr int fatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t fatalSignalCount = sizeof(fatalSignals) / sizeof(fatalSignals[0]);
struct sigaction previousActions[fatalSignalCount];
bool handlersInstalled = false;
int fatalRecordFd = -1;
int fatalLogFd = -1;
// The log is opened by name when the signal comes (open() is async-signal-safe): the log may
// have been rotated since start-up, and the current file is the one to keep.
char fatalAttachmentPath[4096];
bool hasAttachmentPath = false;
char releaseLine[512];
std::size_t releaseLineLength = 0;
char copyBuffer[8192];
std::atomic_flag fatalOnce = ATOMIC_FLAG_INIT;
void *alternateStack = nullptr;
constexpr std::size_t alternateStackSize = 64 * 1024;

void writeAll(int fd, const char *data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        length -= std::size_t(written);
    }
}

void writeNumber(int fd, long long number) {
    char digits[24];
    int n = 0;
    const bool negative = number < 0;
    unsigned long long value = negative ? 0ULL - (unsigned long long)number : number;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (negative)
        digits[n++] = '-';
    char text[24];
    for (int i = 0; i < n; ++i)
        text[i] = digits[n - 1 - i];
    writeAll(fd, text, std::size_t(n));
}

void onFatalSignal(int signalNumber, siginfo_t *, void *) {
    const int savedErrno = errno;
    if (!fatalOnce.test_and_set() && fatalRecordFd >= 0) {
        writeAll(fatalRecordFd, "signal ", 7);
        writeNumber(fatalRecordFd, signalNumber);
        writeAll(fatalRecordFd, "\ntime ", 6);
        writeNumber(fatalRecordFd, (long long)::time(nullptr));
        writeAll(fatalRecordFd, "\n", 1);
        writeAll(fatalRecordFd, releaseLine, releaseLineLength);
        ::fsync(fatalRecordFd);
        const int attachmentFd =
            hasAttachmentPath ? ::open(fatalAttachmentPath, O_RDONLY | O_CLOEXEC) : -1;
        if (attachmentFd >= 0 && fatalLogFd >= 0) {
            off_t offset = 0;
            for (;;) {
                const ssize_t got = ::pread(attachmentFd, copyBuffer, sizeof copyBuffer, offset);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    break;
                writeAll(fatalLogFd, copyBuffer, std::size_t(got));
                offset += got;
            }
            ::fsync(fatalLogFd);
        }
        if (attachmentFd >= 0)
            ::close(attachmentFd);
    }
    // Let the signal take its default course: re-raised, it is delivered as soon as this
    // handler returns (and a fault re-executes the faulting instruction anyway).
    struct sigaction defaultAction;
    std::memset(&defaultAction, 0, sizeof defaultAction);
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    ::sigaction(signalNumber, &defaultAction, nullptr);
    ::raise(signalNumber);
    errno = savedErrno;
}

void installSignalHandlers() {
    if (handlersInstalled)
        return;
    if (!alternateStack)
        alternateStack = std::malloc(alternateStackSize);
    if (alternateStack) {
        stack_t stack;
        std::memset(&stack, 0, sizeof stack);
        stack.ss_sp = alternateStack;
        stack.ss_size = alternateStackSize;
        ::sigaltstack(&stack, nullptr);
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < fatalSignalCount; ++i)
        ::sigaction(fatalSignals[i], &action, &previousActions[i]);
    handlersInstalled = true;
}

void removeSignalHandlers() {
    if (!handlersInstalled)
        return;
    for (std::size_t i = 0; i < fatalSignalCount; ++i)
        ::sigaction(fatalSignals[i], &previousActions[i], nullptr);
    handlersInstalled = false;
    hasAttachmentPath = false;
    for (int *fd : {&fatalRecordFd, &fatalLogFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

QString signalName(int signalNumber) {
    switch (signalNumber) {
    case SIGSEGV:
        return QStringLiteral("SIGSEGV");
    case SIGABRT:
        return QStringLiteral("SIGABRT");
    case SIGBUS:
        return QStringLiteral("SIGBUS");
    case SIGFPE:
        return QStringLiteral("SIGFPE");
    case SIGILL:
        return QStringLiteral("SIGILL");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

QVariantMap readUser(const QString &folder) {
    QFile file(folder + QLatin1Char('/') + userFileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const Json json = Json::parse(file.readAll().toStdString(), nullptr, false);
    QVariantMap user;
    if (json.is_object()) {
        for (auto it = json.begin(); it != json.end(); ++it) {
            if (it.value().is_string())
                user.insert(QString::fromStdString(it.key()),
                            QString::fromStdString(it.value().get<std::string>()));
        }
    }
    return user;
}

// ---- Sending --------------------------------------------------------------------------------

// Lives in the crash-report thread: turns events into envelope files in the outbox and sends the
// outbox, oldest first, one request at a time.
class Sender : public QObject {
public:
    Sender(const Dsn &dsn, const QString &outbox, bool debug)
        : dsn(dsn)
        , outbox(outbox)
        , debug(debug)
        , retryTimer(new QTimer(this)) {
        retryTimer->setSingleShot(true);
        QObject::connect(retryTimer, &QTimer::timeout, this, [this] { flush(); });
    }

    void enqueue(const Event &event) {
        Event complete = event;
        if (!attachmentPath.isEmpty()) {
            QFile file(attachmentPath);
            complete.hasAttachment = true;
            complete.attachmentName = QFileInfo(attachmentPath).fileName();
            if (file.open(QIODevice::ReadOnly))
                complete.attachmentData = file.readAll();
        }
        store(buildEnvelope(complete, QDateTime::currentDateTimeUtc()), event.eventId);
        flush();
    }

    void store(const QByteArray &unredacted, const QByteArray &eventId) {
        const QByteArray envelope = redactEnvelope(unredacted);
        // Names sort in the order the events happened, also within one millisecond.
        const QString name = QStringLiteral("%1-%2-%3%4")
                                 .arg(QDateTime::currentMSecsSinceEpoch(), 15, 10, QLatin1Char('0'))
                                 .arg(++sequence, 9, 10, QLatin1Char('0'))
                                 .arg(QString::fromLatin1(eventId), envelopeSuffix);
        QSaveFile file(outbox + QLatin1Char('/') + name);
        // An envelope carries the log: only its owner may read it.
        if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(ownerOnly) ||
            file.write(envelope) != envelope.size() || !file.commit())
            qWarning() << "Crash report could not be stored in" << outbox;
        const QStringList names =
            QDir(outbox).entryList({QLatin1Char('*') + envelopeSuffix}, QDir::Files, QDir::Name);
        qsizetype excess = names.size() - qMax(1, limit);
        for (qsizetype i = 0; i < names.size() && excess > 0; ++i) {
            const QString oldest = outbox + QLatin1Char('/') + names[i];
            if (reply && oldest == currentFile)
                continue; // on its way
            QFile::remove(oldest);
            --excess;
            qWarning() << "Crash-report outbox full, oldest report dropped";
        }
    }

    void flush() {
        // While closing, what is left waits in the outbox for the next start.
        if (closing || reply || retryTimer->isActive())
            return;
        const QStringList names =
            QDir(outbox).entryList({QLatin1Char('*') + envelopeSuffix}, QDir::Files, QDir::Name);
        if (names.isEmpty())
            return;
        currentFile = outbox + QLatin1Char('/') + names.first();
        QFile file(currentFile);
        if (!file.open(QIODevice::ReadOnly)) {
            qWarning() << "Crash report could not be read, dropped:" << currentFile;
            QFile::remove(currentFile);
            QTimer::singleShot(0, this, [this] { flush(); });
            return;
        }
        // Also what an earlier version left in the outbox leaves without its secrets.
        const QByteArray envelope =
            withSentAt(redactEnvelope(file.readAll()), QDateTime::currentDateTimeUtc());
        if (!network)
            network = new QNetworkAccessManager(this);
        QNetworkRequest request(QUrl(dsn.envelopeUrl()));
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/x-sentry-envelope"));
        request.setRawHeader("X-Sentry-Auth", dsn.authHeader());
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        QNetworkReply *posted = network->post(request, envelope);
        reply = posted;
        QObject::connect(posted, &QNetworkReply::finished, this,
                         [this, posted] { finished(posted); });
    }

    void finished(QNetworkReply *done) {
        done->deleteLater();
        if (done != reply)
            return; // given up on during shutdown
        reply = nullptr;
        const int status = done->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 200 && status < 300) {
            if (debug)
                qDebug() << "Crash report sent:" << QFileInfo(currentFile).fileName();
            QFile::remove(currentFile);
            flush();
        } else if (status == 429) {
            const int seconds =
                retryAfterSeconds(done->rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
            if (debug)
                qDebug() << "Crash reports rate-limited for" << seconds << "s";
            retryTimer->start(std::chrono::seconds(seconds));
        } else if (status >= 400 && status < 500) {
            // The service refuses this envelope for good; keeping it would block the outbox.
            qWarning() << "Crash report refused by the service, dropped; status" << status;
            QFile::remove(currentFile);
            flush();
        } else if (debug) {
            // Service down or unreachable: the outbox keeps the envelope for a later attempt.
            qDebug() << "Crash report not sent:" << done->errorString();
        }
    }

    void shutdown() {
        closing = true;
        if (reply) {
            QEventLoop loop;
            QTimer::singleShot(shutdownTimeoutMs, &loop, &QEventLoop::quit);
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (reply) {
            QNetworkReply *pending = reply;
            reply = nullptr;
            QObject::disconnect(pending, nullptr, this, nullptr);
            pending->abort();
            pending->deleteLater();
        }
        retryTimer->stop();
        delete network;
        network = nullptr;
    }

    Dsn dsn;
    QString outbox;
    QString attachmentPath;
    bool debug;
    QNetworkAccessManager *network = nullptr;
    QPointer<QNetworkReply> reply;
    QTimer *retryTimer;
    QString currentFile;
    int limit = 100;
    qint64 sequence = 0;
    bool closing = false;
};

struct State {
    QMutex mutex;
    bool enabled = false;
    Options options;
    Dsn dsn;
    QString folder;
    QVariantMap user;
    QThread *thread = nullptr;
    Sender *sender = nullptr;
};

State &state() {
    static State instance;
    return instance;
}

// Turns the record of a fatal signal left by the previous run into an envelope in the outbox.
void collectFatalRecord(State &s, const QString &attachmentName) {
    const QString recordPath = s.folder + QLatin1Char('/') + fatalRecordName;
    const QString logPath = s.folder + QLatin1Char('/') + fatalLogName;
    QFile record(recordPath);
    if (!record.open(QIODevice::ReadOnly) || record.size() == 0)
        return;
    int signalNumber = 0;
    qint64 time = 0;
    QString release = s.options.release;
    const QList<QByteArray> lines = record.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("signal "))
            signalNumber = line.mid(7).toInt();
        else if (line.startsWith("time "))
            time = line.mid(5).toLongLong();
        else if (line.startsWith("release "))
            release = QString::fromUtf8(line.mid(8));
    }
    record.close();
    Event event;
    event.eventId = newEventId();
    event.timestamp =
        time > 0 ? QDateTime::fromSecsSinceEpoch(time, Qt::UTC) : QDateTime::currentDateTimeUtc();
    event.level = QStringLiteral("fatal");
    event.release = release;
    event.environment = s.options.environment;
    event.user = readUser(s.folder);
    event.exceptionType = signalName(signalNumber);
    event.exceptionValue = QStringLiteral("Fatal signal %1").arg(signalNumber);
    QFile log(logPath);
    if (log.open(QIODevice::ReadOnly)) {
        event.hasAttachment = true;
        event.attachmentName = attachmentName;
        event.attachmentData = log.readAll();
    }
    s.sender->store(buildEnvelope(event, QDateTime::currentDateTimeUtc()), event.eventId);
    QFile::remove(recordPath);
    QFile::remove(logPath);
    qDebug() << "Crash report of the previous run's" << event.exceptionType << "queued";
}

void prepareFatalRecord(State &s, const QString &attachment) {
    const QByteArray record = QFile::encodeName(s.folder + QLatin1Char('/') + fatalRecordName);
    const QByteArray log = QFile::encodeName(s.folder + QLatin1Char('/') + fatalLogName);
    fatalRecordFd = ::open(record.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    fatalLogFd = ::open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const QByteArray encodedAttachment = QFile::encodeName(attachment);
    hasAttachmentPath =
        !attachment.isEmpty() && std::size_t(encodedAttachment.size()) < sizeof fatalAttachmentPath;
    if (hasAttachmentPath)
        std::memcpy(fatalAttachmentPath, encodedAttachment.constData(),
                    std::size_t(encodedAttachment.size()) + 1);
    const QByteArray line = "release " + s.options.release.toUtf8().left(400) + "\n";
    std::memcpy(releaseLine, line.constData(), std::size_t(line.size()));
    releaseLineLength = std::size_t(line.size());
    fatalOnce.clear();
    installSignalHandlers();
}

} // namespace

Options::Options()
    : dsn(qEnvironmentVariable("SENTRY_DSN"))
    , release(qEnvironmentVariable("SENTRY_RELEASE"))
    , debug(truthy(qgetenv("SENTRY_DEBUG")))
    , environment(qEnvironmentVariable("SENTRY_ENVIRONMENT")) {}

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

bool init(const Options &options) {
    close();
    State &s = state();
    QMutexLocker lock(&s.mutex);
    QString error;
    const Dsn dsn = Dsn::parse(options.dsn, &error);
    if (!dsn.isValid()) {
        qWarning() << "Crash reporting disabled:" << error;
        return false;
    }
    s.options = options;
    s.dsn = dsn;
    s.folder = options.databasePath.isEmpty()
                   ? QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
                         QStringLiteral("/crash-reports")
                   : options.databasePath;
    const QString outbox = s.folder + QLatin1Char('/') + outboxFolder;
    if (!QDir().mkpath(outbox))
        qWarning() << "Crash-report outbox could not be created:" << outbox;
    // Reports carry the log: the folder is its owner's only.
    for (const QString &folder : {s.folder, outbox})
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner);
    const QString attachmentPath =
        options.attachment.isEmpty() ? QString() : QFileInfo(options.attachment).absoluteFilePath();

    s.sender = new Sender(dsn, outbox, options.debug);
    s.sender->attachmentPath = attachmentPath;
    s.sender->limit = options.outboxLimit;
    collectFatalRecord(s, options.attachment.isEmpty() ? QStringLiteral("application_output.log")
                                                       : QFileInfo(options.attachment).fileName());
    prepareFatalRecord(s, attachmentPath);

    s.thread = new QThread;
    s.thread->setObjectName(QStringLiteral("crash reports"));
    s.sender->moveToThread(s.thread);
    s.thread->start(QThread::LowPriority);
    // Whatever the previous runs could not deliver goes first.
    QMetaObject::invokeMethod(
        s.sender, [sender = s.sender] { sender->flush(); }, Qt::QueuedConnection);
    s.enabled = true;
    if (options.debug)
        qDebug() << "Crash reporting to" << dsn.envelopeUrl() << "release" << options.release;
    return true;
}

void captureException(const QString &type, const QString &value) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    if (!s.enabled)
        return;
    Event event;
    event.eventId = newEventId();
    event.timestamp = QDateTime::currentDateTimeUtc();
    event.level = QStringLiteral("error");
    event.release = s.options.release;
    event.environment = s.options.environment;
    event.user = s.user;
    event.exceptionType = type;
    event.exceptionValue = value;
    QMetaObject::invokeMethod(
        s.sender, [sender = s.sender, event] { sender->enqueue(event); }, Qt::QueuedConnection);
}

void setUser(const QVariantMap &user) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.user = user;
    if (!s.enabled)
        return;
    // Kept on disk so that a fatal signal reported at the next start names the same user.
    QSaveFile file(s.folder + QLatin1Char('/') + userFileName);
    if (file.open(QIODevice::WriteOnly) && file.setPermissions(ownerOnly)) {
        file.write(dump(toJson(user)));
        file.commit();
    }
}

void close() {
    State &s = state();
    QThread *thread;
    Sender *sender;
    {
        // Released before waiting for the sender: a thread reporting meanwhile must not block
        // the shutdown, it only finds reporting disabled.
        QMutexLocker lock(&s.mutex);
        if (!s.thread)
            return;
        s.enabled = false;
        thread = std::exchange(s.thread, nullptr);
        sender = std::exchange(s.sender, nullptr);
    }
    QMetaObject::invokeMethod(
        sender, [sender] { sender->shutdown(); }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete sender;
    delete thread;
    removeSignalHandlers();
    // A clean end leaves no fatal record behind.
    QFile::remove(s.folder + QLatin1Char('/') + fatalRecordName);
    QFile::remove(s.folder + QLatin1Char('/') + fatalLogName);
}

} // namespace crashreport
