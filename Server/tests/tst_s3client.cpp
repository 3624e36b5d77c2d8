// The object-store client against a real S3 implementation (s3rver on loopback): objects in and
// out, ranges, listing, presigned PUT URLs and POST forms followed the way the program follows
// them, errors of the store, an unreachable and a silent store, calls from many threads, and
// the storage URL and key sources.

#include "s3client.h"
#include "s3fixture.h"
#include "serverfixture.h"

#include <QCryptographicHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

using namespace tavrona;

namespace {

QByteArray md5(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray pattern(qsizetype size, int seed) {
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (char &c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return data;
}

// A loopback server that accepts connections and answers each request with the next scripted
// reply (raw HTTP); an empty reply means: read, never answer.
class ScriptedServer : public QThread {
public:
    explicit ScriptedServer(QList<QByteArray> replies)
        : m_replies(std::move(replies)) {}
    ~ScriptedServer() override {
        quit();
        wait();
    }
    quint16 startListening() {
        start();
        QElapsedTimer timer;
        timer.start();
        while (m_port.loadAcquire() == 0 && timer.elapsed() < 10000)
            QThread::msleep(5);
        return quint16(m_port.loadAcquire());
    }
    int requests() const { return m_count.loadAcquire(); }

protected:
    void run() override {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] {
                    m_buffer[socket] += socket->readAll();
                    QByteArray &in = m_buffer[socket];
                    const qsizetype end = in.indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    in.clear(); // our client sends no body on these calls
                    const int index = m_count.fetchAndAddOrdered(1);
                    const QByteArray reply = m_replies.value(index, m_replies.last());
                    if (!reply.isEmpty())
                        socket->write(reply);
                });
            }
        });
        m_port.storeRelease(server.serverPort());
        exec();
    }

private:
    QList<QByteArray> m_replies;
    QHash<QTcpSocket *, QByteArray> m_buffer;
    QAtomicInt m_port = 0;
    QAtomicInt m_count = 0;
};

} // namespace

class TestS3Client : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void objectsInAndOut();
    void keysWithAwkwardCharacters_data();
    void keysWithAwkwardCharacters();
    void listPagesThroughEverything();
    void presignedPutAsTheProgramSendsIt();
    void presignedPutExpires();
    void postFormAsTheProgramSendsIt();
    void storeErrorsAreClear();
    void unreachableStoreFailsFast();
    void silentStoreTimesOut();
    void serverErrorsAreRetried();
    void callsFromManyThreads();
    void storageUrl_data();
    void storageUrl();
    void credentialSources();

private:
    S3Config config(const QString &bucket = QStringLiteral("tavrona")) const;

    fixture::S3rver m_s3;
};

void TestS3Client::initTestCase() {
    QString error;
    QVERIFY2(m_s3.start({QStringLiteral("tavrona"), QStringLiteral("other")}, &error),
             qPrintable(error));
}

void TestS3Client::cleanupTestCase() {
    m_s3.stop();
}

S3Config TestS3Client::config(const QString &bucket) const {
    S3Config config;
    config.endpoint = m_s3.endpoint();
    config.bucket = bucket;
    config.credentials = {fixture::S3rver::accessKeyId, fixture::S3rver::secretAccessKey, {}};
    config.timeoutMs = 10000;
    return config;
}

void TestS3Client::objectsInAndOut() {
    S3Client client(config());
    const QByteArray data = pattern(300 * 1000, 1);
    const S3Reply put = client.put(QStringLiteral("c1/00000.dat"), data);
    QVERIFY2(put.ok(), qPrintable(put.error));
    QCOMPARE(put.etag(), md5(data));

    const S3Reply whole = client.get(QStringLiteral("c1/00000.dat"));
    QVERIFY2(whole.ok(), qPrintable(whole.error));
    QCOMPARE(whole.body, data);

    const S3Reply range = client.get(QStringLiteral("c1/00000.dat"), 1000, 4096);
    QVERIFY2(range.ok(), qPrintable(range.error));
    QCOMPARE(range.status, 206);
    QCOMPARE(range.body, data.mid(1000, 4096));

    const S3Reply open = client.get(QStringLiteral("c1/00000.dat"), 299990);
    QCOMPARE(open.body, data.mid(299990));

    const S3Reply head = client.head(QStringLiteral("c1/00000.dat"));
    QVERIFY2(head.ok(), qPrintable(head.error));
    QCOMPARE(head.headers.value("content-length").toLongLong(), data.size());
    QCOMPARE(head.etag(), md5(data));

    // A derived file streamed from disk.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("tile.jpg")));
    const QByteArray tile = pattern(70000, 2);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(tile);
    file.close();
    const S3Reply streamed =
        client.putFile(QStringLiteral("c1/dz/0/0_0.jpg"), file.fileName(), "image/jpeg");
    QVERIFY2(streamed.ok(), qPrintable(streamed.error));
    QCOMPARE(client.get(QStringLiteral("c1/dz/0/0_0.jpg")).body, tile);
    QCOMPARE(client.head(QStringLiteral("c1/dz/0/0_0.jpg")).headers.value("content-type"),
             QByteArray("image/jpeg"));
    const S3Reply missingFile =
        client.putFile(QStringLiteral("c1/x"), dir.filePath(QStringLiteral("none")));
    QVERIFY(!missingFile.ok());
    QVERIFY2(missingFile.error.contains(QLatin1String("cannot read")),
             qPrintable(missingFile.error));

    const S3Reply removed = client.remove(QStringLiteral("c1/00000.dat"));
    QVERIFY2(removed.ok(), qPrintable(removed.error));
    const S3Reply gone = client.head(QStringLiteral("c1/00000.dat"));
    QCOMPARE(gone.status, 404);
    QVERIFY(!gone.ok());
}

void TestS3Client::keysWithAwkwardCharacters_data() {
    QTest::addColumn<QString>("key");
    QTest::newRow("space and plus") << QStringLiteral("c2/a b+c.jpg");
    QTest::newRow("percent and hash") << QStringLiteral("c2/100% #1.jpg");
    QTest::newRow("non-ASCII") << QStringLiteral("c2/\u00e9t\u00e9/\u00fc~.jpg");
    QTest::newRow("reserved punctuation") << QStringLiteral("c2/a=b&c;d,e@f$g!'()*.dat");
}

void TestS3Client::keysWithAwkwardCharacters() {
    QFETCH(QString, key);
    S3Client client(config());
    const QByteArray data = pattern(1000, 3) + key.toUtf8();
    const S3Reply put = client.put(key, data);
    QVERIFY2(put.ok(), qPrintable(put.error));
    QCOMPARE(client.get(key).body, data);

    // The presigned URL of the same key reaches the same object.
    fixture::Client http;
    const fixture::Response response =
        http.send("PUT", client.presignedPutUrl(key, 300), data + "2");
    QCOMPARE(response.status, 200);
    QCOMPARE(client.get(key).body, data + "2");

    QString error;
    const auto listed = client.list(key, &error);
    QVERIFY2(listed, qPrintable(error));
    QCOMPARE(listed->size(), 1);
    QCOMPARE(listed->first().key, key);
}

void TestS3Client::listPagesThroughEverything() {
    S3Config prefixed = config();
    prefixed.prefix = QStringLiteral("lab one/");
    S3Client client(prefixed);
    for (int i = 0; i < 25; ++i)
        QVERIFY(client
                    .put(QStringLiteral("c3/%1.jpg").arg(i, 4, 10, QLatin1Char('0')),
                         QByteArray::number(i))
                    .ok());
    QVERIFY(client.put(QStringLiteral("c30/x"), "other container").ok());
    QString error;
    // Three pages, the last one short.
    const auto listed = client.list(QStringLiteral("c3/"), &error, 10);
    QVERIFY2(listed, qPrintable(error));
    QCOMPARE(listed->size(), 25);
    QCOMPARE(listed->first().key, QStringLiteral("c3/0000.jpg"));
    QCOMPARE(listed->last().key, QStringLiteral("c3/0024.jpg"));
    QCOMPARE(listed->last().size, 2);
    QCOMPARE(listed->last().etag, md5("24"));
    const auto exact = client.list(QStringLiteral("c3/"), &error, 5);
    QVERIFY2(exact, qPrintable(error));
    QCOMPARE(exact->size(), 25);

    // The prefix is the client's business: a client without it sees the full keys.
    S3Client plain(config());
    const auto full = plain.list(QStringLiteral("lab one/c30/"), &error);
    QVERIFY2(full, qPrintable(error));
    QCOMPARE(full->size(), 1);
    QCOMPARE(full->first().key, QStringLiteral("lab one/c30/x"));
}

void TestS3Client::presignedPutAsTheProgramSendsIt() {
    S3Client client(config());
    const QByteArray data = pattern(2 << 20, 4);
    const QString url = client.presignedPutUrl(QStringLiteral("c4/00000.dat"), 900,
                                               {{"content-type", "application/octet-stream"}});
    QVERIFY(url.startsWith(m_s3.endpoint().toString() + QStringLiteral("/tavrona/c4/00000.dat?")));
    QVERIFY(url.contains(QLatin1String("X-Amz-SignedHeaders=content-type%3Bhost")));

    // The program: QNetworkRequest on the URL as text, the presign headers, the raw file.
    fixture::Client http;
    const fixture::Response response =
        http.send("PUT", url, data, {{"Content-Type", "application/octet-stream"}});
    QCOMPARE(response.status, 200);
    QCOMPARE(response.headers.value("etag"), '"' + md5(data) + '"');
    QCOMPARE(client.get(QStringLiteral("c4/00000.dat")).body, data);
}

void TestS3Client::presignedPutExpires() {
    S3Client client(config());
    const QString url = client.presignedPutUrl(QStringLiteral("c5/late.dat"), 60, {},
                                               QDateTime::currentDateTimeUtc().addSecs(-3600));
    fixture::Client http;
    const fixture::Response response = http.send("PUT", url, "late");
    QCOMPARE(response.status, 403);
    QVERIFY(response.body.contains("expired"));
    QCOMPARE(client.head(QStringLiteral("c5/late.dat")).status, 404);
}

void TestS3Client::postFormAsTheProgramSendsIt() {
    S3Client client(config());
    const sigv4::PostForm form = client.postForm(QStringLiteral("c6/scan.isd"), 1 << 20, 900);
    QCOMPARE(client.postUrl(), m_s3.endpoint().toString() + QStringLiteral("/tavrona"));
    // The program sends the fields in key order (a JSON object), then the part "file" without
    // a file name or type. s3rver reads such a part as text, so the content here is text.
    QMap<QByteArray, QByteArray> ordered;
    for (const auto &[name, value] : form.fields)
        ordered.insert(name, value);
    QList<QPair<QByteArray, QByteArray>> fields;
    for (auto it = ordered.cbegin(); it != ordered.cend(); ++it)
        fields.append({it.key(), it.value()});
    const QByteArray descriptor = "{\"images\": []}\n";
    fixture::Client http;
    const fixture::Response response = http.postForm(client.postUrl(), fields, descriptor);
    QCOMPARE(response.status, 200);
    QCOMPARE(response.headers.value("etag"), '"' + md5(descriptor) + '"');
    QCOMPARE(client.get(QStringLiteral("c6/scan.isd")).body, descriptor);
}

void TestS3Client::storeErrorsAreClear() {
    S3Client client(config());
    const S3Reply missing = client.get(QStringLiteral("no/such/key"));
    QCOMPARE(missing.status, 404);
    QCOMPARE(missing.code, QByteArray("NoSuchKey"));
    QVERIFY2(missing.error.contains(QLatin1String("\"no/such/key\" in bucket \"tavrona\"")),
             qPrintable(missing.error));

    S3Client noBucket(config(QStringLiteral("absent")));
    const S3Reply bucket = noBucket.put(QStringLiteral("k"), "x");
    QCOMPARE(bucket.status, 404);
    QCOMPARE(bucket.code, QByteArray("NoSuchBucket"));
    QCOMPARE(noBucket.probe().status, 404);
    QVERIFY(client.probe().ok());

    S3Config stranger = config();
    stranger.credentials.accessKeyId = "AKIDSTRANGER";
    S3Client refused(stranger);
    const S3Reply denied = refused.put(QStringLiteral("k"), "x");
    QCOMPARE(denied.status, 403);
    QCOMPARE(denied.code, QByteArray("InvalidAccessKeyId"));
    QVERIFY2(denied.error.contains(QLatin1String("HTTP 403 InvalidAccessKeyId")),
             qPrintable(denied.error));

    const S3Reply beyond = client.put(QStringLiteral("c7/short"), "0123456789");
    QVERIFY(beyond.ok());
    QCOMPARE(client.get(QStringLiteral("c7/short"), 50, 10).status, 416);
}

void TestS3Client::unreachableStoreFailsFast() {
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    S3Config gone = config();
    gone.endpoint = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
    gone.attempts = 2;
    S3Client client(gone);
    QElapsedTimer timer;
    timer.start();
    const S3Reply reply = client.head(QStringLiteral("k"));
    QCOMPARE(reply.status, 0);
    QVERIFY2(reply.error.contains(QLatin1String("cannot be reached")), qPrintable(reply.error));
    QVERIFY2(timer.elapsed() < gone.timeoutMs,
             "a refused connection must not wait for the timeout");
}

void TestS3Client::silentStoreTimesOut() {
    ScriptedServer silent({QByteArray()});
    const quint16 port = silent.startListening();
    QVERIFY(port != 0);
    S3Config quiet = config();
    quiet.endpoint = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
    quiet.timeoutMs = 300;
    quiet.attempts = 1;
    S3Client client(quiet);
    const S3Reply reply = client.get(QStringLiteral("k"));
    QCOMPARE(reply.status, 0);
    QVERIFY2(reply.error.contains(QLatin1String("no answer within 300 ms")),
             qPrintable(reply.error));
}

void TestS3Client::serverErrorsAreRetried() {
    const QByteArray busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/xml\r\n"
                            "Content-Length: 56\r\n\r\n<Error><Code>SlowDown</Code><Message>m</"
                            "Message></Error>";
    const QByteArray fine = "HTTP/1.1 200 OK\r\nETag: \"abc\"\r\nContent-Length: 2\r\n\r\nok";
    const QByteArray denied = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    {
        ScriptedServer flaky({busy, busy, fine});
        S3Config c = config();
        c.endpoint = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(flaky.startListening()));
        S3Client client(c);
        const S3Reply reply = client.get(QStringLiteral("k"));
        QVERIFY2(reply.ok(), qPrintable(reply.error));
        QCOMPARE(reply.body, QByteArray("ok"));
        QCOMPARE(flaky.requests(), 3);
    }
    {
        ScriptedServer down({busy});
        S3Config c = config();
        c.endpoint = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(down.startListening()));
        S3Client client(c);
        const S3Reply reply = client.get(QStringLiteral("k"));
        QCOMPARE(reply.status, 503);
        QCOMPARE(reply.code, QByteArray("SlowDown"));
        QCOMPARE(down.requests(), c.attempts);
    }
    {
        // A refusal is final.
        ScriptedServer refusing({denied, fine});
        S3Config c = config();
        c.endpoint = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(refusing.startListening()));
        S3Client client(c);
        QCOMPARE(client.get(QStringLiteral("k")).status, 403);
        QCOMPARE(refusing.requests(), 1);
    }
}

void TestS3Client::callsFromManyThreads() {
    S3Client client(config());
    QThreadPool pool;
    pool.setMaxThreadCount(8);
    QList<QFuture<QString>> results;
    for (int i = 0; i < 32; ++i)
        results.append(QtConcurrent::run(&pool, [&client, i]() -> QString {
            const QString key = QStringLiteral("c8/%1.dat").arg(i);
            const QByteArray data = pattern(20000 + i, i);
            const S3Reply put = client.put(key, data);
            if (!put.ok())
                return put.error;
            if (put.etag() != md5(data))
                return QStringLiteral("wrong ETag for ") + key;
            const S3Reply got = client.get(key, 100, 1000);
            if (got.body != data.mid(100, 1000))
                return QStringLiteral("wrong range of ") + key;
            return {};
        }));
    for (auto &future : results)
        QCOMPARE(future.result(), QString());
    QString error;
    const auto listed = client.list(QStringLiteral("c8/"), &error);
    QVERIFY2(listed, qPrintable(error));
    QCOMPARE(listed->size(), 32);
}

void TestS3Client::storageUrl_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("problem"); // empty: accepted
    QTest::addColumn<QString>("bucket");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QByteArray>("region");

    QTest::newRow("bucket, endpoint, region")
        << "s3://scans?endpoint=http://127.0.0.1:9000&region=eu-west-1"
        << ""
        << "scans"
        << ""
        << "http://127.0.0.1:9000" << QByteArray("eu-west-1");
    QTest::newRow("with a prefix")
        << "s3://scans/lab/one?endpoint=https://store.example&region=eu-west-1"
        << ""
        << "scans"
        << "lab/one/"
        << "https://store.example" << QByteArray("eu-west-1");
    QTest::newRow("default region") << "s3://scans?endpoint=http://h"
                                    << ""
                                    << "scans"
                                    << ""
                                    << "http://h" << QByteArray("us-east-1");
    QTest::newRow("no endpoint") << "s3://scans?region=x"
                                 << "endpoint"
                                 << ""
                                 << ""
                                 << "" << QByteArray();
    QTest::newRow("other scheme") << "gs://scans?endpoint=http://h"
                                  << "s3://"
                                  << ""
                                  << ""
                                  << "" << QByteArray();
    QTest::newRow("bad bucket") << "s3://Scans_1?endpoint=http://h"
                                << "bucket name"
                                << ""
                                << ""
                                << "" << QByteArray();
    QTest::newRow("keys in the user part") << "s3://AKID:secret@scans?endpoint=http://h"
                                           << "keys do not belong"
                                           << ""
                                           << ""
                                           << "" << QByteArray();
    QTest::newRow("keys as a parameter") << "s3://scans?endpoint=http://h&secret_key=x"
                                         << "keys do not belong"
                                         << ""
                                         << ""
                                         << "" << QByteArray();
    QTest::newRow("unknown parameter") << "s3://scans?endpoint=http://h&colour=red"
                                       << "unknown storage URL parameter"
                                       << ""
                                       << ""
                                       << "" << QByteArray();
    QTest::newRow("endpoint not http") << "s3://scans?endpoint=ftp://h"
                                       << "endpoint"
                                       << ""
                                       << ""
                                       << "" << QByteArray();
}

void TestS3Client::storageUrl() {
    QFETCH(QString, url);
    QFETCH(QString, problem);
    QString error;
    const auto parsed = S3Config::fromUrl(url, &error);
    if (!problem.isEmpty()) {
        QVERIFY(!parsed);
        QVERIFY2(error.contains(problem), qPrintable(error));
        QVERIFY2(!error.contains(QLatin1String("secret")) || problem != "keys do not belong",
                 "the error must not repeat the secret");
        return;
    }
    QVERIFY2(parsed, qPrintable(error));
    QTEST(parsed->bucket, "bucket");
    QTEST(parsed->prefix, "prefix");
    QTEST(parsed->endpoint.toString(), "endpoint");
    QTEST(parsed->region, "region");
}

void TestS3Client::credentialSources() {
    const QByteArray keptId = qgetenv("AWS_ACCESS_KEY_ID");
    const QByteArray keptSecret = qgetenv("AWS_SECRET_ACCESS_KEY");
    const QByteArray keptProfile = qgetenv("AWS_PROFILE");
    auto restore = qScopeGuard([&] {
        qputenv("AWS_ACCESS_KEY_ID", keptId);
        qputenv("AWS_SECRET_ACCESS_KEY", keptSecret);
        qputenv("AWS_PROFILE", keptProfile);
    });
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("credentials"));
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write("# shared layout\n[default]\naws_access_key_id = AKIDDEFAULT\n"
              "aws_secret_access_key = secretdefault\n\n[profile lab]\n"
              "aws_access_key_id=AKIDLAB\naws_secret_access_key=secretlab\n"
              "aws_session_token = token\n");
    out.close();

    QString error;
    qputenv("AWS_ACCESS_KEY_ID", "AKIDENV");
    qputenv("AWS_SECRET_ACCESS_KEY", "secretenv");
    auto fromEnv = loadCredentials(file, &error);
    QVERIFY2(fromEnv, qPrintable(error));
    QCOMPARE(fromEnv->accessKeyId, QByteArray("AKIDENV"));

    qputenv("AWS_SECRET_ACCESS_KEY", "");
    QVERIFY(!loadCredentials(file, &error));
    QVERIFY2(error.contains(QLatin1String("together")), qPrintable(error));

    qputenv("AWS_ACCESS_KEY_ID", "");
    qputenv("AWS_PROFILE", "");
    auto fromFile = loadCredentials(file, &error);
    QVERIFY2(fromFile, qPrintable(error));
    QCOMPARE(fromFile->accessKeyId, QByteArray("AKIDDEFAULT"));
    QCOMPARE(fromFile->secretAccessKey, QByteArray("secretdefault"));
    QVERIFY(fromFile->sessionToken.isEmpty());

    qputenv("AWS_PROFILE", "lab");
    auto lab = loadCredentials(file, &error);
    QVERIFY2(lab, qPrintable(error));
    QCOMPARE(lab->accessKeyId, QByteArray("AKIDLAB"));
    QCOMPARE(lab->sessionToken, QByteArray("token"));

    qputenv("AWS_PROFILE", "absent");
    QVERIFY(!loadCredentials(file, &error));
    QVERIFY2(error.contains(QLatin1String("[absent]")), qPrintable(error));
    QVERIFY(!loadCredentials(dir.filePath(QStringLiteral("none")), &error));
    QVERIFY2(error.contains(QLatin1String("cannot read")), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestS3Client)
#include "tst_s3client.moc"
