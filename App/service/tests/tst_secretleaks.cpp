// No secret reaches the log or a crash report: a whole log-in (the start, a poll the user has
// not confirmed yet, the activation), a user query, a scan's container, an upload whose first
// attempt the storage refuses (with a reply that echoes the presigned request, as storage
// services do) and a save, with the program's own log handler writing the log file and crash
// reports going to the receiver. Then the log file, standard error, every envelope sent, the
// outbox and the settings file are searched for the token, the activation code and the
// presigned URL's signature and credentials.

#include "service/apithread.h"
#include "service/scan.h"
#include "shell/crashreport.h"
#include "shell/logging.h"
#include "shell/settings.h"

#include "browserstub.h"
#include "loopbackserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int waitMs = 20000;
const QByteArray envelopePath = "/api/7/envelope/";

const QByteArray token = "TOK-4f1e9a7c2b-secret";
const QByteArray activationCode = "ACT-77c0de-secret";
const QByteArray signature = "SIG-9c1b2e3d4f-secret";
const QByteArray credential = "AKIDSECRET-20250201-eu-s3";
const QByteArray securityToken = "STS-5e5e5e-secret";
const QList<QByteArray> secrets = {token, activationCode, signature, credential, securityToken};

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

template <typename T>
bool finish(const QFuture<T> &future) {
    return QTest::qWaitFor([&] { return future.isFinished(); }, waitMs);
}

} // namespace

class TestSecretLeaks : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString logPath;
    QString stderrPath;
    int savedStderr = -1;

    // Every place a secret could have gone, with what it holds.
    QList<QPair<QString, QByteArray>> everythingWritten(const LoopbackServer &server) {
        QList<QPair<QString, QByteArray>> places;
        std::fflush(stderr);
        places.append({QStringLiteral("standard error"), readAll(stderrPath)});
        QDirIterator files(dir.path(), QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            // The token's own file is where the token belongs.
            if (!path.endsWith(QLatin1String(".token")))
                places.append({path, readAll(path)});
        }
        for (const RecordedRequest &request : server.requestsTo(envelopePath))
            places.append({QStringLiteral("sent envelope"), request.body});
        return places;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
        QCoreApplication::setOrganizationName(QStringLiteral("MirevaLeakTest"));
        QCoreApplication::setApplicationName(QStringLiteral("Mireva"));
        stderrPath = dir.filePath(QStringLiteral("stderr.txt"));
        std::fflush(stderr);
        savedStderr = ::dup(2);
        FILE *capture = std::fopen(QFile::encodeName(stderrPath).constData(), "w");
        QVERIFY(capture);
        ::dup2(::fileno(capture), 2);
        std::fclose(capture);
        logPath = dir.filePath(QStringLiteral("data/Mireva/application_output.log"));
        logging::setup(logPath);
    }

    void cleanupTestCase() {
        std::fflush(stderr);
        if (savedStderr >= 0)
            ::dup2(savedStderr, 2);
    }

    void logInScanAndCrashReports() {
        LoopbackServer server;
        QVERIFY(server.start());
        BrowserStub browser;
        const QByteArray base = server.url().toEncoded();
        const QByteArray storagePath =
            "/bucket/c1/00001.dat?X-Amz-Credential=" + credential + "&X-Amz-Signature=" + signature;
        server.script("POST", "/api/mireva/token",
                      {ScriptedReply::json(
                          "{\"authorization_url\": \"" + base + "activate?code=" + activationCode +
                          "\", \"activation_code\": \"" + activationCode + "\"}")});
        const QByteArray user = "\"user\": {\"email\": \"ada@example.org\", \"first_name\": "
                                "\"Ada\", \"last_name\": \"Byron\"}, \"organization\": "
                                "{\"name\": \"Analytical Lab\"}";
        server.script("POST", "/api/token/activate",
                      {ScriptedReply::code(401),
                       ScriptedReply::json("{\"auth_token\": \"" + token + "\", " + user + "}")});
        server.script("GET", "/api/mireva/info", {ScriptedReply::json("{" + user + "}")});
        server.script("POST", "/api/mireva/container/new",
                      {ScriptedReply::json("{\"container_id\": \"c1\"}")});
        server.script("POST", "/api/mireva/container/c1/presign_upload",
                      {ScriptedReply::json("{\"files\": [{\"method\": \"PUT\", \"url\": \"" + base +
                                           storagePath.mid(1) +
                                           "\", \"headers\": {\"x-amz-security-token\": \"" +
                                           securityToken + "\"}, \"data\": {}}]}")});
        // The storage refuses the first two attempts (the second after a fresh presign, which a
        // refusal gets at once), repeating the request it got; then stores the file, with its
        // MD5 as the ETag. The second refusal is the one retried later and reported.
        const QByteArray echo = "<Error><Code>SignatureDoesNotMatch</Code><StringToSign>" +
                                credential + "</StringToSign><SignatureProvided>" + signature +
                                "</SignatureProvided><Token>" + securityToken + "</Token></Error>";
        ScriptedReply stored = ScriptedReply::json("{}");
        stored.headers.append(
            {"ETag",
             '"' + QCryptographicHash::hash("cell", QCryptographicHash::Md5).toHex() + '"'});
        server.script(
            "PUT", storagePath,
            {{403, "application/xml", echo, {}}, {500, "application/xml", echo, {}}, stored});
        server.script("POST", "/api/mireva/container/c1/save",
                      {ScriptedReply::json("{\"view_url\": \"" + base + "scans/1\"}")});
        server.script("POST", envelopePath, {ScriptedReply::json("{}")});

        crashreport::Options options;
        options.dsn = QStringLiteral("http://pub@127.0.0.1:%1/7").arg(server.port());
        options.release = QStringLiteral("mireva@test");
        options.debug = true;
        options.attachment = logPath;
        options.databasePath = dir.filePath(QStringLiteral("data/Mireva/crash-reports"));
        QVERIFY(crashreport::init(options));
        auto closeReports = qScopeGuard([] { crashreport::close(); });

        Settings settings(nullptr, QStringList());
        settings.setApiUrl(server.url());
        settings.setApiToken(QString());
        ApiThread apiThread(&settings, ApiThread::Intervals{100, 100});

        emit apiThread.logIn();
        QTRY_VERIFY_WITH_TIMEOUT(apiThread.user().isValid(), waitMs);
        QCOMPARE(settings.apiToken(), QString::fromLatin1(token));
        emit apiThread.queryUser();
        QTRY_COMPARE_WITH_TIMEOUT(server.count("/api/mireva/info"), 1, waitMs);

        const QFuture<Scan *> started = apiThread.startNewScan();
        QVERIFY(finish(started));
        Scan *scan = started.result();
        const QString cell = dir.filePath(QStringLiteral("00001.dat"));
        QFile file(cell);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("cell");
        file.close();
        apiThread.uploadFile(scan->containerId(), QStringLiteral("00001.dat"), cell, true);
        QTRY_COMPARE_WITH_TIMEOUT(scan->status(), Scan::UPLOADED, waitMs);
        const QFuture<QString> saved = apiThread.saveScan(scan->containerId(), "Slide");
        QVERIFY(finish(saved));
        QCOMPARE(saved.result(), QString::fromLatin1(base + "scans/1"));

        // An exception whose text happens to carry the token, as a library's might.
        crashreport::captureException(QStringLiteral("Runtime exception"),
                                      QStringLiteral("request with X-Api-token: ") +
                                          QString::fromLatin1(token) + " failed");
        // The failed attempt's report and the exception's, each with the log attached.
        QTRY_VERIFY_WITH_TIMEOUT(server.count(envelopePath) >= 2, waitMs);
        apiThread.stop();
        closeReports.dismiss();
        crashreport::close();
        logging::close();

        // The log is there and says what happened, without the secrets.
        const QByteArray log = readAll(logPath);
        for (const QByteArray line :
             {"Login start", "Check log in", "api response: ", "Uploading file:", "Network error: ",
              "SignatureDoesNotMatch", "File uploaded successfully:", "X-Amz-Signature=[redacted]",
              "\\\"auth_token\\\": \\\"[redacted]\\\""})
            QVERIFY2(log.contains(line), line.constData());
        int envelopesWithLog = 0;
        for (const RecordedRequest &request : server.requestsTo(envelopePath))
            envelopesWithLog += request.body.contains("Login start") ? 1 : 0;
        QVERIFY(envelopesWithLog >= 2);

        const auto places = everythingWritten(server);
        QVERIFY(places.size() > 3);
        for (const auto &[place, bytes] : places)
            for (const QByteArray &secret : secrets)
                QVERIFY2(
                    !bytes.contains(secret) &&
                        !bytes.contains(QUrl::toPercentEncoding(QString::fromLatin1(secret))),
                    qPrintable(place + QStringLiteral(" holds ") + QString::fromLatin1(secret)));
    }
};

QTEST_GUILESS_MAIN(TestSecretLeaks)
#include "tst_secretleaks.moc"
