// The fatal-signal handler and the record it leaves for the next start.
#include "crashsignals_p.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace crashreport::fatal {

namespace {

const QString recordName = QStringLiteral("fatal.record");
const QString logName = QStringLiteral("fatal.log");
const QString userFileName = QStringLiteral("user.json");

QString path(const QString &folder, const QString &name) {
    return folder + QLatin1Char('/') + name;
}

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

QVariantMap readUser(const QString &folder) {
    QFile file(path(folder, userFileName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    QVariantMap user;
    for (auto it = json.begin(); it != json.end(); ++it) {
        if (it.value().isString())
            user.insert(it.key(), it.value().toString());
    }
    return user;
}

} // namespace

void arm(const QString &folder, const QString &attachmentPath, const QString &release) {
    const QByteArray record = QFile::encodeName(path(folder, recordName));
    const QByteArray log = QFile::encodeName(path(folder, logName));
    fatalRecordFd = ::open(record.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    fatalLogFd = ::open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const QByteArray encodedAttachment = QFile::encodeName(attachmentPath);
    hasAttachmentPath = !attachmentPath.isEmpty() &&
                        std::size_t(encodedAttachment.size()) < sizeof fatalAttachmentPath;
    if (hasAttachmentPath)
        std::memcpy(fatalAttachmentPath, encodedAttachment.constData(),
                    std::size_t(encodedAttachment.size()) + 1);
    const QByteArray line = "release " + release.toUtf8().left(400) + "\n";
    std::memcpy(releaseLine, line.constData(), std::size_t(line.size()));
    releaseLineLength = std::size_t(line.size());
    fatalOnce.clear();
    installSignalHandlers();
}

void disarm() {
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

std::optional<FatalRecord> read(const QString &folder) {
    QFile file(path(folder, recordName));
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return std::nullopt;
    FatalRecord record;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("signal "))
            record.signalNumber = line.mid(7).toInt();
        else if (line.startsWith("time "))
            record.time = line.mid(5).toLongLong();
        else if (line.startsWith("release "))
            record.release = QString::fromUtf8(line.mid(8));
    }
    file.close();
    record.user = readUser(folder);
    QFile log(path(folder, logName));
    if (log.open(QIODevice::ReadOnly))
        record.log = log.readAll();
    return record;
}

void clear(const QString &folder) {
    QFile::remove(path(folder, recordName));
    QFile::remove(path(folder, logName));
}

void saveUser(const QString &folder, const QVariantMap &user) {
    QSaveFile file(path(folder, userFileName));
    if (file.open(QIODevice::WriteOnly) &&
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file.write(QJsonDocument(QJsonObject::fromVariantMap(user)).toJson(QJsonDocument::Compact));
        file.commit();
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

} // namespace crashreport::fatal
