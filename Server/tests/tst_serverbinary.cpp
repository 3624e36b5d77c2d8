// Runs the tavrona-server executable as a user would: its options and its start-up.

#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
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
    void unreachableBackEndsStopTheStart_data();
    void unreachableBackEndsStopTheStart();

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
          "--wrong-etag", "--activation-without-user", "--max-upload-mb", "--database", "--storage",
          "--storage-keys", "--fail-presigns"})
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
    QTest::newRow("other database") << QStringList{"--database", "mysql://db/tavrona"};
    QTest::newRow("database password on the command line")
        << QStringList{"--database", "postgresql://tavrona:hunter2@db/tavrona"};
    QTest::newRow("storage without endpoint") << QStringList{"--storage", "s3://scans"};
    QTest::newRow("storage keys on the command line")
        << QStringList{"--storage", "s3://AKID:hunter2@scans?endpoint=http://127.0.0.1:9"};
}

void TestServerBinary::badOptions() {
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QProcess process;
    process.start(m_program, arguments + QStringList{"--data", dir.path()});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 2);
    const QByteArray message = process.readAllStandardError();
    QVERIFY(!message.isEmpty());
    QVERIFY2(!message.contains("hunter2"), "a secret must not be repeated");
    QVERIFY(QDir(dir.path()).isEmpty()); // nothing was created
}

void TestServerBinary::unreachableBackEndsStopTheStart_data() {
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("storage");
    QTest::addColumn<bool>("keys");
    QTest::addColumn<QString>("message");
    // "{closed}": a port nothing listens on; "{silent}": one that accepts and never answers;
    // "{dir}": a folder without a database server's socket.
    QTest::newRow("no database server at the socket")
        << "postgresql://tavrona@/tavrona?host={dir}"
        << "" << true << "Cannot open the database (PostgreSQL tavrona@{dir}/tavrona)";
    QTest::newRow("database port closed") << "postgresql://tavrona@127.0.0.1:{closed}/tavrona"
                                          << "" << true << "Cannot open the database";
    QTest::newRow("database silent")
        << "postgresql://tavrona@127.0.0.1:{silent}/tavrona?connect_timeout=2"
        << "" << true << "Cannot open the database";
    QTest::newRow("store port closed")
        << ""
        << "s3://tavrona?endpoint=http://127.0.0.1:{closed}" << true
        << "Cannot use the storage (s3://tavrona/ at http://127.0.0.1:{closed} (us-east-1)): HEAD "
           "bucket \"tavrona\": the object store cannot be reached";
    QTest::newRow("store silent")
        << ""
        << "s3://tavrona?endpoint=http://127.0.0.1:{silent}&timeout_ms=1000" << true
        << "no answer within 1000 ms";
    QTest::newRow("store without keys") << ""
                                        << "s3://tavrona?endpoint=http://127.0.0.1:{closed}"
                                        << false << "no keys for the object store";
}

void TestServerBinary::unreachableBackEndsStopTheStart() {
    QFETCH(QString, database);
    QFETCH(QString, storage);
    QFETCH(bool, keys);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QTemporaryDir empty;
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const QString closedPort = QString::number(closed.serverPort());
    closed.close();
    // Connections wait in the listen queue: nobody accepts or answers them.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    silent.pauseAccepting();
    auto fill = [&](QString text) {
        return text.replace(QLatin1String("{closed}"), closedPort)
            .replace(QLatin1String("{silent}"), QString::number(silent.serverPort()))
            .replace(QLatin1String("{dir}"), empty.path());
    };
    QStringList arguments{"--port", "0", "--data", dir.path()};
    if (!database.isEmpty())
        arguments << "--database" << fill(database);
    if (!storage.isEmpty())
        arguments << "--storage" << fill(storage);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("AWS_SHARED_CREDENTIALS_FILE"));
    if (keys) {
        environment.insert(QStringLiteral("AWS_ACCESS_KEY_ID"), QStringLiteral("AKIDTEST"));
        environment.insert(QStringLiteral("AWS_SECRET_ACCESS_KEY"), QStringLiteral("secret"));
    } else {
        environment.remove(QStringLiteral("AWS_ACCESS_KEY_ID"));
        environment.remove(QStringLiteral("AWS_SECRET_ACCESS_KEY"));
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(m_program, arguments);
    QVERIFY2(process.waitForFinished(60000), "the server must give up, not wait for ever");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    const QString error = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(error.contains(fill(message)), qPrintable(error));
    QVERIFY(process.readAllStandardOutput().isEmpty()); // it never said it was listening
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
