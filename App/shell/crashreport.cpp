// Crash reporting as the program uses it: the one reporter of the process (its options, the
// user, the outbox's thread) and its start, events and end. The fatal-signal handler
// (crashsignals.cpp), the outbox and its sender (crashoutbox.cpp) and the envelopes
// (crashenvelope.cpp) live beside it.
#include "shell/crashreport.h"

#include "crashoutbox_p.h"
#include "crashsignals_p.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QThread>

#include <utility>

namespace crashreport {

namespace {

const QString outboxFolder = QStringLiteral("outbox");

bool truthy(const QByteArray &text) {
    const QByteArray t = text.trimmed().toLower();
    return !t.isEmpty() && t != "0" && t != "false" && t != "off" && t != "no";
}

// The reporter: set up by init(), used from any thread, ended by close().
struct State {
    QMutex mutex;
    bool enabled = false;
    Options options;
    Dsn dsn;
    QString folder;
    QVariantMap user;
    QThread *thread = nullptr;
    Outbox *outbox = nullptr;
};

State &state() {
    static State instance;
    return instance;
}

// Turns the record of a fatal signal left by the previous run into an envelope in the outbox.
void collectFatalRecord(State &s, const QString &attachmentName) {
    const std::optional<fatal::FatalRecord> record = fatal::read(s.folder);
    if (!record)
        return;
    Event event;
    event.eventId = newEventId();
    event.timestamp = record->time > 0 ? QDateTime::fromSecsSinceEpoch(record->time, Qt::UTC)
                                       : QDateTime::currentDateTimeUtc();
    event.level = QStringLiteral("fatal");
    event.release = record->release.value_or(s.options.release);
    event.environment = s.options.environment;
    event.user = record->user;
    event.exceptionType = fatal::signalName(record->signalNumber);
    event.exceptionValue = QStringLiteral("Fatal signal %1").arg(record->signalNumber);
    if (record->log) {
        event.hasAttachment = true;
        event.attachmentName = attachmentName;
        event.attachmentData = *record->log;
    }
    s.outbox->store(buildEnvelope(event, QDateTime::currentDateTimeUtc()), event.eventId);
    fatal::clear(s.folder);
    qDebug() << "Crash report of the previous run's" << event.exceptionType << "queued";
}

} // namespace

Options::Options()
    : dsn(qEnvironmentVariable("SENTRY_DSN"))
    , release(qEnvironmentVariable("SENTRY_RELEASE"))
    , debug(truthy(qgetenv("SENTRY_DEBUG")))
    , environment(qEnvironmentVariable("SENTRY_ENVIRONMENT")) {}

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

    s.outbox = new Outbox(dsn, outbox, options.debug);
    s.outbox->attachmentPath = attachmentPath;
    s.outbox->limit = options.outboxLimit;
    collectFatalRecord(s, options.attachment.isEmpty() ? QStringLiteral("application_output.log")
                                                       : QFileInfo(options.attachment).fileName());
    fatal::arm(s.folder, attachmentPath, options.release);

    s.thread = new QThread;
    s.thread->setObjectName(QStringLiteral("crash reports"));
    s.outbox->moveToThread(s.thread);
    s.thread->start(QThread::LowPriority);
    // Whatever the previous runs could not deliver goes first.
    QMetaObject::invokeMethod(
        s.outbox, [outbox = s.outbox] { outbox->flush(); }, Qt::QueuedConnection);
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
        s.outbox, [outbox = s.outbox, event] { outbox->enqueue(event); }, Qt::QueuedConnection);
}

void setUser(const QVariantMap &user) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.user = user;
    if (!s.enabled)
        return;
    // Kept on disk so that a fatal signal reported at the next start names the same user.
    fatal::saveUser(s.folder, user);
}

void close() {
    State &s = state();
    QThread *thread;
    Outbox *outbox;
    {
        // Released before waiting for the sender: a thread reporting meanwhile must not block
        // the shutdown, it only finds reporting disabled.
        QMutexLocker lock(&s.mutex);
        if (!s.thread)
            return;
        s.enabled = false;
        thread = std::exchange(s.thread, nullptr);
        outbox = std::exchange(s.outbox, nullptr);
    }
    QMetaObject::invokeMethod(
        outbox, [outbox] { outbox->shutdown(); }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete outbox;
    delete thread;
    fatal::disarm();
    // A clean end leaves no fatal record behind.
    fatal::clear(s.folder);
}

} // namespace crashreport
