#pragma once

#include "shell/buildconfig.h"

#include <QString>
#include <QUrl>

// The program's entry function: sets up the log and crash reporting, creates the application,
// the QML engine and the long-lived context objects, loads the main window, runs the event loop,
// stops the worker threads in a fixed order and ends the process with exit() (it does not
// return). The main window and the crash-reporting DSN can be replaced for tests.
int mirevaMain(int argc, char *argv[],
               const QUrl &mainQml = QUrl(QStringLiteral("qrc:/qml/MainWindow.qml")),
               const QString &crashDsn = QStringLiteral(MIREVA_CRASH_DSN));
