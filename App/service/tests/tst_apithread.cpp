// The service facade: log-in state as the panel sees it, scan records, upload retries with their
// user messages and crash-report events, and saves that wait for the last file. Api runs in its
// own thread here, as in the program; the loopback server stands in for the service, the storage
// and the crash-report receiver.

#include "service/apithread.h"
#include "service/runinownthread.h"
#include "service/scan.h"
#include "shell/crashreport.h"
#include "shell/settings.h"

#include "browserstub.h"
#include "loopbackserver.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int pollMs = 100;
constexpr int retryMs = 150;
constexpr int waitMs = 10000;
const QByteArray envelopePath = "/api/7/envelope/";
const QByteArray presignPath = "/api/mireva/container/c1/presign_upload";

const QByteArray userReply =
    "{\"user\": {\"email\": \"ada@example.org\", \"first_name\": \"Ada\", \"last_name\": "
    "\"Byron\"}, \"organization\": {\"name\": \"Analytical Lab\"}}";

template <typename T>
bool finish(const QFuture<T> &future) {
    return QTest::qWaitFor([&] { return future.isFinished(); }, waitMs);
}

QString presignedName(const RecordedRequest &request) {
    return QJsonDocument::fromJson(request.body)
        .object()
        .value(QStringLiteral("files"))
        .toArray()
        .at(0)
        .toString();
}

} // namespace

// Stands in for the service's container, presign, storage and save endpoints. Each file fails
// its presign as many times as the test says, then uploads.
struct StorageScript {
    QHash<QString, int> failuresLeft;
    QHash<QString, QByteArray> malformedOnce; // a presign reply to give once instead of failing
    int saves = 0;

    std::optional<ScriptedReply> answer(LoopbackServer &server, const RecordedRequest &request) {
        if (request.path.endsWith("/presign_upload")) {
            const QString name = presignedName(request);
            if (malformedOnce.contains(name))
                return ScriptedReply::json(malformedOnce.take(name));
            if (failuresLeft.value(name) > 0) {
                --failuresLeft[name];
                return ScriptedReply::code(500);
            }
            const QUrl target = server.url(QStringLiteral("/store/") + name);
            return ScriptedReply::json("{\"files\": [{\"method\": \"PUT\", \"url\": \"" +
                                       target.toEncoded() + "\", \"headers\": {}, \"data\": {}}]}");
        }
        if (request.path.startsWith("/store/"))
            return ScriptedReply::json("{}");
        if (request.path.endsWith("/save")) {
            ++saves;
            return ScriptedReply::json("{\"view_url\": \"http://127.0.0.1:1/view/c1\"}");
        }
        return std::nullopt;
    }
};

class TestApiThread : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<LoopbackServer> server;
    std::unique_ptr<BrowserStub> browser;
    std::unique_ptr<Settings> settings;
    StorageScript storage;

    std::unique_ptr<ApiThread> makeApiThread(const QString &token = QString()) {
        settings->setApiUrl(server->url());
        settings->setApiToken(token);
        return std::make_unique<ApiThread>(settings.get(), ApiThread::Intervals{pollMs, retryMs});
    }
    QString writeFile(const QString &name, const QByteArray &content = "data") {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(content);
        return path;
    }
    // A facade with one scan for container "c1".
    std::unique_ptr<ApiThread> withScan(Scan **scan) {
        server->script("POST", "/api/mireva/container/new",
                       {ScriptedReply::json("{\"container_id\": \"c1\"}")});
        auto apiThread = makeApiThread();
        auto started = apiThread->startNewScan();
        if (!finish(started) || started.resultCount() != 1)
            return nullptr;
        *scan = started.result();
        server->forget();
        return apiThread;
    }
    int envelopesWith(const QByteArray &text) const {
        int n = 0;
        for (const RecordedRequest &request : server->requestsTo(envelopePath))
            n += request.body.contains(text) ? 1 : 0;
        return n;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
        QCoreApplication::setOrganizationName(QStringLiteral("MirevaServiceTest"));
        QCoreApplication::setApplicationName(QStringLiteral("Mireva"));
    }

    void init() {
        server = std::make_unique<LoopbackServer>();
        QVERIFY(server->start());
        storage = {};
        server->responder = [this](const RecordedRequest &request) {
            return storage.answer(*server, request);
        };
        server->script("POST", envelopePath, {ScriptedReply::json("{}")});
        browser = std::make_unique<BrowserStub>();
        settings = std::make_unique<Settings>(nullptr, QStringList());

        crashreport::Options options;
        options.dsn = QStringLiteral("http://pub@127.0.0.1:%1/7").arg(server->port());
        options.release = QStringLiteral("mireva@test");
        options.databasePath = dir.filePath(QStringLiteral("reports"));
        QVERIFY(crashreport::init(options));
    }
    void cleanup() {
        crashreport::close();
        settings.reset();
        browser.reset();
        server.reset();
    }

    void scanIsQmlElement() {
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import QtQml\nimport Mireva 1.0\nQtObject { property int s: "
                          "Scan.UPLOADED; property int t: Scan.SAVED }",
                          QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));
        QCOMPARE(object->property("s").toInt(), int(Scan::UPLOADED));
        QCOMPARE(object->property("t").toInt(), 3);
    }

    void runsInOwnThread() {
        QThread worker;
        worker.start();
        QObject target;
        target.moveToThread(&worker);
        auto future = runInOwnThread(&target, &QObject::thread);
        QVERIFY(finish(future));
        QCOMPARE(future.result(), &worker);
        // The object's own thread calls at once.
        QObject here;
        auto direct = runInOwnThread(&here, &QObject::objectName);
        QVERIFY(direct.isFinished());
        worker.quit();
        worker.wait();
    }

    void startNewScanTwice() {
        server->script("POST", "/api/mireva/container/new",
                       {ScriptedReply::json("{\"container_id\": \"first\"}"),
                        ScriptedReply::json("{\"container_id\": \"second\"}")});
        auto apiThread = makeApiThread();
        QSignalSpy current(apiThread.get(), &ApiThread::currentScanChanged);
        QSignalSpy scans(apiThread.get(), &ApiThread::scansChanged);
        QCOMPARE(apiThread->currentScan(), nullptr);
        auto first = apiThread->startNewScan();
        QVERIFY(finish(first));
        auto second = apiThread->startNewScan();
        QVERIFY(finish(second));
        QCOMPARE(apiThread->scans().size(), 2);
        QCOMPARE(apiThread->currentScan(), second.result());
        QCOMPARE(apiThread->currentScan()->containerId(), QStringLiteral("second"));
        QCOMPARE(apiThread->scans().first()->containerId(), QStringLiteral("first"));
        QCOMPARE(current.size(), 2);
        QCOMPARE(scans.size(), 2);
        const Scan *scan = second.result();
        QCOMPARE(scan->status(), Scan::BUILDING);
        QCOMPARE(scan->uploaded() + scan->uploading(), 0);
        QCOMPARE(scan->parent(), apiThread.get());
    }

    void startNewScanFails() {
        server->script("POST", "/api/mireva/container/new", {ScriptedReply::code(503)});
        auto apiThread = makeApiThread();
        auto started = apiThread->startNewScan();
        QVERIFY(finish(started));
        QVERIFY_THROWS_EXCEPTION(ApiException, started.result());
        QVERIFY(apiThread->scans().isEmpty());
    }

    // What the side panel shows after the stored token was checked at start.
    void storedToken_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("hasUser");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<int>("errors");
        QTest::newRow("accepted: authenticated") << 200 << true << true << 0;
        QTest::newRow("401: not authenticated, silently") << 401 << false << false << 0;
        QTest::newRow("500: user not loaded, message") << 500 << false << true << 1;
    }
    void storedToken() {
        QFETCH(int, status);
        QFETCH(bool, hasUser);
        QFETCH(bool, loggedIn);
        QFETCH(int, errors);
        server->script("GET", "/api/mireva/info", {ScriptedReply::json(userReply, status)});
        auto apiThread = makeApiThread(QStringLiteral("stored"));
        QList<bool> loadingSeen;
        connect(apiThread.get(), &ApiThread::isLoadingChanged, this,
                [&] { loadingSeen.append(apiThread->isLoading()); });
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        QTRY_VERIFY(!loadingSeen.isEmpty());
        QTest::qWait(50);
        // The start-up query's "loading" reaches nobody.
        QVERIFY(!loadingSeen.contains(true));
        QCOMPARE(apiThread->user().isValid(), hasUser);
        QCOMPARE(apiThread->isLoggedIn(), loggedIn);
        QCOMPARE(settings->apiToken(), loggedIn ? QStringLiteral("stored") : QString());
        QCOMPARE(error.size(), errors);
        if (hasUser) {
            const User user = apiThread->user().value<User>();
            QCOMPARE(user.email, QStringLiteral("ada@example.org"));
            QVERIFY(user.targetFolderName.isEmpty());
        }
    }

    void logInThroughBrowser() {
        const QUrl page = server->url("/confirm");
        server->script("POST", "/api/mireva/token",
                       {ScriptedReply::json("{\"authorization_url\": \"" + page.toEncoded() +
                                            "\", \"activation_code\": \"K\"}")});
        QByteArray activated = userReply;
        activated.replace("{\"user\"", "{\"auth_token\": \"fresh\", \"user\"");
        server->script("POST", "/api/token/activate",
                       {ScriptedReply::code(401), ScriptedReply::json(activated)});
        auto apiThread = makeApiThread();
        QSignalSpy urlChanged(apiThread.get(), &ApiThread::loginUrlChanged);
        QSignalSpy userChanged(apiThread.get(), &ApiThread::userChanged);
        emit apiThread->logIn();
        QTRY_VERIFY(apiThread->isLoading());
        QTRY_COMPARE(urlChanged.size(), 1);
        QCOMPARE(apiThread->loginUrl(), page.toString());
        QTRY_VERIFY(apiThread->user().isValid());
        QVERIFY(!apiThread->isLoading());
        QVERIFY(apiThread->isLoggedIn());
        QCOMPARE(settings->apiToken(), QStringLiteral("fresh"));
        QCOMPARE(browser->opened(), QList<QUrl>{page});
        QCOMPARE(server->count("/api/token/activate"), 2);

        // The crash-report user is the logged-in one.
        crashreport::captureException(QStringLiteral("Probe"), QStringLiteral("p"));
        QTRY_COMPARE(envelopesWith("ada@example.org"), 1);
        QCOMPARE(envelopesWith("{{auto}}"), 1);
    }

    void activationWithoutUser() {
        server->script("POST", "/api/mireva/token",
                       {ScriptedReply::json("{\"authorization_url\": \"http://127.0.0.1:1/c\", "
                                            "\"activation_code\": \"K\"}")});
        server->script("POST", "/api/token/activate",
                       {ScriptedReply::json("{\"auth_token\": \"t\"}")});
        auto apiThread = makeApiThread();
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        emit apiThread->logIn();
        QTRY_COMPARE(error.size(), 1);
        QTRY_VERIFY(!apiThread->isLoading());
        // "user-not-loaded": a token, no user.
        QVERIFY(apiThread->isLoggedIn());
        QVERIFY(!apiThread->user().isValid());
    }

    void cancelEndsLoading() {
        server->script("POST", "/api/mireva/token",
                       {ScriptedReply::json("{\"authorization_url\": \"http://127.0.0.1:1/c\", "
                                            "\"activation_code\": \"K\"}")});
        server->script("POST", "/api/token/activate", {ScriptedReply::code(401)});
        auto apiThread = makeApiThread();
        emit apiThread->logIn();
        QTRY_VERIFY(apiThread->isLoading());
        QTRY_VERIFY(server->count("/api/token/activate") >= 1);
        emit apiThread->cancelLogIn();
        QTRY_VERIFY(!apiThread->isLoading());
        const int polls = server->count("/api/token/activate");
        QTest::qWait(3 * pollMs);
        QCOMPARE(server->count("/api/token/activate"), polls);
        QVERIFY(!apiThread->isLoggedIn());
    }

    void malformedLogInEndsLoading() {
        server->script("POST", "/api/mireva/token",
                       {ScriptedReply::json("{\"activation_code\": \"K\"}")});
        auto apiThread = makeApiThread();
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Log-in failed"));
        emit apiThread->logIn();
        QTRY_COMPARE(error.size(), 1);
        QVERIFY(error.first().first().toString().contains("authorization_url"));
        QTRY_VERIFY(!apiThread->isLoading());
    }

    void logOutOffline() {
        server->script("GET", "/api/mireva/info", {ScriptedReply::json(userReply)});
        settings->setApiUrl(server->url());
        settings->setApiToken(QStringLiteral("stored"));
        ApiThread apiThread(settings.get(), ApiThread::Intervals{pollMs, retryMs});
        QTRY_VERIFY(apiThread.user().isValid());
        // The service goes away.
        server.reset();
        QSignalSpy error(&apiThread, &ApiThread::apiError);
        QSignalSpy loggedIn(&apiThread, &ApiThread::isLoggedInChanged);
        emit apiThread.logOut();
        QTRY_COMPARE(loggedIn.size(), 1);
        QVERIFY(!apiThread.isLoggedIn());
        QCOMPARE(settings->apiToken(), QString());
        QVERIFY(!apiThread.user().isValid());
        QTest::qWait(50);
        QCOMPARE(error.size(), 1);
        QVERIFY(error.first().first().toString().startsWith(Api::tr("Network error:")));
    }

    void twoFilesUploaded() {
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        QSignalSpy finished(apiThread.get(), &ApiThread::uploadFinished);
        apiThread->uploadFile("c1", "00001.dat", writeFile("00001.dat"), false);
        apiThread->uploadFile("c1", "scan.isd", writeFile("scan.isd"), true);
        QTRY_COMPARE(scan->uploaded(), 2);
        QCOMPARE(scan->uploading(), 0);
        QCOMPARE(scan->status(), Scan::UPLOADED);
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toString(), QStringLiteral("c1"));
        QCOMPARE(server->count("/store/00001.dat"), 1);
        QCOMPARE(server->count("/store/scan.isd"), 1);
        QTest::qWait(2 * retryMs);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(server->count(envelopePath), 0);
    }

    // The finish file completing first must not end the scan while another file is pending;
    // the scan ends, once, when that file completes.
    void finishFileFirstWaitsForTheRest() {
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        storage.failuresLeft["00001.dat"] = 2;
        QSignalSpy finished(apiThread.get(), &ApiThread::uploadFinished);
        apiThread->uploadFile("c1", "00001.dat", writeFile("00001.dat"), false);
        QCOMPARE(scan->uploading(), 1);
        apiThread->uploadFile("c1", "scan.isd", writeFile("scan.isd"), true);
        QCOMPARE(scan->status(), Scan::UPLOADING);
        auto saved = apiThread->saveScan("c1", "Slide 1");
        QTRY_COMPARE(server->count("/store/scan.isd"), 1);
        QTRY_COMPARE(scan->uploaded(), 1);
        QCOMPARE(scan->uploading(), 1);
        QCOMPARE(scan->status(), Scan::UPLOADING);
        QVERIFY(finished.isEmpty());
        QCOMPARE(storage.saves, 0);

        QTRY_COMPARE(scan->uploaded(), 2);
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(finish(saved));
        QCOMPARE(saved.result(), QStringLiteral("http://127.0.0.1:1/view/c1"));
        QCOMPARE(storage.saves, 1);
        // The save went out only after the last file was stored.
        QVERIFY(server->requestsTo("/api/mireva/container/c1/save").first().receivedMs >=
                server->requestsTo("/store/00001.dat").first().receivedMs);
        QCOMPARE(scan->status(), Scan::SAVED);
        QTest::qWait(2 * retryMs);
        QCOMPARE(finished.size(), 1);
    }

    void retries_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("failures");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("three failures: one message")
            << "a.dat" << 3 << QStringList{"Failed to upload file a.dat"};
        QTest::newRow("seven failures: 1st and 7th")
            << "b.dat" << 7
            << QStringList{"Failed to upload file b.dat", "Failed to upload file b.dat"};
        QTest::newRow("backslash path: shown whole")
            << "C:\\scans\\c.dat" << 1 << QStringList{"Failed to upload file C:\\scans\\c.dat"};
    }
    void retries() {
        QFETCH(QString, file);
        QFETCH(int, failures);
        QFETCH(QStringList, messages);
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        const QString containerPath = QStringLiteral("cells/x.dat");
        storage.failuresLeft[containerPath] = failures;
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        QSignalSpy finished(apiThread.get(), &ApiThread::uploadFinished);
        // A path without "/" is taken relative to the working folder.
        const QString previousFolder = QDir::currentPath();
        QDir::setCurrent(dir.path());
        writeFile(file);
        const QString path = file;
        apiThread->uploadFile("c1", containerPath, path, true);
        const bool uploaded = QTest::qWaitFor([&] { return scan->uploaded() == 1; }, waitMs);
        QDir::setCurrent(previousFolder);
        QVERIFY(uploaded);
        QCOMPARE(scan->uploading(), 0);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(server->count(presignPath), failures + 1);
        QStringList shown;
        for (const auto &arguments : error)
            shown.append(arguments.first().toString());
        QCOMPARE(shown, messages);
        // Each attempt after a failure waits the retry interval (lower bound only).
        const auto attempts = server->requestsTo(presignPath);
        for (int i = 1; i < attempts.size(); ++i)
            QVERIFY(attempts[i].receivedMs - attempts[i - 1].receivedMs >=
                    retryMs - 2); // ms rounding
        // One crash-report event per failed attempt, naming file, container and path.
        QTRY_COMPARE(server->count(envelopePath), failures);
        const QString value = QStringLiteral("Failed to upload file %1 to container c1 at path %2")
                                  .arg(path, containerPath);
        QCOMPARE(envelopesWith("Upload failed"), failures);
        QCOMPARE(
            envelopesWith(
                QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1)),
            failures);
    }

    // A presign reply the client cannot follow is a failed attempt like any other.
    void malformedPresignRetried() {
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        storage.malformedOnce["m.dat"] = "{\"files\": \"none\"}";
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Malformed presign reply"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Failed to upload file"));
        apiThread->uploadFile("c1", "m.dat", writeFile("m.dat"), true);
        QTRY_COMPARE(scan->uploaded(), 1);
        QCOMPARE(scan->status(), Scan::UPLOADED);
        QCOMPARE(server->count(presignPath), 2);
        QCOMPARE(error.size(), 1);
        QTRY_COMPARE(envelopesWith("Upload failed"), 1);
    }

    void unknownContainer() {
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        QTest::ignoreMessage(QtWarningMsg, "Cannot find scan for container ID \"nope\"");
        apiThread->uploadFile("nope", "a.dat", writeFile("a.dat"), true);
        QTest::ignoreMessage(QtWarningMsg, "Cannot find scan for container ID \"nope\"");
        auto saved = apiThread->saveScan("nope", "x");
        QVERIFY(finish(saved));
        try {
            saved.waitForFinished();
            (void)saved.result();
            QFAIL("no exception");
        } catch (const ApiException &e) {
            QCOMPARE(e.message, QStringLiteral("Cannot find scan for container ID"));
            QCOMPARE(e.statusCode, 0);
        }
        QTest::qWait(2 * retryMs);
        QVERIFY(server->requests().isEmpty());
        QVERIFY(error.isEmpty());
        QCOMPARE(scan->uploaded() + scan->uploading(), 0);
    }

    void saveWaitsForUploaded() {
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        auto saved = apiThread->saveScan("c1", "Slide 2");
        scan->setFilename(QStringLiteral("renamed in the panel")); // any update re-checks
        QTest::qWait(2 * retryMs);
        QCOMPARE(storage.saves, 0);
        QVERIFY(!saved.isFinished());
        apiThread->uploadFile("c1", "scan.isd", writeFile("scan.isd"), true);
        QVERIFY(finish(saved));
        QCOMPARE(saved.result(), QStringLiteral("http://127.0.0.1:1/view/c1"));
        QCOMPARE(storage.saves, 1);
        QCOMPARE(scan->status(), Scan::SAVED);
        QCOMPARE(scan->viewUrl(), QStringLiteral("http://127.0.0.1:1/view/c1"));
        const auto save = server->requestsTo("/api/mireva/container/c1/save");
        QCOMPARE(save.first().body,
                 QByteArray("{\"file_name\":\"Slide 2\",\"type\":\"isd_file\"}"));
    }

    void scanBookkeeping() {
        Scan scan(QStringLiteral("c"));
        QSignalSpy updated(&scan, &Scan::updated);
        scan.setFileUploaded("a", false);
        scan.setFileUploaded("a", false);
        QCOMPARE(scan.uploading(), 1);
        QCOMPARE(scan.status(), Scan::BUILDING);
        scan.finishUploads();
        QCOMPARE(scan.status(), Scan::UPLOADING);
        scan.setFileUploaded("a", true);
        QCOMPARE(scan.uploading(), 0);
        QCOMPARE(scan.uploaded(), 1);
        QCOMPARE(scan.status(), Scan::UPLOADED);
        scan.setFileUploaded("a", true);
        QCOMPARE(scan.uploaded(), 1);
        scan.setFilename("n");
        QCOMPARE(scan.filename(), QStringLiteral("n"));
        QCOMPARE(updated.size(), 6);
        Scan empty(QStringLiteral("e"));
        empty.finishUploads();
        QCOMPARE(empty.status(), Scan::UPLOADED);
    }
};

QTEST_MAIN(TestApiThread)
#include "tst_apithread.moc"
