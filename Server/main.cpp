#include "serveroptions.h"
#include "tavronaserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

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
    // Scripts and tests read the address from this line (with --port 0 it names the port).
    std::printf("Tavrona server listening on %s (data in %s; demo account %s)\n",
                qPrintable(server.baseUrl()), qPrintable(options.dataDir),
                qPrintable(tavrona::TavronaServer::demoEmail()));
    std::fflush(stdout);
    return app.exec();
}
