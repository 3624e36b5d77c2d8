#include "serveroptions.h"
#include "tavronaserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// SIGINT and SIGTERM end the event loop, so the database is closed properly; the handler only
// writes a byte, the rest happens in the event loop.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[0], &byte, 1);
}

} // namespace

int main(int argc, char *argv[]) {
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss} %{if-warning}warning: "
                                      "%{endif}%{if-critical}error: %{endif}%{message}"));
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tavrona"));
    QCoreApplication::setApplicationName(QStringLiteral("tavrona-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    tavrona::ServerOptions options;
    QString error;
    const bool parsed = tavrona::parseServerOptions(parser, app.arguments(), &options, &error);
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parsed) {
        std::fprintf(stderr, "tavrona-server: %s\nTry tavrona-server --help.\n", qPrintable(error));
        return 2;
    }

    tavrona::TavronaServer server(options);
    if (!server.start(&error)) {
        std::fprintf(stderr, "tavrona-server: %s\n", qPrintable(error));
        return 1;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
            char byte = 0;
            [[maybe_unused]] const auto got = ::read(signalPipe[1], &byte, 1);
            std::fprintf(stderr, "tavrona-server: stopping\n");
            QCoreApplication::quit();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    // Scripts and tests read the address from this line (with --port 0 it names the port).
    std::printf("Tavrona server listening on %s (data in %s; demo account %s)\n",
                qPrintable(server.baseUrl()), qPrintable(options.dataDir),
                qPrintable(tavrona::TavronaServer::demoEmail()));
    std::fflush(stdout);
    return app.exec();
}
