// Two tavrona-server processes on one PostgreSQL database and one S3 bucket, as behind one
// address: any of them answers any request. A scan whose requests alternate between them, from
// log-in to the page and the whole-slide files, which both serve from the bucket; its part made
// by exactly one of them; crash reports taken by one and read from the other; servers starting
// at once on a new database; one killed while the other carries on, also in the middle of
// making a part, which the other then finishes.

#include "migrations.h"
#include "objectstore.h"
#include "pgfixture.h"
#include "s3client.h"
#include "s3fixture.h"
#include "serverfixture.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTest>

#include <opencv2/imgcodecs.hpp>

#include <csignal>

using fixture::dump;
using fixture::json;
using fixture::Response;

namespace {

QString text(const json &value) {
    return QString::fromStdString(value.is_string() ? value.get<std::string>() : value.dump());
}

// Stops a server when the test leaves, also on a failed check.
auto stopping(QProcess &process) {
    return qScopeGuard([&process] {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(10000))
                process.kill();
            process.waitForFinished(5000);
        }
    });
}

} // namespace

class TestServerInstances : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scanAlternatingBetweenInstances();
    void crashReportsFromEitherInstance();
    void instancesStartingTogether();
    void oneInstanceKilledTheOtherCarriesOn();
    void instanceKilledInTheMiddleOfAPartTheOtherFinishesIt();

private:
    // Starts a server on the test's database and bucket; its base URL.
    QString startInstance(QProcess &process, const QStringList &extra = {});
    QByteArray logIn(fixture::Client &first, fixture::Client &second);
    // The first part's entry of the scan's status, asked of client.
    json partStatus(fixture::Client &client, const QString &scanId);
    // Waits until the first part is in state (or failed); the last status seen.
    json waitForPart(fixture::Client &client, const QString &scanId, const std::string &state,
                     int timeoutMs);
    // The test's bucket part, as the servers see it.
    std::unique_ptr<tavrona::ObjectStore> bucket();
    // The keys of the files derived from a scan, relative to its derived folder.
    QStringList derivedKeys(const QString &containerId, const QString &scanId);
    // One row of the part's job in the database: "state|owner|attempts|build".
    QString jobRow(const QString &scanId);

    fixture::PostgresCluster m_postgres;
    fixture::S3rver m_s3;
    QString m_program;
    QString m_database;
    std::unique_ptr<QTemporaryDir> m_dataA;
    std::unique_ptr<QTemporaryDir> m_dataB;
    int m_run = 0;
    QString m_prefix;
};

void TestServerInstances::initTestCase() {
    m_program = QCoreApplication::applicationDirPath() + QStringLiteral("/tavrona-server");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
    QString error;
    QVERIFY2(m_postgres.start(&error), qPrintable(error));
    QVERIFY2(m_s3.start({QStringLiteral("tavrona")}, &error), qPrintable(error));
    qputenv("AWS_ACCESS_KEY_ID", fixture::S3rver::accessKeyId);
    qputenv("AWS_SECRET_ACCESS_KEY", fixture::S3rver::secretAccessKey);
}

void TestServerInstances::init() {
    QString error;
    m_database = m_postgres.createDatabase(&error);
    QVERIFY2(!m_database.isEmpty(), qPrintable(error));
    m_prefix = QStringLiteral("run%1").arg(++m_run);
    // Each instance has a data folder of its own: nothing they share lives there.
    m_dataA = std::make_unique<QTemporaryDir>();
    m_dataB = std::make_unique<QTemporaryDir>();
}

void TestServerInstances::cleanup() {
    m_dataA.reset();
    m_dataB.reset();
}

QString TestServerInstances::startInstance(QProcess &process, const QStringList &extra) {
    QTemporaryDir *data =
        process.objectName() == QLatin1String("B") ? m_dataB.get() : m_dataA.get();
    return fixture::startServer(process, m_program, data->path(),
                                QStringList{QStringLiteral("--auto-confirm"),
                                            QStringLiteral("--database"),
                                            m_postgres.url(m_database), QStringLiteral("--storage"),
                                            QStringLiteral("s3://tavrona/%1?endpoint=%2")
                                                .arg(m_prefix, m_s3.endpoint().toString())} +
                                    extra);
}

json TestServerInstances::partStatus(fixture::Client &client, const QString &scanId) {
    const json status = client.send("GET", QStringLiteral("/scans/%1/status").arg(scanId)).js();
    return status.is_object() && status.contains("parts") && !status["parts"].empty()
               ? status["parts"][0]
               : json::object();
}

json TestServerInstances::waitForPart(fixture::Client &client, const QString &scanId,
                                      const std::string &state, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    json part = partStatus(client, scanId);
    while (part.value("state", "") != state && part.value("state", "") != "failed" &&
           timer.elapsed() < timeoutMs) {
        QTest::qWait(100);
        part = partStatus(client, scanId);
    }
    return part;
}

std::unique_ptr<tavrona::ObjectStore> TestServerInstances::bucket() {
    QString error;
    auto store = tavrona::makeObjectStore(
        QStringLiteral("s3://tavrona/%1?endpoint=%2").arg(m_prefix, m_s3.endpoint().toString()), {},
        {}, &error);
    if (!store)
        qWarning().noquote() << "Cannot reach the bucket:" << error;
    return store;
}

QStringList TestServerInstances::derivedKeys(const QString &containerId, const QString &scanId) {
    const QString prefix = QStringLiteral("containers/%1.derived/%2/").arg(containerId, scanId);
    QString error;
    const auto store = bucket();
    const auto objects = store ? store->list(prefix, &error) : std::nullopt;
    if (!objects)
        return {QStringLiteral("cannot list: ") + error};
    QStringList keys;
    for (const tavrona::StoredObject &object : *objects)
        keys << object.key.mid(prefix.size());
    keys.sort();
    return keys;
}

QString TestServerInstances::jobRow(const QString &scanId) {
    QString error;
    const auto row = m_postgres.query(
        m_database,
        QStringLiteral("SELECT state || '|' || COALESCE(owner, '') || '|' || attempts || '|' || "
                       "COALESCE(build, '') FROM jobs WHERE scan_id = '%1' AND part = 0")
            .arg(scanId),
        &error);
    return row ? *row : error;
}

QByteArray TestServerInstances::logIn(fixture::Client &first, fixture::Client &second) {
    // Started on one, polled on the other, confirmed by the first poll: the activation lives in
    // the database only.
    const Response start = first.send("POST", QStringLiteral("/api/mireva/token"));
    if (start.status != 200)
        return {};
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    if (second.api("POST", QStringLiteral("/api/token/activate"), {}, poll).status != 401)
        return {};
    const Response done = first.api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    if (done.status != 200)
        return {};
    return QByteArray::fromStdString(done.js()["auth_token"].get<std::string>());
}

void TestServerInstances::scanAlternatingBetweenInstances() {
    QProcess a, b;
    b.setObjectName(QStringLiteral("B"));
    const auto stopA = stopping(a);
    const auto stopB = stopping(b);
    const QString baseA = startInstance(a);
    const QString baseB = startInstance(b);
    QVERIFY(!baseA.isEmpty() && !baseB.isEmpty());
    fixture::Client clients[2] = {fixture::Client(QUrl(baseA)), fixture::Client(QUrl(baseB))};
    int turn = 0;
    auto next = [&]() -> fixture::Client & {
        return clients[turn++ % 2];
    };

    const QByteArray token = logIn(clients[0], clients[1]);
    QVERIFY(!token.isEmpty());
    QCOMPARE(
        text(next().api("GET", QStringLiteral("/api/mireva/info"), token).js()["user"]["email"]),
        QStringLiteral("demo@tavrona.local"));
    const Response created = next().api("POST", QStringLiteral("/api/mireva/container/new"), token);
    QCOMPARE(created.status, 200);
    const QString container = QString::fromStdString(created.js()["container_id"]);

    const QByteArray a0 =
        fixture::archive({{QStringLiteral("0.jpg"), fixture::jpeg(64, 64, cv::Scalar(0, 0, 255))},
                          {QStringLiteral("1.jpg"), fixture::jpeg(64, 64, cv::Scalar(0, 255, 0))}});
    const QByteArray a1 =
        fixture::archive({{QStringLiteral("2.jpg"), fixture::jpeg(64, 64, cv::Scalar(255, 0, 0))},
                          {QStringLiteral("3.jpg"), fixture::jpeg(64, 64, cv::Scalar(0, 0, 0))}});
    const json isd = {{"images",
                       {{{"type", "stitched"},
                         {"width", 128},
                         {"height", 128},
                         {"parts",
                          {{0, 0, "00000.dat/0.jpg"},
                           {64, 0, "00000.dat/1.jpg"},
                           {0, 64, "00001.dat/2.jpg"},
                           {64, 64, "00001.dat/3.jpg"}}}}}},
                      {"layout", "horizontal"},
                      {"version", "1.0"}};
    const QList<QPair<QString, QByteArray>> files{{QStringLiteral("00000.dat"), a0},
                                                  {QStringLiteral("00001.dat"), a1},
                                                  {QStringLiteral("scan.isd"), dump(isd)}};
    for (const auto &[path, data] : files) {
        const Response presigned = next().api(
            "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), token,
            dump({{"files", {path.toStdString()}}}));
        QCOMPARE(presigned.status, 200);
        const Response stored = clients[0].upload(presigned.js()["files"][0], data);
        QCOMPARE(stored.status, 200);
        QCOMPARE(stored.headers.value("etag"),
                 '"' + QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex() + '"');
    }

    const Response saved =
        next().api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container), token,
                   dump({{"file_name", "Two servers"}, {"type", "isd_file"}}));
    QCOMPARE(saved.status, 200);
    const QString viewUrl = QString::fromStdString(saved.js()["view_url"]);
    const QString scanPath = QUrl(viewUrl).path();
    // The page from both, whichever saved it.
    for (fixture::Client &client : clients) {
        const Response page = client.send("GET", scanPath);
        QCOMPARE(page.status, 200);
        QVERIFY(page.body.contains("Two servers"));
    }

    // The part is made once, by one of them, into the bucket; both serve its whole-slide files
    // from there, the same bytes.
    const QString scanId = QString::fromStdString(saved.js()["scan_id"]);
    const json ready = waitForPart(next(), scanId, "ready", 120000);
    QCOMPARE(QString::fromStdString(ready.value("state", "")), QStringLiteral("ready"));
    const QStringList row = jobRow(scanId).split(QLatin1Char('|'));
    QCOMPARE(row.size(), 4);
    QCOMPARE(row[2], QStringLiteral("1")); // one attempt: nobody took it over
    const QString build = row[3];
    QCOMPARE(derivedKeys(container, scanId),
             (QStringList{QStringLiteral("0-%1/dz.zip").arg(build),
                          QStringLiteral("0-%1/image.ome.tif").arg(build)}));
    int makers = 0;
    for (QProcess *process : {&a, &b})
        makers += int(process->readAllStandardError().contains("Making scan " + scanId.toLatin1()));
    QCOMPARE(makers, 1);
    QString error;
    const auto store = bucket();
    QVERIFY(store);
    const auto omeTiff = store->read(
        QStringLiteral("containers/%1.derived/%2/0-%3/image.ome.tif").arg(container, scanId, build),
        0, -1, &error);
    QVERIFY2(omeTiff, qPrintable(error));
    QByteArray dziFromA;
    for (fixture::Client &client : clients) {
        const json part = partStatus(client, scanId);
        const Response dzi = client.send("GET", QString::fromStdString(part.value("dzi", "")));
        QCOMPARE(dzi.status, 200);
        QVERIFY2(dzi.body.contains("Width=\"128\"") && dzi.body.contains("Height=\"128\""),
                 dzi.body.constData());
        if (dziFromA.isEmpty())
            dziFromA = dzi.body;
        QCOMPARE(dzi.body, dziFromA);
        // The top level is the part itself: red at the top left, green at the top right.
        const Response tile =
            client.send("GET", scanPath + QStringLiteral("/parts/0_files/7/0_0.jpeg"));
        QCOMPARE(tile.status, 200);
        const cv::Mat pixels = cv::imdecode(
            cv::Mat(1, int(tile.body.size()), CV_8UC1, const_cast<char *>(tile.body.data())),
            cv::IMREAD_COLOR);
        QCOMPARE(pixels.cols, 128);
        QCOMPARE(pixels.rows, 128);
        QVERIFY(pixels.at<cv::Vec3b>(10, 10)[2] > 200 && pixels.at<cv::Vec3b>(10, 10)[1] < 60);
        QVERIFY(pixels.at<cv::Vec3b>(10, 100)[1] > 200 && pixels.at<cv::Vec3b>(10, 100)[2] < 60);
        const Response tiff =
            client.send("GET", QString::fromStdString(part.value("ome_tiff", "")));
        QCOMPARE(tiff.status, 200);
        QVERIFY(tiff.body == *omeTiff);
    }

    // Log-out on one is log-out on both.
    QCOMPARE(next().api("POST", QStringLiteral("/api/token/revoke"), token).status, 200);
    for (fixture::Client &client : clients)
        QCOMPARE(client.api("GET", QStringLiteral("/api/mireva/info"), token).status, 401);
}

void TestServerInstances::crashReportsFromEitherInstance() {
    QProcess a, b;
    b.setObjectName(QStringLiteral("B"));
    const auto stopA = stopping(a);
    const auto stopB = stopping(b);
    const QString baseA = startInstance(a);
    const QString baseB = startInstance(b);
    QVERIFY(!baseA.isEmpty() && !baseB.isEmpty());
    fixture::Client clientA{QUrl(baseA)}, clientB{QUrl(baseB)};
    const QByteArray event = "{\"event_id\":\"0123456789abcdef0123456789abcdef\",\"message\":"
                             "\"from instance A\"}";
    const QByteArray body = "{\"event_id\":\"0123456789abcdef0123456789abcdef\"}\n"
                            "{\"type\":\"event\",\"length\":" +
                            QByteArray::number(event.size()) + "}\n" + event + "\n";
    const Response sent =
        clientA.send("POST", QStringLiteral("/api/1/envelope/"), body,
                     {{"X-Sentry-Auth", "Sentry sentry_version=7, sentry_key=mireva"},
                      {"Content-Type", "application/x-sentry-envelope"}});
    QCOMPARE(sent.status, 200);
    const Response list = clientB.send("GET", QStringLiteral("/crash-reports"));
    QCOMPARE(list.status, 200);
    const QRegularExpression link(QStringLiteral("/crash-reports/([0-9a-f]{32})"));
    const auto match = link.match(QString::fromUtf8(list.body));
    QVERIFY2(match.hasMatch(), list.body.constData());
    const Response raw = clientB.send("GET", QStringLiteral("/crash-reports/") + match.captured(1));
    QCOMPARE(raw.status, 200);
    QCOMPARE(raw.body, body);
}

void TestServerInstances::instancesStartingTogether() {
    // Four servers on a database nobody has used: the schema is made once, and they all sign
    // with the key the first one stored.
    QList<std::shared_ptr<QProcess>> processes;
    QList<std::shared_ptr<QTemporaryDir>> folders;
    for (int i = 0; i < 4; ++i) {
        auto process = std::make_shared<QProcess>();
        auto folder = std::make_shared<QTemporaryDir>();
        process->setProgram(m_program);
        process->setArguments({"--port", "0", "--data", folder->path(), "--auto-confirm",
                               "--database", m_postgres.url(m_database), "--storage",
                               QStringLiteral("s3://tavrona/%1?endpoint=%2")
                                   .arg(m_prefix, m_s3.endpoint().toString())});
        processes.append(process);
        folders.append(folder);
    }
    for (auto &process : processes)
        process->start();
    QStringList bases;
    static const QRegularExpression listening(QStringLiteral("listening on (http://\\S+/)"));
    for (auto &process : processes) {
        QByteArray out;
        while (!listening.match(QString::fromUtf8(out)).hasMatch() &&
               process->waitForReadyRead(30000))
            out += process->readAllStandardOutput();
        const auto match = listening.match(QString::fromUtf8(out));
        QVERIFY2(match.hasMatch(), process->readAllStandardError().constData());
        bases << match.captured(1);
    }
    // A token of one is good at every other; every container is everyone's to use.
    fixture::Client first{QUrl(bases[0])};
    fixture::Client last{QUrl(bases[3])};
    const QByteArray token = logIn(first, last);
    QVERIFY(!token.isEmpty());
    for (const QString &base : bases)
        QCOMPARE(fixture::Client(QUrl(base))
                     .api("GET", QStringLiteral("/api/mireva/info"), token)
                     .status,
                 200);
    for (auto &process : processes) {
        process->terminate();
        QVERIFY(process->waitForFinished(10000));
        QCOMPARE(process->exitCode(), 0);
    }
    QString error;
    QProcess psql;
    psql.start(QStringLiteral("psql"),
               {"--host", m_postgres.socketDir(), "--port", QString::number(m_postgres.port()),
                "--username", "tavrona", "--dbname", m_database, "--no-psqlrc", "--tuples-only",
                "--no-align", "--command",
                "SELECT (SELECT COUNT(*) FROM meta WHERE key = 'signing_key') || ' ' || (SELECT "
                "COUNT(*) FROM users) || ' ' || (SELECT COUNT(*) FROM schema_migrations)"});
    QVERIFY(psql.waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(psql.readAllStandardOutput()).trimmed(),
             QStringLiteral("1 1 %1").arg(tavrona::schemaMigrations().size()));
}

void TestServerInstances::oneInstanceKilledTheOtherCarriesOn() {
    QProcess a, b;
    b.setObjectName(QStringLiteral("B"));
    const auto stopA = stopping(a);
    const auto stopB = stopping(b);
    const QString baseA = startInstance(a);
    const QString baseB = startInstance(b);
    QVERIFY(!baseA.isEmpty() && !baseB.isEmpty());
    fixture::Client clientA{QUrl(baseA)}, clientB{QUrl(baseB)};
    const QByteArray token = logIn(clientA, clientB);
    const Response created =
        clientA.api("POST", QStringLiteral("/api/mireva/container/new"), token);
    const QString container = QString::fromStdString(created.js()["container_id"]);
    const QByteArray presignBody = dump({{"files", {"snapshots/0.jpg", "scan.isd"}}});
    const Response presigned = clientA.api(
        "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), token,
        presignBody);
    QCOMPARE(presigned.status, 200);

    a.kill(); // no clean stop: what A handed out must still hold
    QVERIFY(a.waitForFinished(10000));

    const QByteArray isd = "{\"images\":[{\"type\":\"single\",\"path\":\"snapshots/0.jpg\","
                           "\"rois\":[{}]}],\"layout\":\"horizontal\",\"version\":\"1.0\"}";
    QCOMPARE(clientB.upload(presigned.js()["files"][0], fixture::jpeg(40, 30, cv::Scalar(1, 2, 3)))
                 .status,
             200);
    QCOMPARE(clientB.upload(presigned.js()["files"][1], isd).status, 200);
    const Response saved =
        clientB.api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container), token,
                    dump({{"file_name", "After the crash"}, {"type", "isd_file"}}));
    QCOMPARE(saved.status, 200);
    QCOMPARE(
        clientB.send("GET", QUrl(QString::fromStdString(saved.js()["view_url"])).path()).status,
        200);
}

void TestServerInstances::instanceKilledInTheMiddleOfAPartTheOtherFinishesIt() {
    // A short lease, so that the survivor takes the part over soon after its maker went silent.
    const QStringList jobOptions{QStringLiteral("--job-lease"), QStringLiteral("6"),
                                 QStringLiteral("--job-threads"), QStringLiteral("1")};
    QProcess a, b;
    b.setObjectName(QStringLiteral("B"));
    const auto stopA = stopping(a);
    const auto stopB = stopping(b);
    const QString baseA = startInstance(a, jobOptions);
    const QString baseB = startInstance(b, jobOptions);
    QVERIFY(!baseA.isEmpty() && !baseB.isEmpty());
    fixture::Client clientA{QUrl(baseA)}, clientB{QUrl(baseB)};
    const QByteArray token = logIn(clientA, clientB);
    QVERIFY(!token.isEmpty());
    const QString container = fixture::uploadTiledScan(clientA, token, 40); // 105 Mpx
    QVERIFY(!container.isEmpty());
    const Response saved =
        clientB.api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container), token,
                    dump({{"file_name", "Maker killed"}, {"type", "isd_file"}}));
    QCOMPARE(saved.status, 200);
    const QString scanId = QString::fromStdString(saved.js()["scan_id"]);

    // Under way on one of them, with some progress.
    QElapsedTimer timer;
    timer.start();
    json part = partStatus(clientA, scanId);
    while (!(part.value("state", "") == "running" && part.value("progress", 0) > 0) &&
           timer.elapsed() < 120000) {
        QTest::qWait(20);
        part = partStatus(clientA, scanId);
    }
    QCOMPARE(QString::fromStdString(part.value("state", "")), QStringLiteral("running"));
    const QStringList running = jobRow(scanId).split(QLatin1Char('|'));
    QCOMPARE(running.size(), 4);
    QCOMPARE(running[2], QStringLiteral("1"));
    auto instanceOf = [](const QTemporaryDir &data) {
        QFile file(data.filePath(QStringLiteral("instance-id")));
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed()
                                              : QString();
    };
    const QString idA = instanceOf(*m_dataA);
    const QString idB = instanceOf(*m_dataB);
    QVERIFY(!idA.isEmpty() && idA != idB);
    const bool aMakesIt = running[1].startsWith(idA + QLatin1Char(':'));
    QVERIFY2(aMakesIt || running[1].startsWith(idB + QLatin1Char(':')), qPrintable(running[1]));
    QProcess &maker = aMakesIt ? a : b;
    QProcess &survivor = aMakesIt ? b : a;
    fixture::Client &survivorClient = aMakesIt ? clientB : clientA;
    QVERIFY(!survivor.readAllStandardError().contains("Making scan " + scanId.toLatin1()));

    ::kill(pid_t(maker.processId()), SIGKILL);
    QVERIFY(maker.waitForFinished(10000));

    const json ready = waitForPart(survivorClient, scanId, "ready", 300000);
    QCOMPARE(QString::fromStdString(ready.value("state", "")), QStringLiteral("ready"));
    const QStringList done = jobRow(scanId).split(QLatin1Char('|'));
    QCOMPARE(done.size(), 4);
    QCOMPARE(done[2], QStringLiteral("2"));
    QVERIFY(survivor.readAllStandardError().contains("Making scan " + scanId.toLatin1()));
    // Only the survivor's build is in the bucket: the killed one had published nothing.
    const QStringList keys = derivedKeys(container, scanId);
    QCOMPARE(keys, (QStringList{QStringLiteral("0-%1/dz.zip").arg(done[3]),
                                QStringLiteral("0-%1/image.ome.tif").arg(done[3])}));
    const Response dzi = survivorClient.send("GET", QString::fromStdString(ready.value("dzi", "")));
    QCOMPARE(dzi.status, 200);
    QVERIFY2(dzi.body.contains("Width=\"10240\""), dzi.body.constData());
}

QTEST_GUILESS_MAIN(TestServerInstances)
#include "tst_serverinstances.moc"
