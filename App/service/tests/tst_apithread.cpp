// The service facade: log-in state as the panel sees it, scan records, uploads retried after a
// growing wait until they succeed or cannot (with one user message and one crash report per scan
// and cause), held while the log-in has ended or the scan is another user's, and saves that wait
// for the last file. Api runs in its own thread here, as in the program; the loopback server
// stands in for the service, the storage and the crash-report receiver.

#include "service/apithread.h"
#include "service/runinownthread.h"
#include "service/scan.h"
#include "shell/crashreport.h"
#include "shell/settings.h"

#include "browserstub.h"
#include "loopbackserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
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
constexpr int maxRetryMs = 400;
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
// its presign as many times as the test says (with the status it says), then uploads; the
// storage answers with the MD5 of what it received as the ETag.
struct StorageScript {
    QHash<QString, int> failuresLeft;
    QHash<QString, int> failureStatus;        // 500 unless set
    QHash<QString, QByteArray> malformedOnce; // a presign reply to give once instead of failing
    QHash<QString, int> storageDelayOnce;     // a storage answer that comes this much later
    int saves = 0;

    std::optional<ScriptedReply> answer(LoopbackServer &server, const RecordedRequest &request) {
        if (request.path.endsWith("/presign_upload")) {
            const QString name = presignedName(request);
            if (malformedOnce.contains(name))
                return ScriptedReply::json(malformedOnce.take(name));
            if (failuresLeft.value(name) > 0) {
                --failuresLeft[name];
                return ScriptedReply::code(failureStatus.value(name, 500));
            }
            const QUrl target = server.url(QStringLiteral("/store/") + name);
            return ScriptedReply::json("{\"files\": [{\"method\": \"PUT\", \"url\": \"" +
                                       target.toEncoded() + "\", \"headers\": {}, \"data\": {}}]}");
        }
        if (request.path.startsWith("/store/")) {
            ScriptedReply stored = ScriptedReply::json("{}");
            stored.headers.append(
                {"ETag",
                 '"' + QCryptographicHash::hash(request.body, QCryptographicHash::Md5).toHex() +
                     '"'});
            const QString name = QString::fromUtf8(request.path.mid(7));
            stored.delayMs = storageDelayOnce.take(name);
            return stored;
        }
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

    static ApiThread::Intervals intervals() {
        ApiThread::Intervals shortened;
        shortened.pollMs = pollMs;
        shortened.retryMs = retryMs;
        shortened.maxRetryMs = maxRetryMs;
        return shortened;
    }
    std::unique_ptr<ApiThread> makeApiThread(const QString &token = QString(),
                                             ApiThread::Intervals times = intervals()) {
        settings->setApiUrl(server->url());
        settings->setApiToken(token);
        return std::make_unique<ApiThread>(settings.get(), times);
    }
    // The presign requests for one file, in order.
    QList<RecordedRequest> attemptsFor(const QString &name) const {
        QList<RecordedRequest> attempts;
        for (const RecordedRequest &request : server->requests())
            if (request.path.endsWith("/presign_upload") && presignedName(request) == name)
                attempts.append(request);
        return attempts;
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
    std::unique_ptr<ApiThread> withScan(Scan **scan, ApiThread::Intervals times = intervals()) {
        server->script("POST", "/api/mireva/container/new",
                       {ScriptedReply::json("{\"container_id\": \"c1\"}")});
        auto apiThread = makeApiThread(QString(), times);
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
        ApiThread apiThread(settings.get(), intervals());
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

    void retryDelays_data() {
        QTest::addColumn<int>("failures");
        QTest::addColumn<double>("unit");
        QTest::addColumn<int>("delayMs");
        // 5 s, doubling up to 5 minutes, spread by +-20 %.
        QTest::newRow("first, middle") << 1 << 0.5 << 5000;
        QTest::newRow("first, shortest") << 1 << 0.0 << 4000;
        QTest::newRow("first, longest") << 1 << 1.0 << 6000;
        QTest::newRow("second") << 2 << 0.5 << 10000;
        QTest::newRow("sixth") << 6 << 0.5 << 160000;
        QTest::newRow("seventh: capped") << 7 << 0.5 << 300000;
        QTest::newRow("seventh, shortest") << 7 << 0.0 << 240000;
        QTest::newRow("seventh, longest: capped") << 7 << 1.0 << 300000;
        QTest::newRow("hundredth") << 100 << 0.25 << 270000;
    }
    void retryDelays() {
        QFETCH(int, failures);
        QFETCH(double, unit);
        QFETCH(int, delayMs);
        QCOMPARE(ApiThread::retryDelayMs(ApiThread::Intervals{}, failures, unit), delayMs);
    }

    void retries_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("failures");
        QTest::newRow("three failures") << "a.dat" << 3;
        QTest::newRow("seven failures") << "b.dat" << 7;
        QTest::newRow("backslash path: shown whole") << "C:\\scans\\c.dat" << 1;
    }
    void retries() {
        QFETCH(QString, file);
        QFETCH(int, failures);
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        const QString containerPath = QStringLiteral("cells/x.dat");
        storage.failuresLeft[containerPath] = failures;
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        QSignalSpy finished(apiThread.get(), &ApiThread::uploadFinished);
        QSignalSpy uploaded(apiThread.get(), &ApiThread::fileUploaded);
        // A path without "/" is taken relative to the working folder.
        const QString previousFolder = QDir::currentPath();
        QDir::setCurrent(dir.path());
        const QByteArray content = "cells of " + file.toUtf8();
        writeFile(file, content);
        const QString path = file;
        apiThread->uploadFile("c1", containerPath, path, true);
        const bool done = QTest::qWaitFor([&] { return scan->uploaded() == 1; }, waitMs);
        QDir::setCurrent(previousFolder);
        QVERIFY(done);
        QCOMPARE(scan->uploading(), 0);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(server->count(presignPath), failures + 1);
        QVERIFY(!scan->failed());
        // The user hears of the trouble once, not at every attempt.
        QCOMPARE(error.size(), 1);
        QCOMPARE(error.first().first().toString(), "Failed to upload file " + file);
        // Each attempt after a failure waits at least the shortest wait the backoff allows.
        const auto attempts = server->requestsTo(presignPath);
        for (int i = 1; i < attempts.size(); ++i)
            QVERIFY2(attempts[i].receivedMs - attempts[i - 1].receivedMs >=
                         ApiThread::retryDelayMs(intervals(), i, 0.0) - 2, // ms rounding
                     qPrintable(QString("attempt %1").arg(i + 1)));
        // One crash report for the scan and cause, naming file, container, path and cause.
        QTRY_COMPARE(server->count(envelopePath), 1);
        const QString value =
            QStringLiteral("Failed to upload file %1 to container c1 at path %2: service HTTP 500")
                .arg(path, containerPath);
        QCOMPARE(envelopesWith("Upload failed"), 1);
        QCOMPARE(
            envelopesWith(
                QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1)),
            1);
        // The verified upload is told with the ETag that proved it.
        QCOMPARE(uploaded.size(), 1);
        QCOMPARE(uploaded.first().at(3).toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex()));
    }

    // The service goes down in the middle of a scan and comes back: every file arrives, and
    // none was tried more often than the backoff allows. The outage lasts until every file on
    // its way has been refused four times, however long that takes.
    void outageAndBack() {
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        apiThread->uploadFile("c1", "00000.dat", writeFile("00000.dat", "first"), false);
        QTRY_COMPARE(scan->uploaded(), 1);

        server->down = [](const RecordedRequest &request) {
            return !request.path.startsWith(envelopePath);
        };
        const QStringList files{"00001.dat", "snapshots/5.jpg", "scan.isd"};
        for (const QString &file : files)
            apiThread->uploadFile("c1", file, writeFile(QFileInfo(file).fileName(), file.toUtf8()),
                                  file == "scan.isd");
        QVERIFY(QTest::qWaitFor(
            [&] {
                return std::all_of(files.begin(), files.end(),
                                   [&](const QString &f) { return attemptsFor(f).size() >= 4; });
            },
            waitMs));
        server->down = nullptr;
        const qint64 backAt = server->requests().last().receivedMs;

        QTRY_COMPARE_WITH_TIMEOUT(scan->uploaded(), 4, waitMs);
        QCOMPARE(scan->status(), Scan::UPLOADED);
        for (const QString &file : files) {
            const QList<RecordedRequest> attempts = attemptsFor(file);
            for (int i = 1; i < attempts.size(); ++i)
                QVERIFY2(attempts[i].receivedMs - attempts[i - 1].receivedMs >=
                             ApiThread::retryDelayMs(intervals(), i, 0.0) - 2,
                         qPrintable(QString("%1, attempt %2").arg(file).arg(i + 1)));
            // Back within the longest wait.
            QVERIFY(attempts.last().receivedMs - backAt <= maxRetryMs + 1000);
        }
        QCOMPARE(error.size(), 1);
        QTRY_COMPARE(envelopesWith("Upload failed"), 1);
    }

    // A file the service refuses for good is tried no more: the scan shows why, the user is
    // told once, one crash report goes out, the other files still go, and a save cannot wait
    // for a scan that cannot be whole.
    void permanentFailure_data() {
        QTest::addColumn<int>("status");   // of the presign; 0: the local file is missing
        QTest::addColumn<int>("attempts"); // presign requests made for the file
        QTest::addColumn<QString>("cause");
        QTest::newRow("404") << 404 << 1 << "service HTTP 404";
        QTest::newRow("400") << 400 << 1 << "service HTTP 400";
        QTest::newRow("413") << 413 << 1 << "service HTTP 413";
        QTest::newRow("403 twice: after a fresh presign") << 403 << 2 << "service HTTP 403";
        QTest::newRow("missing local file") << 0 << 0 << "missing local file";
    }
    void permanentFailure() {
        QFETCH(int, status);
        QFETCH(int, attempts);
        QFETCH(QString, cause);
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        storage.failuresLeft["bad.dat"] = 1000;
        storage.failureStatus["bad.dat"] = status;
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        QSignalSpy failed(apiThread.get(), &ApiThread::scanFailed);
        auto saved = apiThread->saveScan("c1", "Slide");
        const QString bad = status ? writeFile("bad.dat") : dir.filePath("never-written.dat");
        apiThread->uploadFile("c1", "bad.dat", bad, false);
        apiThread->uploadFile("c1", "good.dat", writeFile("good.dat"), false);
        QTRY_COMPARE(failed.size(), 1);
        QTRY_COMPARE(scan->uploaded(), 1);
        QVERIFY(scan->failed());
        QCOMPARE(failed.first().at(1).toString(), scan->error());
        QVERIFY2(scan->error().contains(QFileInfo(bad).fileName()) && scan->error().contains(cause),
                 qPrintable(scan->error()));
        QVERIFY(finish(saved));
        QVERIFY_THROWS_EXCEPTION(ApiException, saved.result());
        QCOMPARE(storage.saves, 0);
        // Nothing more is tried, however long one waits for it.
        QTest::qWait(maxRetryMs + 200);
        QCOMPARE(attemptsFor("bad.dat").size(), attempts);
        QCOMPARE(scan->uploading(), 1);
        QCOMPARE(error.size(), 1);
        QVERIFY(error.first().first().toString().contains(cause));
        QTRY_COMPARE(envelopesWith("Upload failed"), 1);
        QTest::qWait(100);
        QCOMPARE(server->count(envelopePath), 1);
    }

    // A presigned request refused once may have expired on its way: it is asked afresh at once.
    void refusedOnceAskedAfresh() {
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        storage.failuresLeft["a.dat"] = 1;
        storage.failureStatus["a.dat"] = 403;
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        apiThread->uploadFile("c1", "a.dat", writeFile("a.dat"), true);
        QTRY_COMPARE(scan->uploaded(), 1);
        const auto attempts = attemptsFor("a.dat");
        QCOMPARE(attempts.size(), 2);
        QVERIFY(attempts[1].receivedMs - attempts[0].receivedMs < retryMs);
        QVERIFY(!scan->failed());
        QVERIFY(error.isEmpty());
    }

    // A storage that takes the upload and never answers is cut after the transfer timeout, and
    // the upload is tried again.
    void stalledUploadCutAndRetried() {
        ApiThread::Intervals times = intervals();
        times.transferTimeoutMs = 300;
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan, times);
        QVERIFY(apiThread);
        storage.storageDelayOnce["a.dat"] = 60000;
        apiThread->uploadFile("c1", "a.dat", writeFile("a.dat"), true);
        QTRY_COMPARE_WITH_TIMEOUT(scan->uploaded(), 1, waitMs);
        const auto puts = server->requestsTo("/store/a.dat");
        QCOMPARE(puts.size(), 2);
        QVERIFY(puts[1].receivedMs - puts[0].receivedMs >= times.transferTimeoutMs);
        QCOMPARE(scan->status(), Scan::UPLOADED);
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

    // The service no longer takes the log-in: every upload waits, the user is told once and
    // asked to log in again, and once the same user is back the uploads go on by themselves.
    void logInEndedHoldsUploads() {
        server->script("GET", "/api/mireva/info",
                       {ScriptedReply::json(userReply), ScriptedReply::code(401)});
        server->script("POST", "/api/mireva/container/new",
                       {ScriptedReply::json("{\"container_id\": \"c1\"}")});
        auto apiThread = makeApiThread(QStringLiteral("stored"));
        QTRY_VERIFY(apiThread->user().isValid());
        auto started = apiThread->startNewScan();
        QVERIFY(finish(started));
        Scan *scan = started.result();
        QCOMPARE(scan->owner(), QStringLiteral("ada@example.org"));

        storage.failuresLeft["a.dat"] = 1;
        storage.failureStatus["a.dat"] = 401;
        QSignalSpy error(apiThread.get(), &ApiThread::apiError);
        apiThread->uploadFile("c1", "a.dat", writeFile("a.dat"), false);
        apiThread->uploadFile("c1", "b.dat", writeFile("b.dat"), true);
        // The service confirms the token is gone: logged out.
        QTRY_VERIFY(!apiThread->isLoggedIn());
        QVERIFY(scan->waitingForLogIn());
        QCOMPARE(error.size(), 1);
        QVERIFY(error.first().first().toString().startsWith("Your log-in has ended"));
        QVERIFY(!scan->failed());
        QCOMPARE(scan->status(), Scan::UPLOADING);
        const int attemptsBefore = int(attemptsFor("a.dat").size());

        // The same user logs in again through the browser.
        server->script("POST", "/api/mireva/token",
                       {ScriptedReply::json("{\"authorization_url\": \"http://127.0.0.1:1/c\", "
                                            "\"activation_code\": \"K\"}")});
        QByteArray activated = userReply;
        activated.replace("{\"user\"", "{\"auth_token\": \"again\", \"user\"");
        server->script("POST", "/api/token/activate", {ScriptedReply::json(activated)});
        emit apiThread->logIn();
        QTRY_COMPARE_WITH_TIMEOUT(scan->uploaded(), 2, waitMs);
        QCOMPARE(scan->status(), Scan::UPLOADED);
        QVERIFY(!scan->waitingForLogIn());
        QCOMPARE(attemptsFor("a.dat").size(), attemptsBefore + 1);
        QCOMPARE(attemptsFor("a.dat").last().header("X-Api-token"), QByteArray("again"));
        QCOMPARE(error.size(), 1);
    }

    // A scan an earlier run left behind goes only into its owner's container: while another user
    // is logged in nothing of it is sent, not even its save.
    void recoveredScanWaitsForItsOwner() {
        QByteArray eve = userReply;
        eve.replace("ada@example.org", "eve@example.org");
        server->script("GET", "/api/mireva/info", {ScriptedReply::json(eve)});
        auto apiThread = makeApiThread(QStringLiteral("eve's"));
        QTRY_VERIFY(apiThread->user().isValid());
        QSignalSpy scans(apiThread.get(), &ApiThread::scansChanged);
        const QString uploadedBefore = writeFile("00000.dat");
        Scan *scan = apiThread->resumeScan("c1", "Ada@Example.org",
                                           QDateTime(QDate(2024, 5, 3), QTime(10, 42)),
                                           {uploadedBefore}, false);
        QVERIFY(scan);
        QCOMPARE(scans.size(), 1);
        QVERIFY(scan->recovered());
        QCOMPARE(apiThread->currentScan(), nullptr);
        QCOMPARE(apiThread->scans(), QList<Scan *>{scan});
        QCOMPARE(scan->uploaded(), 1);
        QCOMPARE(scan->status(), Scan::BUILDING);
        QVERIFY(scan->waitingForLogIn());
        // Taken up once only.
        QCOMPARE(apiThread->resumeScan("c1", "x", {}, {}, false), scan);

        apiThread->uploadFile("c1", "00001.dat", writeFile("00001.dat"), false);
        apiThread->uploadFile("c1", "scan.isd", writeFile("scan.isd"), true);
        auto saved = apiThread->saveScan("c1", "Slide of Ada");
        QCOMPARE(scan->status(), Scan::UPLOADING);
        QCOMPARE(scan->saveName(), QStringLiteral("Slide of Ada"));
        QVERIFY(scan->saving());
        QTest::qWait(2 * retryMs);
        QCOMPARE(attemptsFor("00001.dat").size(), 0);
        QCOMPARE(storage.saves, 0);

        // Eve logs out, Ada logs in: the scan goes on.
        server->script("POST", "/api/token/revoke", {ScriptedReply::json("{}")});
        emit apiThread->logOut();
        QTRY_VERIFY(!apiThread->isLoggedIn());
        server->script("POST", "/api/mireva/token",
                       {ScriptedReply::json("{\"authorization_url\": \"http://127.0.0.1:1/c\", "
                                            "\"activation_code\": \"K\"}")});
        QByteArray activated = userReply;
        activated.replace("{\"user\"", "{\"auth_token\": \"ada's\", \"user\"");
        server->script("POST", "/api/token/activate", {ScriptedReply::json(activated)});
        emit apiThread->logIn();
        QVERIFY(finish(saved));
        QCOMPARE(saved.result(), QStringLiteral("http://127.0.0.1:1/view/c1"));
        QCOMPARE(scan->uploaded(), 3);
        QCOMPARE(scan->status(), Scan::SAVED);
        QVERIFY(!scan->saving());
        for (const RecordedRequest &request : server->requests())
            if (request.path.startsWith("/api/mireva/container/c1"))
                QCOMPARE(request.header("X-Api-token"), QByteArray("ada's"));
    }

    // A recovered scan whose descriptor was confirmed is uploaded as soon as nothing else is
    // pending, and uploading again while a file it names is asked for once more.
    void recoveredScanCountsItsConfirmedFiles() {
        auto apiThread = makeApiThread();
        Scan *scan = apiThread->resumeScan("c1", QString(), {}, {"a", "b", "scan.isd"}, true);
        QCOMPARE(scan->uploaded(), 3);
        QCOMPARE(scan->status(), Scan::UPLOADED);
        // No owner known: an earlier session's scan waits, whoever is logged in.
        QVERIFY(scan->waitingForLogIn());
    }

    // Discarding stops the scan's uploads and fails a save that waits for it.
    void discardStopsUploadsAndSaves() {
        Scan *scan = nullptr;
        auto apiThread = withScan(&scan);
        QVERIFY(apiThread);
        storage.failuresLeft["a.dat"] = 1000;
        QSignalSpy discarded(apiThread.get(), &ApiThread::scanDiscarded);
        QSignalSpy current(apiThread.get(), &ApiThread::currentScanChanged);
        apiThread->uploadFile("c1", "a.dat", writeFile("a.dat"), true);
        auto saved = apiThread->saveScan("c1", "Never");
        QTRY_VERIFY(attemptsFor("a.dat").size() >= 2);
        apiThread->discardScan("c1");
        QCOMPARE(discarded.size(), 1);
        QCOMPARE(apiThread->currentScan(), nullptr);
        QCOMPARE(current.size(), 1);
        QVERIFY(apiThread->scans().isEmpty());
        QVERIFY(finish(saved));
        QVERIFY_THROWS_EXCEPTION(ApiException, saved.result());
        const int attempts = int(attemptsFor("a.dat").size());
        QTest::qWait(maxRetryMs + 200);
        QVERIFY(attemptsFor("a.dat").size() <= attempts + 1); // one may have been on its way
        apiThread->uploadFile("c1", "b.dat", writeFile("b.dat"), false);
        QTest::qWait(2 * retryMs);
        QCOMPARE(attemptsFor("b.dat").size(), 0);
        QCOMPARE(storage.saves, 0);
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
        // Saved with a page the program does not open: saved, with nothing to open.
        scan.setSaved(QString());
        QCOMPARE(scan.status(), Scan::SAVED);
        QVERIFY(scan.viewUrl().isEmpty());
    }
};

QTEST_MAIN(TestApiThread)
#include "tst_apithread.moc"
