#include "shell/logging.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
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
    }
}

} // namespace

QString formatLine(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    return QCoreApplication::translate("QObject", "%1 | %2 | %3 | %4 | %5 | %6\n")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("dd-MM-yyyy hh:mm:ss")),
             levelNames.value(type), QString::number(context.line), fileNameOnly(context.file),
             bareFunctionName(context.function), message);
}

void setup(const QString &fileName) {
    QMutexLocker lock(&logMutex());
    if (setupDone)
        return;
    logFile = new QFile(fileName);
    // A file that cannot be opened leaves the log on standard error only.
    logFile->open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate);
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
