// Helper of tst_crashreport: starts crash reporting, then dies of the signal named on the command
// line. Arguments: DSN, crash-report folder, attachment path, "segv" or "abort", optionally
// followed by "-rotated": the log is moved aside after start-up and a new one begun, as a long
// run's log is.
#include "shell/crashreport.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdlib>
#include <sys/resource.h>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;
    // No core files from the deliberate crash.
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    QFile log(args[3]);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 3;
    log.write("before the crash\n");
    log.flush();

    crashreport::Options options;
    options.dsn = args[1];
    options.release = QStringLiteral("mireva@crash-test");
    options.attachment = args[3];
    options.databasePath = args[2];
    if (!crashreport::init(options))
        return 4;
    crashreport::setUser({{QStringLiteral("email"), QStringLiteral("anna@example.org")},
                          {QStringLiteral("ip_address"), QStringLiteral("{{auto}}")}});
    if (args[4].endsWith(QLatin1String("-rotated"))) {
        log.close();
        if (!QFile::rename(args[3], args[3] + QStringLiteral(".1")) ||
            !log.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 6;
    }
    // Written after start-up: the record must hold the log as it was at the moment of the crash.
    // The log was written by hand here, with a secret in it, which no report may carry.
    log.write("last words, signature=deadbeef01\n");
    log.flush();

    const QString mode = args[4].section(QLatin1Char('-'), 0, 0);
    if (mode == QLatin1String("segv")) {
        volatile int *volatile nowhere = nullptr;
        *nowhere = 1;
    } else if (mode == QLatin1String("abort")) {
        std::abort();
    }
    return 5;
}
