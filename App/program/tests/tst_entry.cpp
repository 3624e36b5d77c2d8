#include "loopbackreceiver.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Runs the entry function in a helper process (tst_program_app) with test main windows, in a
// temporary working folder with its own settings and data folders, and a loopback receiver for
// crash reports.
class TestEntry : public QObject {
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void TestEntry::run_data() {
    QTest::addColumn<QString>("mainQml");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("linesInOrder"); // line endings after the location fields
    QTest::addColumn<QStringList>("events");       // "type: value" of each crash report

    const QString qmlDir = QStringLiteral(PROGRAM_TEST_QML_DIR);
    QTest::newRow("window closed")
        << QUrl::fromLocalFile(qmlDir + QStringLiteral("/closes.qml")).toString() << 0
        << QStringList({"settings reachable, service at http://127.0.0.1:8750/"}) << QStringList();
    QTest::newRow("exception in a worker slot")
        << QUrl::fromLocalFile(qmlDir + QStringLiteral("/throws.qml")).toString() << 1
        << QStringList({" | Warning  | 0 |  |  | Runtime exception:  boom in worker",
                        "still running",
                        " | Warning  | 0 |  |  | Runtime exception:  boom in worker"})
        << QStringList({"Runtime exception: boom in worker"});
    // exit(-1) leaves 255 as the process status.
    QTest::newRow("missing main window")
        << "qrc:/qml/Missing.qml" << 255
        << QStringList({" |  Debug   | 0 |  |  | QML Application error, stopping"})
        << QStringList();
    QTest::newRow("broken main window")
        << QUrl::fromLocalFile(qmlDir + QStringLiteral("/broken.qml")).toString() << 255
        << QStringList({" |  Debug   | 0 |  |  | QML Application error, stopping"})
        << QStringList();
}

void TestEntry::run() {
    QFETCH(QString, mainQml);
    QFETCH(int, exitCode);
    QFETCH(QStringList, linesInOrder);
    QFETCH(QStringList, events);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString work = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(work).mkpath(QStringLiteral("run")));
    LoopbackReceiver receiver;
    QVERIFY(receiver.listen());

    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), work + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), work + QStringLiteral("/data"));
    environment.remove(QStringLiteral("SENTRY_DSN"));
    app.setProcessEnvironment(environment);
    app.setWorkingDirectory(work + QStringLiteral("/run"));
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QSignalSpy finished(&app, &QProcess::finished);
    app.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tst_program_app"),
              {mainQml, QStringLiteral("http://mireva@127.0.0.1:%1/1").arg(receiver.port())});
    QVERIFY(finished.wait(60000));
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), exitCode);

    // The log lives in the program's data folder, for its owner only, not where it was started.
    QVERIFY(!QFile::exists(work + QStringLiteral("/run/application_output.log")));
    const QString logPath = work + QStringLiteral("/data/Tavrona/Mireva/application_output.log");
    QFile logFile(logPath);
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    QCOMPARE(logFile.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::Permissions());
    const QStringList lines = QString::fromLocal8Bit(logFile.readAll()).split(QLatin1Char('\n'));
    QVERIFY(lines.size() > 2);
    QCOMPARE(lines.last(), QString()); // every line ends with a line end
    static const QRegularExpression layout(QStringLiteral(
        "^\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d \\| ( Debug  |  Info  |Warning |Critical) \\| "
        "-?\\d+ \\| [^|]* \\| [^|]* \\| "));
    for (const QString &line : lines.first(lines.size() - 1))
        QVERIFY2(layout.match(line).hasMatch(), qPrintable(line));
    // The working directory, as a quoted string.
    const QString workingDirectory =
        QStringLiteral(" |  Debug   | 0 |  |  | \"") + work + QStringLiteral("/run\"");
    QVERIFY(std::any_of(lines.begin(), lines.end(), [&workingDirectory](const QString &line) {
        return line.endsWith(workingDirectory);
    }));
    QVERIFY(std::any_of(lines.begin(), lines.end(), [&logPath](const QString &line) {
        return line.endsWith(QStringLiteral(" |  Debug   | 0 |  |  | Log file \"") + logPath +
                             QLatin1Char('"'));
    }));
    qsizetype from = 0;
    for (const QString &expected : linesInOrder) {
        qsizetype found = -1;
        for (qsizetype i = from; i < lines.size() && found < 0; ++i) {
            if (lines[i].endsWith(expected))
                found = i;
        }
        QVERIFY2(found >= 0, qPrintable(QStringLiteral("missing, or out of order: ") + expected));
        from = found + 1;
    }

    QStringList received;
    for (const LoopbackReceiver::Request &request : receiver.requests) {
        const QList<QByteArray> parts = request.body.split('\n');
        const QJsonObject exception = QJsonDocument::fromJson(parts.value(2))
                                          .object()
                                          .value("exception")
                                          .toObject()
                                          .value("values")
                                          .toArray()
                                          .at(0)
                                          .toObject();
        received << exception.value("type").toString() + QStringLiteral(": ") +
                        exception.value("value").toString();
    }
    QCOMPARE(received, events);
}

QTEST_GUILESS_MAIN(TestEntry)
#include "tst_entry.moc"
