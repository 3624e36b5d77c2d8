#include "shell/application.h"

#include "shell/buildconfig.h"
#include "shell/crashreport.h"

#include <QDebug>
#include <QMutexLocker>

#include <exception>

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv) {
    // Linux executables carry no version resource; the build provides it.
    setApplicationVersion(QStringLiteral(MIREVA_VERSION));
}

Application::~Application() = default;

bool Application::notify(QObject *receiver, QEvent *event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        qWarning() << "Runtime exception: " << e.what();
        recordException(std::runtime_error(e.what()));
        crashreport::captureException(QStringLiteral("Runtime exception"),
                                      QString::fromUtf8(e.what()));
    } catch (...) {
        qWarning() << "Unknown runtime exception";
        recordException(std::runtime_error("Unknown error"));
        crashreport::captureException(QStringLiteral("Unknown runtime exception"), QString());
    }
    return true;
}

std::optional<std::runtime_error> Application::lastException() const {
    QMutexLocker lock(&exceptionMutex);
    return exception;
}

void Application::recordException(const std::runtime_error &exception) {
    QMutexLocker lock(&exceptionMutex);
    this->exception = exception;
}
