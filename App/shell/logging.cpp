#include "shell/logging.h"

#include "shell/redaction.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>

namespace logging {

namespace {

// Built during static initialisation, before any thread exists; only read afterwards.
const QHash<QtMsgType, QString> levelNames = {
    {QtDebugMsg, QStringLiteral(" Debug  ")},   {QtInfoMsg, QStringLiteral("  Info  ")},
    {QtWarningMsg, QStringLiteral("Warning ")}, {QtCriticalMsg, QStringLiteral("Critical")},
    {QtFatalMsg, QStringLiteral(" Fatal  ")},
};

// One lock for the whole process, so lines from different threads never interleave.
QMutex &logMutex() {
    static QMutex mutex;
    return mutex;
}

QFile *logFile = nullptr;
bool setupDone = false;
Rotation rotation;

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// name.log -> name.1.log -> ... -> name.<keep>.log; the oldest is dropped.
void moveAside(const QString &fileName) {
    if (rotation.keep <= 0) {
        QFile::remove(fileName);
        return;
    }
    QFile::remove(rotatedName(fileName, rotation.keep));
    for (int n = rotation.keep - 1; n >= 1; --n)
        QFile::rename(rotatedName(fileName, n), rotatedName(fileName, n + 1));
    QFile::rename(fileName, rotatedName(fileName, 1));
}

// Opens a new, empty log file that only its owner may read. Called with the log lock held.
void openNew(QFile &file) {
    // A file that cannot be moved aside is emptied instead.
    file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate, ownerOnly);
    if (file.isOpen())
        file.setPermissions(ownerOnly);
}

QString fileNameOnly(const char *file) {
    QString name = QString::fromUtf8(file ? file : "");
    // Source paths come with either separator depending on the compiler's platform.
    const qsizetype cut =
        qMax(name.lastIndexOf(QLatin1Char('\\')), name.lastIndexOf(QLatin1Char('/')));
    return cut < 0 ? name : name.mid(cut + 1);
}

// "void __cdecl Foo::bar(int)" -> "bar"
QString bareFunctionName(const char *function) {
    QString name = QString::fromUtf8(function ? function : "");
    const qsizetype parenthesis = name.lastIndexOf(QLatin1Char('('));
    if (parenthesis >= 0)
        name = name.left(parenthesis);
    name = name.mid(name.lastIndexOf(QLatin1Char(' ')) + 1);
    return name.mid(name.lastIndexOf(QLatin1Char(':')) + 1);
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    const QString line = formatLine(type, context, message);
    QMutexLocker lock(&logMutex());
    const QByteArray utf8 = line.toUtf8();
    std::fwrite(utf8.constData(), 1, std::size_t(utf8.size()), stderr);
    std::fflush(stderr);
    if (logFile && logFile->isOpen()) {
        logFile->write(line.toLocal8Bit());
        logFile->flush();
        // A long run begins a new file now and then, so the logs stay bounded.
        if (rotation.maxBytes > 0 && logFile->pos() >= rotation.maxBytes) {
            logFile->close();
            moveAside(logFile->fileName());
            openNew(*logFile);
        }
    }
}

} // namespace

QString formatLine(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    return QCoreApplication::translate("QObject", "%1 | %2 | %3 | %4 | %5 | %6\n")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("dd-MM-yyyy hh:mm:ss")),
             levelNames.value(type), QString::number(context.line), fileNameOnly(context.file),
             bareFunctionName(context.function), redaction::redact(message));
}

QString rotatedName(const QString &fileName, int n) {
    const QFileInfo info(fileName);
    const QString suffix = info.suffix();
    const QString base = info.path() + QLatin1Char('/') + info.completeBaseName();
    return suffix.isEmpty() ? QStringLiteral("%1.%2").arg(base).arg(n)
                            : QStringLiteral("%1.%2.%3").arg(base).arg(n).arg(suffix);
}

void setup(const QString &fileName, Rotation withRotation) {
    QMutexLocker lock(&logMutex());
    if (setupDone)
        return;
    rotation = withRotation;
    QDir().mkpath(QFileInfo(fileName).absolutePath());
    if (QFileInfo(fileName).size() > 0)
        moveAside(fileName);
    logFile = new QFile(fileName);
    // A file that cannot be opened leaves the log on standard error only.
    openNew(*logFile);
    qInstallMessageHandler(handleMessage);
    setupDone = true;
}

void close() {
    QMutexLocker lock(&logMutex());
    if (!logFile)
        return;
    logFile->close();
    delete logFile;
    logFile = nullptr;
}

} // namespace logging
