#include "program/entry.h"

#include "camera/frameinfo.h"
#include "program/facades.h"
#include "service/scan.h"
#include "shell/application.h"
#include "shell/crashreport.h"
#include "shell/logging.h"
#include "shell/metatypes.h"
#include "shell/settings.h"
#include "ui/quickfuture.h"

#include <QDebug>
#include <QDir>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QStandardPaths>
#include <QThread>

#include <cstdlib>
#include <exception>

namespace {
const QString logFileName = QStringLiteral("application_output.log");
const QString organizationName = QStringLiteral("Tavrona");
const QString applicationName = QStringLiteral("Mireva");
} // namespace

int mirevaMain(int argc, char *argv[], const QUrl &mainQml, const QString &crashDsn) {
    // 1: the application's names are set only later (they select the settings store), so the
    // folder of its local data is named here. The log lives there, not in whatever folder the
    // program was started from.
    const QString dataFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/') +
        organizationName + QLatin1Char('/') + applicationName;
    const QString logPath = dataFolder + QLatin1Char('/') + logFileName;
    logging::setup(logPath);

    // 2
    Application app(argc, argv);

    // 3
    crashreport::Options crashOptions;
    crashOptions.dsn = crashDsn;
    crashOptions.release = QStringLiteral("mireva@%1").arg(QCoreApplication::applicationVersion());
#ifndef QT_NO_DEBUG
    // The crash layer's own diagnostics; a release build writes them only when SENTRY_DEBUG
    // asks for them.
    crashOptions.debug = true;
#endif
    crashOptions.attachment = logPath;
    crashOptions.databasePath = dataFolder + QStringLiteral("/crash-reports");
    crashreport::init(crashOptions);

    // 4
    QThread::currentThread()->setPriority(QThread::HighestPriority);

    // 5
    qDebug() << QDir::currentPath();
    qDebug() << "Log file" << logPath;

    // 6
    QCoreApplication::setOrganizationDomain(QStringLiteral(MIREVA_ORGANIZATION_DOMAIN));
    QCoreApplication::setOrganizationName(organizationName);
    QCoreApplication::setApplicationName(applicationName);

    // 7
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/icon-transparent-256.png")));

    // 8
    QQuickStyle::setStyle(QStringLiteral("Imagine"));

    // 9
    QQmlApplicationEngine engine;

    // 10
    Settings settings(&engine);
    Facades facades(&settings);

    // 11
    qRegisterMetaType<cv::Mat>();
    qRegisterMetaType<cv::Point2d>("cv::Point_<double>");
    qRegisterMetaType<FrameInfo>("FrameInfo");
    QuickFuture::registerType<cv::Mat>();
    QuickFuture::registerType<Scan *>();

    // 12
    QQmlContext *context = engine.rootContext();
    context->setContextProperty(QStringLiteral("settings"), &settings);
    context->setContextProperty(QStringLiteral("cameraThread"), &facades.camera);
    context->setContextProperty(QStringLiteral("smallBuilderThread"), &facades.smallBuilder);
    context->setContextProperty(QStringLiteral("bigBuilderThread"), &facades.bigBuilder);
    context->setContextProperty(QStringLiteral("apiThread"), &facades.api);

    // 13
    engine.addImportPath(QStringLiteral("qrc:///"));

    // 14
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [mainQml](QObject *object, const QUrl &url) {
            if (!object && url == mainQml) {
                qDebug() << "QML Application error, stopping";
                QCoreApplication::exit(-1);
            }
        },
        Qt::QueuedConnection);

    // 15
    engine.load(mainQml);

    // 16
    int status = 0;
    try {
        status = QApplication::exec();
        if (const auto exception = app.lastException())
            throw *exception;
    } catch (const std::exception &e) {
        qWarning() << "Runtime exception: " << e.what();
        status = 1;
    } catch (...) {
        qWarning() << "Unknown runtime exception";
        status = 1;
    }

    // 17
    facades.stop();

    // 18
    logging::close();

    // 19
    crashreport::close();

    // 20: the application, the engine and the context objects are left to process exit.
    std::exit(status);
}
