// Runs the tavrona-server executable as a user would: its options and its start-up.

#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <opencv2/imgcodecs.hpp>

using fixture::dump;
using fixture::json;
using fixture::Response;

class TestServerBinary : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void help();
    void badOptions_data();
    void badOptions();
    void startsAndServes();

private:
    QString m_program;
};

void TestServerBinary::initTestCase() {
    m_program = QCoreApplication::applicationDirPath() + QStringLiteral("/tavrona-server");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
}

void TestServerBinary::help() {
    QProcess process;
    process.start(m_program, {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    for (const char *option :
         {"--port", "--data", "--listen", "--auto-confirm", "--upload-method", "--fail-uploads",
          "--wrong-etag", "--activation-without-user", "--max-upload-mb"})
        QVERIFY2(out.contains(QLatin1String(option)), option);
    QVERIFY(out.contains(QLatin1String("8750")));
}

void TestServerBinary::badOptions_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("port not a number") << QStringList{"--port", "http"};
    QTest::newRow("port too large") << QStringList{"--port", "70000"};
    QTest::newRow("unknown method") << QStringList{"--upload-method", "ftp"};
    QTest::newRow("negative fault count") << QStringList{"--fail-uploads", "-1"};
    QTest::newRow("bad address") << QStringList{"--listen", "localhost:1"};
    QTest::newRow("unknown option") << QStringList{"--colour"};
    QTest::newRow("stray argument") << QStringList{"now"};
}

void TestServerBinary::badOptions() {
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QProcess process;
    process.start(m_program, arguments + QStringList{"--data", dir.path()});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(!process.readAllStandardError().isEmpty());
    QVERIFY(QDir(dir.path()).isEmpty()); // nothing was created
}

void TestServerBinary::startsAndServes() {
    QTemporaryDir dir;
    QProcess server;
    const QString base = fixture::startServer(server, m_program, dir.path());
    QVERIFY(!base.isEmpty());
    QVERIFY(base.startsWith(QLatin1String("http://127.0.0.1:")));
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("tavrona.sqlite"))));
    fixture::Client client{QUrl(base)};
    QCOMPARE(client.send("GET", QStringLiteral("/")).status, 200);
    const Response start = client.send("POST", QStringLiteral("/api/mireva/token"));
    QCOMPARE(start.status, 200);

    // Without --auto-confirm the log-in waits for the page's button.
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    QCOMPARE(client.api("POST", QStringLiteral("/api/token/activate"), {}, poll).status, 401);
    QCOMPARE(client.api("POST", QStringLiteral("/api/token/activate"), {}, poll).status, 401);

    // One log line per request on standard error; SIGTERM ends the server cleanly.
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(server.readAllStandardError())
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.filter(QStringLiteral("\"POST /api/token/activate\" 401")).size(), 2);
    QCOMPARE(lines.filter(QStringLiteral("\"GET /\" 200")).size(), 1);

    // A second server on the same data keeps the accounts and refuses a busy port.
    QProcess again;
    const QString base2 = fixture::startServer(again, m_program, dir.path());
    QVERIFY(!base2.isEmpty());
    QProcess clash;
    clash.start(m_program,
                {"--port", base2.section(QLatin1Char(':'), 2).chopped(1), "--data", dir.path()});
    QVERIFY(clash.waitForFinished(10000));
    QCOMPARE(clash.exitCode(), 1);
    again.terminate();
    QVERIFY(again.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(TestServerBinary)
#include "tst_serverbinary.moc"
