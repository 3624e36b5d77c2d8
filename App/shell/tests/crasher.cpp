// Helper of tst_crashreport: starts crash reporting, then dies of the signal named on the command
// line. Arguments: DSN, crash-report folder, attachment path, "segv" or "abort".
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
    // Written after start-up: the record must hold the log as it was at the moment of the crash.
    log.write("last words\n");
    log.flush();

    if (args[4] == QLatin1String("segv")) {
        volatile int *volatile nowhere = nullptr;
        *nowhere = 1;
    } else if (args[4] == QLatin1String("abort")) {
        std::abort();
    }
    return 5;
}
