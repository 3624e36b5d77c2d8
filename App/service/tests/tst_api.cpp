// The service client's request layer, browser log-in and uploads, against a scripted loopback
// server-> Api lives in the test thread here, so its continuations run as the test waits.

#include "service/api.h"

#include "browserstub.h"
#include "loopbackserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

namespace {

constexpr int pollMs = 100;
constexpr int waitMs = 10000;

template <typename T>
bool finish(const QFuture<T> &future) {
    return QTest::qWaitFor([&] { return future.isFinished(); }, waitMs);
}

// The exception a finished future holds, if it is an ApiException.
template <typename T>
std::optional<ApiException> apiExceptionOf(const QFuture<T> &future) {
    try {
        if constexpr (std::is_void_v<T>)
            future.waitForFinished();
        else
            (void)future.result();
    } catch (const ApiException &e) {
        return e;
    } catch (...) {
    }
    return std::nullopt;
}

// The parts of a multipart/form-data body: (name, body) in the order sent.
QList<QPair<QByteArray, QByteArray>> formParts(const RecordedRequest &request) {
    QList<QPair<QByteArray, QByteArray>> parts;
    const QByteArray type = request.header("Content-Type");
    const qsizetype at = type.indexOf("boundary=");
    if (at < 0)
        return parts;
    QByteArray boundary = type.mid(at + 9);
    if (boundary.startsWith('"'))
        boundary = boundary.mid(1, boundary.size() - 2);
    const QByteArray delimiter = "--" + boundary;
    qsizetype pos = request.body.indexOf(delimiter);
    while (pos >= 0) {
        const qsizetype start = pos + delimiter.size();
        if (request.body.mid(start, 2) == "--")
            break;
        const qsizetype next = request.body.indexOf(delimiter, start);
        if (next < 0)
            break;
        // "\r\n" headers "\r\n\r\n" body "\r\n"
        const QByteArray part = request.body.mid(start + 2, next - start - 4);
        const qsizetype split = part.indexOf("\r\n\r\n");
        const QByteArray headers = part.left(split);
        const QRegularExpression nameRe(QStringLiteral("name=\"([^\"]*)\""));
        const auto match = nameRe.match(QString::fromLatin1(headers));
        parts.append({match.captured(1).toLatin1(), part.mid(split + 4)});
        pos = next;
    }
    return parts;
}

QByteArray presignReply(const QByteArray &method, const QUrl &url, const QByteArray &headers,
                        const QByteArray &data) {
    return "{\"files\": [{\"method\": \"" + method + "\", \"url\": \"" + url.toEncoded() +
           "\", \"headers\": " + headers + ", \"data\": " + data + "}]}";
}

// The storage's answer to a file: stored, with the MD5 of what it received as the ETag.
ScriptedReply storedReply(const QByteArray &content) {
    ScriptedReply reply = ScriptedReply::json("{}");
    reply.headers.append(
        {"ETag", '"' + QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex() + '"'});
    return reply;
}

const QByteArray userReply =
    "{\"auth_token\": \"token-1\", \"user\": {\"email\": \"ada@example.org\", \"first_name\": "
    "\"Ada\", \"last_name\": \"Byron\"}, \"organization\": {\"name\": \"Analytical Lab\"}}";

} // namespace

class TestApi : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LoopbackServer> server;
    std::unique_ptr<BrowserStub> browser;
    QTemporaryDir dir;

    // With a token, the constructor's user query is let through and forgotten, so each test sees
    // only its own requests.
    std::unique_ptr<Api> makeApi(const QString &token = QStringLiteral("secret"),
                                 int transferTimeoutMs = Api::defaultTransferTimeoutMs) {
        auto api = std::make_unique<Api>(server->url(), token, pollMs, transferTimeoutMs);
        if (!token.isEmpty()) {
            QSignalSpy failed(api.get(), &Api::userLoadingFailed);
            QSignalSpy loaded(api.get(), &Api::userLoaded);
            if (!QTest::qWaitFor([&] { return !failed.isEmpty() || !loaded.isEmpty(); }, waitMs))
                qWarning("the initial user query did not end");
            server->forget();
        }
        return api;
    }
    QString writeFile(const QString &name, const QByteArray &content) {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(content);
        return path;
    }
    static QFuture<json> call(Api &api, const QUrl &url, const json &body,
                              NetworkRequestType type) {
        return api.apiCall(url, body, type);
    }
    static int liveReplies(Api &api) {
        return int(api.network->findChildren<QNetworkReply *>().size());
    }

private slots:
    void init() {
        server = std::make_unique<LoopbackServer>();
        QVERIFY(server->start());
        browser = std::make_unique<BrowserStub>();
    }
    void cleanup() { browser.reset(); }

    void requestTarget_data() {
        QTest::addColumn<bool>("absolute");
        QTest::addColumn<bool>("carriesToken");
        QTest::newRow("relative path: resolved, token") << false << true;
        QTest::newRow("absolute URL on the service's own host: no token") << true << false;
    }
    void requestTarget() {
        QFETCH(bool, absolute);
        QFETCH(bool, carriesToken);
        server->script("GET", "/api/mireva/info", {ScriptedReply::json("{}")});
        auto api = makeApi(QString());
        const QUrl url = absolute ? server->url("/api/mireva/info") : QUrl("/api/mireva/info");
        auto future = call(*api, url, nullptr, Get);
        QVERIFY(finish(future));
        QCOMPARE(server->requests().size(), 1);
        const RecordedRequest &request = server->requests().first();
        QCOMPARE(request.path, QByteArray("/api/mireva/info"));
        QCOMPARE(request.hasHeader("X-Api-token"), carriesToken);
        if (carriesToken)
            QCOMPARE(request.header("X-Api-token"), QByteArray());
    }

    void tokenHeaderValue() {
        server->script("GET", "/api/mireva/info", {ScriptedReply::code(500)});
        Api api(server->url(), QStringLiteral("tok-ä"), pollMs);
        QTRY_COMPARE(server->count("/api/mireva/info"), 1);
        QCOMPARE(server->requests().first().header("X-Api-token"),
                 QStringLiteral("tok-ä").toLocal8Bit());
    }

    void requestBody_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("contentType");
        QTest::newRow("POST, null body: nothing, no type")
            << int(Post) << QByteArray("null") << QByteArray() << QByteArray();
        QTest::newRow("POST, object: compact, JSON type")
            << int(Post) << QByteArray("{ \"b\": 1, \"a\": \"zażółć\" }")
            << QByteArray("{\"a\":\"zażółć\",\"b\":1}") << QByteArray("application/json");
        QTest::newRow("GET, object: no type")
            << int(Get) << QByteArray("{\"a\":1}") << QByteArray() << QByteArray();
    }
    void requestBody() {
        QFETCH(int, type);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, contentType);
        server->fallback = ScriptedReply::json("{}");
        auto api = makeApi();
        auto future =
            call(*api, QUrl("/api/x"), json::parse(body.toStdString()), NetworkRequestType(type));
        QVERIFY(finish(future));
        QCOMPARE(server->requests().size(), 1);
        const RecordedRequest &request = server->requests().first();
        QCOMPARE(request.method, type == Post ? QByteArray("POST") : QByteArray("GET"));
        QCOMPARE(request.body, sent);
        QCOMPARE(request.hasHeader("Content-Type"), !contentType.isEmpty());
        QCOMPARE(request.header("Content-Type"), contentType);
    }

    void invalidRequestType() {
        auto api = makeApi(QString());
        try {
            call(*api, QUrl("/api/x"), nullptr, NetworkRequestType(7));
            QFAIL("no exception");
        } catch (const ApiException &e) {
            QCOMPARE(e.message, QStringLiteral("Invalid request type"));
            QCOMPARE(e.statusCode, 0);
            QCOMPARE(QByteArray(e.what()), QByteArray("Unknown exception"));
        }
        QTest::qWait(50);
        QVERIFY(server->requests().isEmpty());
    }

    void replyContent_data() {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("parseError");
        QTest::addColumn<QByteArray>("expected"); // JSON text of the result
        QTest::newRow("JSON with charset: parsed")
            << QByteArray("application/json; charset=utf-8") << QByteArray("{\"a\": [1, 2]}")
            << false << QByteArray("{\"a\":[1,2]}");
        QTest::newRow("plain text: JSON string")
            << QByteArray("text/plain") << QByteArray("hello") << false << QByteArray("\"hello\"");
        QTest::newRow("capitalised JSON type: JSON string")
            << QByteArray("Application/JSON") << QByteArray("{\"a\":1}") << false
            << QByteArray("\"{\\\"a\\\":1}\"");
        QTest::newRow("no type: JSON string")
            << QByteArray() << QByteArray("x") << false << QByteArray("\"x\"");
        QTest::newRow("JSON type, empty body: parse error")
            << QByteArray("application/json") << QByteArray() << true << QByteArray();
        QTest::newRow("JSON type, malformed body: parse error")
            << QByteArray("application/json") << QByteArray("{\"a\":") << true << QByteArray();
    }
    void replyContent() {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(bool, parseError);
        QFETCH(QByteArray, expected);
        server->fallback = {200, contentType, body, {}};
        auto api = makeApi();
        auto future = call(*api, QUrl("/api/x"), nullptr, Get);
        QVERIFY(finish(future));
        if (parseError) {
            QVERIFY_THROWS_EXCEPTION(json::parse_error, future.result());
            return;
        }
        QCOMPARE(QByteArray::fromStdString(future.result().dump()), expected);
    }

    void httpErrors_data() {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<int>("statusCode");
        QTest::newRow("401") << false << 401;
        QTest::newRow("500") << false << 500;
        QTest::newRow("connection refused") << true << 0;
    }
    void httpErrors() {
        QFETCH(bool, refused);
        QFETCH(int, statusCode);
        server->fallback = ScriptedReply::code(statusCode);
        const QUrl base =
            refused ? QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(LoopbackServer::closedPort()))
                    : server->url();
        Api api(base, QString(), pollMs);
        auto future = call(api, QUrl("/api/x"), nullptr, Get);
        QVERIFY(finish(future));
        const auto e = apiExceptionOf(future);
        QVERIFY(e.has_value());
        QCOMPARE(e->statusCode, statusCode);
        QVERIFY2(e->message.startsWith(Api::tr("Network error:") + " "), qPrintable(e->message));
        QCOMPARE(QByteArray(e->what()), QByteArray("Unknown exception"));
    }

    void repliesReleased() {
        server->script("GET", "/ok", {ScriptedReply::json("{}")});
        server->script("GET", "/bad", {ScriptedReply::code(500)});
        auto api = makeApi(QString());
        auto ok = call(*api, QUrl("/ok"), nullptr, Get);
        auto bad = call(*api, QUrl("/bad"), nullptr, Get);
        QCOMPARE(liveReplies(*api), 2);
        QVERIFY(finish(ok));
        QVERIFY(finish(bad));
        QTRY_COMPARE(liveReplies(*api), 0);
    }

    // --- log-in, polling, cancel, log-out, user query ---

    void logInServiceDown() {
        Api api(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(LoopbackServer::closedPort())),
                QString(), pollMs);
        QSignalSpy loading(&api, &Api::userLoading);
        QSignalSpy error(&api, &Api::apiError);
        QSignalSpy loggedOut(&api, &Api::userLoggedOut);
        QSignalSpy failed(&api, &Api::userLoadingFailed);
        api.logIn();
        QCOMPARE(loading.size(), 1);
        QTRY_COMPARE(loggedOut.size(), 1);
        QCOMPARE(error.size(), 1);
        QVERIFY(error.first().first().toString().startsWith(Api::tr("Network error:")));
        QTRY_COMPARE(failed.size(), 1);
        QVERIFY(browser->opened().isEmpty());
    }

    void logInPollsUntilConfirmed() {
        const QUrl page = server->url("/activate?code=A1");
        server->script("POST", "/api/mireva/token",
                       {ScriptedReply::json("{\"authorization_url\": \"" + page.toEncoded() +
                                            "\", \"activation_code\": \"A1\"}")});
        server->script("POST", "/api/token/activate",
                       {ScriptedReply::code(401), ScriptedReply::code(401),
                        ScriptedReply::code(401), ScriptedReply::json(userReply)});
        auto api = makeApi(QString());
        QSignalSpy loggedIn(api.get(), &Api::userLoggedIn);
        QSignalSpy loaded(api.get(), &Api::userLoaded);
        QSignalSpy urlChanged(api.get(), &Api::loginUrlChanged);
        QSignalSpy error(api.get(), &Api::apiError);
        api->logIn();
        QTRY_COMPARE(loaded.size(), 1);
        QCOMPARE(loggedIn.size(), 1);
        QCOMPARE(loggedIn.first().first().toString(), QStringLiteral("token-1"));
        QCOMPARE(urlChanged.size(), 1);
        QCOMPARE(urlChanged.first().first().toString(), page.toString());
        QCOMPARE(browser->opened(), QList<QUrl>{page});
        QVERIFY(error.isEmpty());

        const auto user = loaded.first().first().value<User>();
        QCOMPARE(user.email, QStringLiteral("ada@example.org"));
        QCOMPARE(user.firstName, QStringLiteral("Ada"));
        QCOMPARE(user.lastName, QStringLiteral("Byron"));
        QCOMPARE(user.organizationName, QStringLiteral("Analytical Lab"));
        QVERIFY(user.targetFolderName.isEmpty());

        const auto start = server->requestsTo("/api/mireva/token");
        const auto polls = server->requestsTo("/api/token/activate");
        QCOMPARE(start.size(), 1);
        QVERIFY(!start.first().hasHeader("Content-Type"));
        QCOMPARE(polls.size(), 4);
        for (const RecordedRequest &poll : polls) {
            QCOMPARE(poll.body, QByteArray("{\"activation_code\":\"A1\"}"));
            QCOMPARE(poll.header("Content-Type"), QByteArray("application/json"));
        }
        // Each poll waits its interval after the previous step (lower bounds only).
        // The first timer starts when the request is sent, before the server sees it.
        QVERIFY(polls[0].receivedMs - start.first().receivedMs >= pollMs / 2);
        for (int i = 1; i < polls.size(); ++i)
            QVERIFY(polls[i].receivedMs - polls[i - 1].receivedMs >= pollMs - 2); // ms rounding

        // The new token goes with the following requests.
        server->script("GET", "/api/mireva/info", {ScriptedReply::json(userReply)});
        api->queryUser();
        QTRY_COMPARE(server->count("/api/mireva/info"), 1);
        QCOMPARE(server->requestsTo("/api/mireva/info").first().header("X-Api-token"),
                 QByteArray("token-1"));
    }

    // A start reply slower than the poll interval: the poll waits for it.
    void slowLogInStart() {
        ScriptedReply start = ScriptedReply::json(
            "{\"authorization_url\": \"http://127.0.0.1:1/a\", \"activation_code\": \"S\"}");
        start.delayMs = 4 * pollMs;
        server->script("POST", "/api/mireva/token", {start});
        server->script("POST", "/api/token/activate", {ScriptedReply::json(userReply)});
        auto api = makeApi(QString());
        QSignalSpy loaded(api.get(), &Api::userLoaded);
        QSignalSpy failed(api.get(), &Api::userLoadingFailed);
        api->logIn();
        QTRY_COMPARE(loaded.size(), 1);
        QVERIFY(failed.isEmpty());
        QCOMPARE(server->requestsTo("/api/token/activate").first().body,
                 QByteArray("{\"activation_code\":\"S\"}"));
    }

    void cancelDuringPolling() {
        server->script(
            "POST", "/api/mireva/token",
            {ScriptedReply::json(
                "{\"authorization_url\": \"http://127.0.0.1:1/a\", \"activation_code\": \"C\"}")});
        server->script("POST", "/api/token/activate", {ScriptedReply::code(401)});
        auto api = makeApi(QString());
        server->onRequest = [&](const RecordedRequest &request) {
            if (request.path == "/api/token/activate")
                api->cancelLogIn();
        };
        QSignalSpy failed(api.get(), &Api::userLoadingFailed);
        QSignalSpy loggedIn(api.get(), &Api::userLoggedIn);
        api->logIn();
        QTRY_COMPARE(failed.size(), 1);
        QTest::qWait(3 * pollMs);
        // The poll on its way when the user cancelled completed; none was started after it.
        QCOMPARE(server->count("/api/token/activate"), 1);
        QCOMPARE(failed.size(), 1);
        QVERIFY(loggedIn.isEmpty());
    }

    void activationWithoutUser() {
        server->script(
            "POST", "/api/mireva/token",
            {ScriptedReply::json(
                "{\"authorization_url\": \"http://127.0.0.1:1/a\", \"activation_code\": \"C\"}")});
        server->script("POST", "/api/token/activate",
                       {ScriptedReply::json("{\"auth_token\": \"t2\"}")});
        auto api = makeApi(QString());
        QSignalSpy loggedIn(api.get(), &Api::userLoggedIn);
        QSignalSpy loaded(api.get(), &Api::userLoaded);
        QSignalSpy error(api.get(), &Api::apiError);
        QSignalSpy failed(api.get(), &Api::userLoadingFailed);
        api->logIn();
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(loggedIn.size(), 1);
        QCOMPARE(loggedIn.first().first().toString(), QStringLiteral("t2"));
        QCOMPARE(error.size(), 1);
        QVERIFY2(error.first().first().toString().contains("type must be string, but is null"),
                 qPrintable(error.first().first().toString()));
        QVERIFY(loaded.isEmpty());
    }

    // A successful log-in reply without a key the client needs ends the log-in.
    void malformedLogInReply_data() {
        QTest::addColumn<QByteArray>("startReply");
        QTest::addColumn<QByteArray>("activationReply");
        QTest::addColumn<QString>("missing");
        QTest::addColumn<int>("polls");
        QTest::newRow("start without authorization_url")
            << QByteArray("{\"activation_code\": \"C\"}") << QByteArray(userReply)
            << "authorization_url" << 0;
        QTest::newRow("start without activation_code")
            << QByteArray("{\"authorization_url\": \"http://127.0.0.1:1/a\"}")
            << QByteArray(userReply) << "activation_code" << 0;
        QTest::newRow("start code not a string")
            << QByteArray(
                   "{\"authorization_url\": \"http://127.0.0.1:1/a\", \"activation_code\": 5}")
            << QByteArray(userReply) << "activation_code" << 0;
        QTest::newRow("activation without auth_token")
            << QByteArray(
                   "{\"authorization_url\": \"http://127.0.0.1:1/a\", \"activation_code\": \"C\"}")
            << QByteArray("{\"user\": {}}") << "auth_token" << 1;
        QTest::newRow("activation not JSON text")
            << QByteArray(
                   "{\"authorization_url\": \"http://127.0.0.1:1/a\", \"activation_code\": \"C\"}")
            << QByteArray("{") << "parse_error" << 1;
    }
    void malformedLogInReply() {
        QFETCH(QByteArray, startReply);
        QFETCH(QByteArray, activationReply);
        QFETCH(QString, missing);
        QFETCH(int, polls);
        server->script("POST", "/api/mireva/token", {ScriptedReply::json(startReply)});
        server->script("POST", "/api/token/activate", {ScriptedReply::json(activationReply)});
        auto api = makeApi(QString());
        QSignalSpy error(api.get(), &Api::apiError);
        QSignalSpy failed(api.get(), &Api::userLoadingFailed);
        QSignalSpy loggedIn(api.get(), &Api::userLoggedIn);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Log-in failed"));
        api->logIn();
        QTRY_VERIFY(!failed.isEmpty());
        QCOMPARE(error.size(), 1);
        QVERIFY2(error.first().first().toString().contains(missing),
                 qPrintable(error.first().first().toString()));
        // The error comes first, so the panel leaves "loading" with the message shown.
        QTest::qWait(3 * pollMs);
        QCOMPARE(server->count("/api/token/activate"), polls);
        QVERIFY(loggedIn.isEmpty());
        if (polls == 0)
            QVERIFY(browser->opened().isEmpty());
    }

    // After a completed log-in and a log-out, a log-in whose start fails must not poll with the
    // old code.
    void failedLogInDoesNotReuseOldCode() {
        server->script(
            "POST", "/api/mireva/token",
            {ScriptedReply::json(
                 "{\"authorization_url\": \"http://127.0.0.1:1/a\", \"activation_code\": \"OLD\"}"),
             ScriptedReply::code(500)});
        server->script("POST", "/api/token/activate", {ScriptedReply::json(userReply)});
        server->script("POST", "/api/token/revoke", {ScriptedReply::json("{}")});
        auto api = makeApi(QString());
        QSignalSpy loaded(api.get(), &Api::userLoaded);
        QSignalSpy loggedOut(api.get(), &Api::userLoggedOut);
        QSignalSpy failed(api.get(), &Api::userLoadingFailed);
        api->logIn();
        QTRY_COMPARE(loaded.size(), 1);
        api->logOut();
        QTRY_COMPARE(loggedOut.size(), 1);
        api->logIn();
        QTRY_COMPARE(loggedOut.size(), 2);
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(server->count("/api/token/activate"), 1);
        QCOMPARE(loaded.size(), 1);
    }

    // The browser is opened only on a web address; any other page the service names ends the
    // log-in with a message, and nothing is polled.
    void refusedLogInPage_data() {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QString>("reason");
        QTest::newRow("network share") << QByteArray("smb://fileserver/share/x") << "smb:";
        QTest::newRow("local file") << QByteArray("file:///etc/passwd") << "file:";
        QTest::newRow("script") << QByteArray("javascript:alert(1)") << "javascript:";
        QTest::newRow("plain http elsewhere")
            << QByteArray("http://login.example/activate?code=A1") << "plain http to login.example";
    }
    void refusedLogInPage() {
        QFETCH(QByteArray, page);
        QFETCH(QString, reason);
        // Had anything been handed to the system's opener, the stub records it.
        for (const char *scheme : {"smb", "file", "javascript"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), browser.get(), "open");
        auto unregister = qScopeGuard([] {
            for (const char *scheme : {"smb", "file", "javascript"})
                QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        });
        server->script("POST", "/api/mireva/token",
                       {ScriptedReply::json("{\"authorization_url\": \"" + page +
                                            "\", \"activation_code\": \"A1\"}")});
        server->script("POST", "/api/token/activate", {ScriptedReply::json(userReply)});
        auto api = makeApi(QString());
        QSignalSpy error(api.get(), &Api::apiError);
        QSignalSpy failed(api.get(), &Api::userLoadingFailed);
        QSignalSpy urlChanged(api.get(), &Api::loginUrlChanged);
        QSignalSpy loggedIn(api.get(), &Api::userLoggedIn);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Log-in page refused: .*" + reason));
        api->logIn();
        QTRY_VERIFY(!failed.isEmpty());
        QCOMPARE(error.size(), 1);
        const QString message = error.first().first().toString();
        QVERIFY2(message.startsWith(Api::tr("Log-in refused")) && message.contains(reason),
                 qPrintable(message));
        QTest::qWait(3 * pollMs);
        QVERIFY(browser->opened().isEmpty());
        QVERIFY(urlChanged.isEmpty());
        QCOMPARE(server->count("/api/token/activate"), 0);
        QVERIFY(loggedIn.isEmpty());
    }

    // A presigned address that is not a web address is never sent to: a file: URL used to make
    // the program write the scan file to that local path.
    void refusedStorageAddress_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("url"); // %1: the test's folder
        QTest::addColumn<QString>("reason");
        QTest::newRow("local file, PUT") << QByteArray("PUT") << "file://%1/stolen.dat"
                                         << "file:";
        QTest::newRow("local file, form") << QByteArray("POST") << "file://%1/stolen.dat"
                                          << "file:";
        QTest::newRow("network share") << QByteArray("PUT") << "smb://fileserver/share/stolen.dat"
                                       << "smb:";
        QTest::newRow("plain http elsewhere")
            << QByteArray("PUT") << "http://storage.example/a?signature=s1"
            << "plain http to storage.example";
    }
    void refusedStorageAddress() {
        QFETCH(QByteArray, method);
        QFETCH(QString, url);
        QFETCH(QString, reason);
        const QString target = url.arg(dir.path());
        QFile::remove(dir.filePath("stolen.dat"));
        const QString path = writeFile("cell.dat", "cell pixels");
        server->script("POST", "/api/mireva/container/c1/presign_upload",
                       {ScriptedReply::json(presignReply(method, QUrl(target), "{}", "{}"))});
        auto api = makeApi();
        QSignalSpy error(api.get(), &Api::apiError);
        for (int attempt = 0; attempt < 2; ++attempt) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("Storage address refused for .*" + reason));
            auto result = api->uploadFile("c1", "cell.dat", path);
            QVERIFY(finish(result));
            // The service would hand out the same kind of address again.
            QCOMPARE(result.result().outcome, UploadResult::Permanent);
            QCOMPARE(result.result().cause, QString("storage address refused"));
        }
        QVERIFY(!QFile::exists(dir.filePath("stolen.dat")));
        // Only the presign requests reached the service.
        QCOMPARE(server->requests().size(), 2);
        // Told once, not for every file that meets it.
        QCOMPARE(error.size(), 1);
        const QString message = error.first().first().toString();
        QVERIFY2(message.startsWith(Api::tr("Upload refused")) && message.contains(reason),
                 qPrintable(message));
        QVERIFY(!message.contains("signature"));
    }

    // The scan is saved whatever page the service names for it; one the browser must not be
    // sent to is dropped with a message.
    void savedScanPage_data() {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<bool>("kept");
        QTest::newRow("https") << QByteArray("https://tavrona.example/scans/17") << true;
        QTest::newRow("http to this machine") << QByteArray("http://127.0.0.1:1/scans/17") << true;
        QTest::newRow("network share") << QByteArray("smb://fileserver/share/x") << false;
        QTest::newRow("local file") << QByteArray("file:///home/user/.ssh/id_rsa") << false;
    }
    void savedScanPage() {
        QFETCH(QByteArray, page);
        QFETCH(bool, kept);
        server->script("POST", "/api/mireva/container/c-17/save",
                       {ScriptedReply::json("{\"view_url\": \"" + page + "\"}")});
        auto api = makeApi();
        QSignalSpy error(api.get(), &Api::apiError);
        if (!kept)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Scan page refused:"));
        auto saved = api->saveScan(QStringLiteral("c-17"), QStringLiteral("Slide"));
        QVERIFY(finish(saved));
        QCOMPARE(saved.result(), kept ? QString::fromLatin1(page) : QString());
        QCOMPARE(error.size(), kept ? 0 : 1);
        if (!kept)
            QVERIFY(error.first().first().toString().startsWith(Api::tr("The scan was saved")));
    }

    void queryUser_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<bool>("loggedOut");
        QTest::addColumn<QString>("error"); // start of the error text, empty for none
        QTest::newRow("200 with user") << 200 << userReply << true << false << QString();
        QTest::newRow("401: token dropped, no message")
            << 401 << QByteArray("{}") << false << true << QString();
        QTest::newRow("500: message, token kept")
            << 500 << QByteArray("{}") << false << false << Api::tr("Network error:");
        QTest::newRow("200 without organization")
            << 200
            << QByteArray(
                   "{\"user\": {\"email\": \"a\", \"first_name\": \"b\", \"last_name\": \"c\"}}")
            << false << false << QString("[json.exception.type_error.302]");
        QTest::newRow("200, JSON type, unreadable body")
            << 200 << QByteArray("not json") << false << false
            << QString("[json.exception.parse_error");
    }
    void queryUser() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, loaded);
        QFETCH(bool, loggedOut);
        QFETCH(QString, error);
        server->script("GET", "/api/mireva/info", {ScriptedReply::json(body, status)});
        // With a stored token the constructor queries the user at once.
        auto api = std::make_unique<Api>(server->url(), QStringLiteral("stored"), pollMs);
        QSignalSpy loadedSpy(api.get(), &Api::userLoaded);
        QSignalSpy failedSpy(api.get(), &Api::userLoadingFailed);
        QSignalSpy loggedOutSpy(api.get(), &Api::userLoggedOut);
        QSignalSpy errorSpy(api.get(), &Api::apiError);
        QTRY_COMPARE(loadedSpy.size() + failedSpy.size(), 1);
        QCOMPARE(server->requestsTo("/api/mireva/info").first().header("X-Api-token"),
                 QByteArray("stored"));
        QCOMPARE(loadedSpy.size(), int(loaded));
        QCOMPARE(loggedOutSpy.size(), int(loggedOut));
        QCOMPARE(errorSpy.size(), int(!error.isEmpty()));
        if (!error.isEmpty())
            QVERIFY2(errorSpy.first().first().toString().startsWith(error),
                     qPrintable(errorSpy.first().first().toString()));

        // Whether the token was kept shows in the next request.
        api->queryUser();
        QTRY_COMPARE(server->count("/api/mireva/info"), 2);
        QCOMPARE(server->requestsTo("/api/mireva/info").last().header("X-Api-token"),
                 loggedOut ? QByteArray() : QByteArray("stored"));
    }

    void noQueryWithoutToken() {
        auto api = makeApi(QString());
        QTest::qWait(50);
        QVERIFY(server->requests().isEmpty());
    }

    void logOut_data() {
        QTest::addColumn<bool>("offline");
        QTest::addColumn<int>("errors");
        QTest::newRow("service accepts") << false << 0;
        QTest::newRow("service unreachable") << true << 1;
    }
    void logOut() {
        QFETCH(bool, offline);
        QFETCH(int, errors);
        server->script("POST", "/api/token/revoke", {ScriptedReply::json("{}")});
        server->script("GET", "/api/mireva/info", {ScriptedReply::code(500)});
        const QUrl base =
            offline ? QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(LoopbackServer::closedPort()))
                    : server->url();
        Api api(base, QString(), pollMs);
        QSignalSpy loggedOut(&api, &Api::userLoggedOut);
        QSignalSpy error(&api, &Api::apiError);
        api.apiToken = QStringLiteral("live");
        api.logOut();
        QTRY_COMPARE(loggedOut.size(), 1);
        QCOMPARE(error.size(), errors);
        QVERIFY(api.apiToken.isEmpty());
        if (!offline) {
            const auto revoke = server->requestsTo("/api/token/revoke");
            QCOMPARE(revoke.size(), 1);
            QCOMPARE(revoke.first().header("X-Api-token"), QByteArray("live"));
            QVERIFY(revoke.first().body.isEmpty());
        }
    }

    // --- containers and uploads ---

    void newContainerAndSave() {
        server->script("POST", "/api/mireva/container/new",
                       {ScriptedReply::json("{\"container_id\": \"c-17\"}")});
        server->script("POST", "/api/mireva/container/c-17/save",
                       {ScriptedReply::json("{\"view_url\": \"http://127.0.0.1:1/view/17\"}"),
                        ScriptedReply::json("{\"url\": \"x\"}")});
        auto api = makeApi();
        auto container = api->newContainer();
        QVERIFY(finish(container));
        QCOMPARE(container.result(), QStringLiteral("c-17"));

        auto saved = api->saveScan(QStringLiteral("c-17"), QStringLiteral("Slide \"7\""));
        QVERIFY(finish(saved));
        QCOMPARE(saved.result(), QStringLiteral("http://127.0.0.1:1/view/17"));
        const RecordedRequest save = server->requestsTo("/api/mireva/container/c-17/save").first();
        QCOMPARE(save.body,
                 QByteArray("{\"file_name\":\"Slide \\\"7\\\"\",\"type\":\"isd_file\"}"));
        QCOMPARE(save.header("X-Api-token"), QByteArray("secret"));

        // A save reply without "view_url" leaves the JSON error in the future.
        auto unnamed = api->saveScan(QStringLiteral("c-17"), QStringLiteral("x"));
        QVERIFY(finish(unnamed));
        QVERIFY_THROWS_EXCEPTION(json::type_error, unnamed.result());
    }

    void newContainerFailure() {
        server->script("POST", "/api/mireva/container/new", {ScriptedReply::code(403)});
        auto api = makeApi();
        auto container = api->newContainer();
        QVERIFY(finish(container));
        const auto e = apiExceptionOf(container);
        QVERIFY(e.has_value());
        QCOMPARE(e->statusCode, 403);
    }

    void storageTransfer_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<bool>("form");
        QTest::newRow("PUT: raw file") << QByteArray("PUT") << false;
        QTest::newRow("POST: form") << QByteArray("POST") << true;
        QTest::newRow("lower-case put: form") << QByteArray("put") << true;
    }
    void storageTransfer() {
        QFETCH(QByteArray, method);
        QFETCH(bool, form);
        const QByteArray content("cell pixels \x01\x02\xff", 15);
        const QString path = writeFile("00001.dat", content);
        const QUrl storage = server->url("/bucket/up?sig=1");
        server->script("POST", "/api/mireva/container/c1/presign_upload",
                       {ScriptedReply::json(presignReply(
                           method, storage,
                           // A form's own Content-Type (with its boundary) must not be replaced.
                           form ? "{\"x-meta-b\": \"2\"}"
                                : "{\"x-meta-b\": \"2\", \"Content-Type\": \"image/jpeg\"}",
                           "{\"policy\": \"P\", \"key\": \"cells/00001.dat\"}"))});
        server->script(form ? "POST" : "PUT", "/bucket/up?sig=1", {storedReply(content)});
        auto api = makeApi();
        auto ok = api->uploadFile("c1", "cells/00001.dat", path);
        QVERIFY(finish(ok));
        QCOMPARE(ok.result().outcome, UploadResult::Stored);
        QCOMPARE(ok.result().etag,
                 QString::fromLatin1(
                     QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex()));

        QCOMPARE(server->requests().size(), 2);
        const RecordedRequest presign = server->requests()[0];
        QCOMPARE(presign.body, QByteArray("{\"files\":[\"cells/00001.dat\"]}"));
        QCOMPARE(presign.header("X-Api-token"), QByteArray("secret"));

        const RecordedRequest upload = server->requests()[1];
        QCOMPARE(upload.method, form ? QByteArray("POST") : QByteArray("PUT"));
        QVERIFY(!upload.hasHeader("X-Api-token"));
        QCOMPARE(upload.header("x-meta-b"), QByteArray("2"));
        if (!form) {
            QCOMPARE(upload.header("Content-Type"), QByteArray("image/jpeg"));
            QCOMPARE(upload.body, content);
            return;
        }
        QVERIFY(upload.header("Content-Type").startsWith("multipart/form-data; boundary="));
        const auto parts = formParts(upload);
        QCOMPARE(parts.size(), 3);
        QCOMPARE(parts[0], (QPair<QByteArray, QByteArray>("key", "cells/00001.dat")));
        QCOMPARE(parts[1], (QPair<QByteArray, QByteArray>("policy", "P")));
        QCOMPARE(parts[2], (QPair<QByteArray, QByteArray>("file", content)));
    }

    void etag_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("headerName"); // empty: no ETag header
        QTest::addColumn<QByteArray>("etag");
        QTest::addColumn<bool>("ok");
        const QByteArray abc = "900150983cd24fb0d6963f7d28e17f72"; // MD5 of "abc"
        QTest::newRow("empty file, quoted MD5")
            << QByteArray() << QByteArray("ETag")
            << QByteArray("\"d41d8cd98f00b204e9800998ecf8427e\"") << true;
        QTest::newRow("unquoted match") << QByteArray("abc") << QByteArray("ETag") << abc << true;
        QTest::newRow("upper-case hex: mismatch")
            << QByteArray("abc") << QByteArray("ETag") << abc.toUpper() << false;
        QTest::newRow("other file's MD5: mismatch")
            << QByteArray("abd") << QByteArray("ETag") << abc << false;
        QTest::newRow("lower-case header name")
            << QByteArray("abc") << QByteArray("etag") << ("\"" + abc + "\"") << true;
        // Nothing says the file arrived whole: it is not taken as stored.
        QTest::newRow("no ETag: failed")
            << QByteArray("abc") << QByteArray() << QByteArray() << false;
    }
    void etag() {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, headerName);
        QFETCH(QByteArray, etag);
        QFETCH(bool, ok);
        const QString path = writeFile("file.bin", content);
        server->script("POST", "/api/mireva/container/c1/presign_upload",
                       {ScriptedReply::json(presignReply("PUT", server->url("/s"), "{}", "{}"))});
        ScriptedReply stored = ScriptedReply::json("{}");
        if (!headerName.isEmpty())
            stored.headers.append({headerName, etag});
        server->script("PUT", "/s", {stored});
        auto api = makeApi();
        auto result = api->uploadFile("c1", "file.bin", path);
        QVERIFY(finish(result));
        QCOMPARE(result.result().outcome, ok ? UploadResult::Stored : UploadResult::Failed);
        if (!ok)
            QCOMPARE(result.result().cause,
                     headerName.isEmpty() ? QString("no ETag") : QString("ETag mismatch"));
    }

    void calculateETag_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("bytes") << QByteArray("\x00\x01zażółć", 12);
        QTest::newRow("1 MiB") << QByteArray(1 << 20, 'q');
    }
    void calculateETag() {
        QFETCH(QByteArray, content);
        const QString path = writeFile("etag.bin", content);
        QCOMPARE(Api::calculateETag(path),
                 QString::fromLatin1(
                     QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex()));
        QCOMPARE(Api::calculateETag(dir.filePath("missing")), QString());
    }

    // A local file that is missing or cannot be read must not reach the storage as an empty
    // file counted as uploaded; trying again cannot help.
    void unreadableLocalFile_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<bool>("folder"); // a folder where the file should be: it cannot be read
        QTest::newRow("PUT, missing") << QByteArray("PUT") << false;
        QTest::newRow("form, missing") << QByteArray("POST") << false;
        QTest::newRow("PUT, unreadable") << QByteArray("PUT") << true;
    }
    void unreadableLocalFile() {
        QFETCH(QByteArray, method);
        QFETCH(bool, folder);
        server->script("POST", "/api/mireva/container/c1/presign_upload",
                       {ScriptedReply::json(presignReply(method, server->url("/s"), "{}", "{}"))});
        server->script(method, "/s", {ScriptedReply::json("{}")});
        auto api = makeApi();
        const QString path = dir.filePath(folder ? "folder.dat" : "gone.dat");
        if (folder)
            QVERIFY(QDir().mkpath(path));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(folder ? "Cannot read file for upload:"
                                                       : "The file to upload is missing:"));
        auto result = api->uploadFile("c1", "gone.dat", path);
        QVERIFY(finish(result));
        QCOMPARE(result.result().outcome, UploadResult::Permanent);
        QCOMPARE(result.result().cause,
                 folder ? QString("unreadable local file") : QString("missing local file"));
        QVERIFY(server->requests().isEmpty());
    }

    void onlyFirstFilesElementUsed() {
        const QString path = writeFile("a.dat", "a");
        server->script(
            "POST", "/api/mireva/container/c1/presign_upload",
            {ScriptedReply::json(
                "{\"files\": [ {\"method\": \"PUT\", \"url\": \"" +
                server->url("/first").toEncoded() +
                "\", \"headers\": {}, \"data\": {}}, {\"method\": \"PUT\", \"url\": \"" +
                server->url("/second").toEncoded() + "\", \"headers\": {}, \"data\": {}}]}")});
        server->script("PUT", "/first", {storedReply("a")});
        server->script("PUT", "/second", {storedReply("a")});
        auto api = makeApi();
        auto result = api->uploadFile("c1", "a.dat", path);
        QVERIFY(finish(result));
        QCOMPARE(result.result().outcome, UploadResult::Stored);
        QCOMPARE(server->count("/first"), 1);
        QCOMPARE(server->count("/second"), 0);
    }

    // A presign reply the client cannot follow is a failed attempt with a log line, never an
    // exception that would make the upload vanish.
    void malformedPresign_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("logged");
        QTest::newRow("no files") << QByteArray("{\"file\": []}") << "no \"files\"";
        QTest::newRow("files empty") << QByteArray("{\"files\": []}") << "\"files\" is not";
        QTest::newRow("files not array")
            << QByteArray("{\"files\": {\"method\": \"PUT\"}}") << "\"files\" is not";
        QTest::newRow("method not string")
            << QByteArray("{\"files\": [{\"method\": 1, \"url\": \"http://127.0.0.1:1/\"}]}")
            << "\"method\" is missing or not a string";
        QTest::newRow("no url") << QByteArray("{\"files\": [{\"method\": \"PUT\"}]}")
                                << "\"url\" is missing or not a string";
        QTest::newRow("header not string")
            << QByteArray("{\"files\": [{\"method\": \"PUT\", \"url\": \"http://127.0.0.1:1/\", "
                          "\"headers\": {\"a\": 1}}]}")
            << "\"headers\" entry \"a\" is number";
        QTest::newRow("data not object")
            << QByteArray("{\"files\": [{\"method\": \"POST\", \"url\": \"http://127.0.0.1:1/\", "
                          "\"data\": \"x\"}]}")
            << "\"data\" is string";
        QTest::newRow("unreadable JSON") << QByteArray("{\"files\":") << "parse_error";
    }
    void malformedPresign() {
        QFETCH(QByteArray, reply);
        QFETCH(QString, logged);
        const QString path = writeFile("a.dat", "a");
        server->script("POST", "/api/mireva/container/c1/presign_upload",
                       {ScriptedReply::json(reply)});
        auto api = makeApi();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("Malformed presign reply:.*" +
                                                QRegularExpression::escape(
                                                    // as the debug stream quotes a QString
                                                    QString(logged).replace("\"", "\\\""))));
        auto result = api->uploadFile("c1", "a.dat", path);
        QVERIFY(finish(result));
        QVERIFY(!result.isCanceled());
        QCOMPARE(result.result().outcome, UploadResult::Failed);
        QCOMPARE(result.result().cause, QString("malformed presign reply"));
        QCOMPARE(server->requests().size(), 1);
    }

    // A storage that answers with a redirect is followed only where an upload may go at all.
    // Qt itself refuses to leave http for another scheme; a redirect to plain http elsewhere is
    // the program's to refuse.
    void storageRedirect_data() {
        QTest::addColumn<QString>("location"); // {dir}: the test's folder; {base}: the server's
        QTest::addColumn<bool>("followed");
        QTest::addColumn<bool>("refusedHere");
        QTest::newRow("to a local file") << "file://{dir}/stolen.dat" << false << false;
        QTest::newRow("to a network share") << "smb://fileserver/share/x" << false << false;
        QTest::newRow("to plain http elsewhere") << "http://storage.example/a" << false << true;
        QTest::newRow("within the storage") << "{base}moved" << true << false;
    }
    void storageRedirect() {
        QFETCH(QString, location);
        QFETCH(bool, followed);
        QFETCH(bool, refusedHere);
        QFile::remove(dir.filePath("stolen.dat"));
        const QString path = writeFile("a.dat", "cell");
        server->script("POST", "/api/mireva/container/c1/presign_upload",
                       {ScriptedReply::json(presignReply("PUT", server->url("/s"), "{}", "{}"))});
        ScriptedReply moved{307, "application/json", "{}", {}};
        moved.headers.append({"Location", QString(location)
                                              .replace("{dir}", dir.path())
                                              .replace("{base}", server->url().toString())
                                              .toUtf8()});
        server->script("PUT", "/s", {moved});
        server->script("PUT", "/moved", {storedReply("cell")});
        auto api = makeApi();
        if (refusedHere)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("Redirect refused for .*storage.example"));
        auto result = api->uploadFile("c1", "a.dat", path);
        QVERIFY(finish(result));
        QCOMPARE(result.result().outcome == UploadResult::Stored, followed);
        QCOMPARE(server->count("/moved"), followed ? 1 : 0);
        QVERIFY(!QFile::exists(dir.filePath("stolen.dat")));
    }

    // The service's own requests carry the token: a redirect leaves the service's host never.
    void serviceRedirectStaysOnTheHost() {
        LoopbackServer elsewhere;
        QVERIFY(elsewhere.start());
        elsewhere.fallback = ScriptedReply::json("{}");
        ScriptedReply moved{307, "application/json", "{}", {}};
        // Another host (by name, as the service is reached by address): same machine, other origin.
        moved.headers.append(
            {"Location",
             QStringLiteral("http://localhost:%1/api/mireva/info").arg(elsewhere.port()).toUtf8()});
        server->script("GET", "/api/mireva/info", {moved});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Redirect refused for"));
        auto api = makeApi(QString());
        api->apiToken = QStringLiteral("token-not-to-travel");
        auto future = call(*api, QUrl("/api/mireva/info"), nullptr, Get);
        QVERIFY(finish(future));
        QVERIFY(apiExceptionOf(future).has_value());
        QVERIFY(elsewhere.requests().isEmpty());
    }

    // What each refusal means for trying again.
    void failedTransfers_data() {
        QTest::addColumn<int>("presignStatus");
        QTest::addColumn<int>("storageStatus");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("cause");
        QTest::newRow("presign 401")
            << 401 << 200 << int(UploadResult::Unauthorized) << "service HTTP 401";
        QTest::newRow("presign 403")
            << 403 << 200 << int(UploadResult::Forbidden) << "service HTTP 403";
        QTest::newRow("presign 400")
            << 400 << 200 << int(UploadResult::Permanent) << "service HTTP 400";
        QTest::newRow("presign 404")
            << 404 << 200 << int(UploadResult::Permanent) << "service HTTP 404";
        QTest::newRow("presign 429")
            << 429 << 200 << int(UploadResult::Failed) << "service HTTP 429";
        QTest::newRow("presign 503")
            << 503 << 200 << int(UploadResult::Failed) << "service HTTP 503";
        QTest::newRow("storage 403")
            << 200 << 403 << int(UploadResult::Forbidden) << "storage HTTP 403";
        QTest::newRow("storage 408")
            << 200 << 408 << int(UploadResult::Failed) << "storage HTTP 408";
        QTest::newRow("storage 413")
            << 200 << 413 << int(UploadResult::Permanent) << "storage HTTP 413";
        QTest::newRow("storage 500")
            << 200 << 500 << int(UploadResult::Failed) << "storage HTTP 500";
    }
    void failedTransfers() {
        QFETCH(int, presignStatus);
        QFETCH(int, storageStatus);
        QFETCH(int, outcome);
        QFETCH(QString, cause);
        const QString path = writeFile("a.dat", "a");
        server->script("POST", "/api/mireva/container/c1/presign_upload",
                       {ScriptedReply::json(presignReply("PUT", server->url("/s"), "{}", "{}"),
                                            presignStatus)});
        server->script("PUT", "/s", {ScriptedReply::code(storageStatus)});
        auto api = makeApi();
        auto result = api->uploadFile("c1", "a.dat", path);
        QVERIFY(finish(result));
        QCOMPARE(int(result.result().outcome), outcome);
        QCOMPARE(result.result().cause, cause);
        QCOMPARE(result.result().status, presignStatus != 200 ? presignStatus : storageStatus);
    }

    void serviceUnreachable() {
        const QString path = writeFile("a.dat", "a");
        Api api(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(LoopbackServer::closedPort())),
                QString(), pollMs);
        auto result = api.uploadFile("c1", "a.dat", path);
        QVERIFY(finish(result));
        QCOMPARE(result.result().outcome, UploadResult::Failed);
        QCOMPARE(result.result().cause, QString("service unreachable"));
    }

    // A storage that takes the connection and never answers is cut once nothing has moved for
    // the transfer timeout; an answer that comes in time is waited for.
    void stalledTransferCut() {
        const QString path = writeFile("a.dat", "a");
        server->script("POST", "/api/mireva/container/c1/presign_upload",
                       {ScriptedReply::json(presignReply("PUT", server->url("/s"), "{}", "{}"))});
        ScriptedReply never = storedReply("a");
        never.delayMs = 60000;
        ScriptedReply slow = storedReply("a");
        slow.delayMs = 150;
        server->script("PUT", "/s", {never, slow});
        auto api = makeApi(QStringLiteral("secret"), 500);
        QElapsedTimer clock;
        clock.start();
        auto cut = api->uploadFile("c1", "a.dat", path);
        QVERIFY(finish(cut));
        QVERIFY2(clock.elapsed() < 30000, "the stalled transfer was not cut");
        QCOMPARE(cut.result().outcome, UploadResult::Failed);
        QVERIFY2(cut.result().cause.startsWith("storage "), qPrintable(cut.result().cause));
        auto stored = api->uploadFile("c1", "a.dat", path);
        QVERIFY(finish(stored));
        QCOMPARE(stored.result().outcome, UploadResult::Stored);
    }
};

QTEST_MAIN(TestApi)
#include "tst_api.moc"
