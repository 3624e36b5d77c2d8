#include "backends.h"
#include "jobs.h"
#include "serverfixture.h"
#include "tavronaserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QTcpSocket>
#include <QTest>

#include <opencv2/imgcodecs.hpp>

#include <zip.h>

using namespace tavrona;
using fixture::dump;
using fixture::json;
using fixture::Response;

namespace {

// JSON values compared as text: strings as themselves, anything else as compact JSON.
QString text(const json &value) {
    return QString::fromStdString(value.is_string() ? value.get<std::string>() : value.dump());
}

} // namespace

class TestServerContract : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void routing();
    void logInWithAutoConfirm();
    void logInConfirmedOnThePage();
    void activationBadInput_data();
    void activationBadInput();
    void activationExpires();
    void activationPageRefusesBadForm();
    void everyApiCallChecksToken_data();
    void everyApiCallChecksToken();
    void putUpload();
    void formPostUpload();
    void alternatingUploadMethod();
    void presignRefusesBadInput_data();
    void presignRefusesBadInput();
    void containersBelongToTheirUser();
    void storageRefusesForgedAndExpired_data();
    void storageRefusesForgedAndExpired();
    void storageRefusesBadForms_data();
    void storageRefusesBadForms();
    void sizeLimits();
    void faultInjection();
    void saveChecksThePackage_data();
    void saveChecksThePackage();
    void saveRefusesBadBody_data();
    void saveRefusesBadBody();
    void savedPartIsServedAsTilesAndOmeTiff();
    void scansSavedEarlierGetTheirPartsMade();
    void savedScanDownloadsAsItsPackage();
    void crashEnvelopeStoredAndListed();
    void crashEnvelopeRefused_data();
    void crashEnvelopeRefused();

private:
    QByteArray logIn();
    QByteArray logInAs(const QString &email);
    QString newContainer(const QByteArray &token);
    json presign(const QByteArray &token, const QString &container, const QString &path);
    Response upload(const QByteArray &token, const QString &container, const QString &path,
                    const QByteArray &data);
    bool stored(const QString &container, const QString &path);
    int storedFileCount();
    QByteArray rawRequest(const QByteArray &request);
    // A scan of one 2 × 2 part (64-pixel cells in two archives) and one photo, uploaded.
    QString uploadScanPackage(const QByteArray &token);
    // Polls the scan's status until every part is ready (or one failed); the last status.
    json waitForParts(const QString &scanId);

    // The bytes of a stored container file, empty when it is not there.
    QByteArray storedBytes(const QString &container, const QString &path);
    bool external() const { return m_backends.external(); }

    fixture::Backends m_backends;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TavronaServer> m_server;
    std::unique_ptr<fixture::Client> m_client;
    qint64 m_clock = 0;
};

void TestServerContract::initTestCase() {
    QString error;
    QVERIFY2(m_backends.start(&error), qPrintable(error));
}

void TestServerContract::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_clock = QDateTime::currentSecsSinceEpoch();
    ServerOptions options;
    options.port = 0;
    options.dataDir = m_dir->path();
    options.autoConfirm = true;
    QString error;
    QVERIFY2(m_backends.configure(options, &error), qPrintable(error));
    options.now = [this] {
        return m_clock;
    };
    m_server = std::make_unique<TavronaServer>(options);
    QVERIFY2(m_server->start(&error), qPrintable(error));
    QVERIFY(m_server->port() != 0);
    m_client = std::make_unique<fixture::Client>(QUrl(m_server->baseUrl()));
}

void TestServerContract::cleanup() {
    m_client.reset();
    m_server.reset();
    m_dir.reset();
}

QByteArray TestServerContract::logIn() {
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    if (start.status != 200)
        return {};
    const json body = {{"activation_code", start.js()["activation_code"]}};
    const Response first =
        m_client->api("POST", QStringLiteral("/api/token/activate"), {}, dump(body));
    if (first.status != 401)
        return {};
    const Response second =
        m_client->api("POST", QStringLiteral("/api/token/activate"), {}, dump(body));
    if (second.status != 200)
        return {};
    return QByteArray::fromStdString(second.js()["auth_token"].get<std::string>());
}

QByteArray TestServerContract::logInAs(const QString &email) {
    m_server->options().autoConfirm = false;
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    const QString page = QString::fromStdString(start.js()["authorization_url"].get<std::string>());
    const Response confirmed = m_client->send(
        "POST", page, "email=" + QUrl::toPercentEncoding(email) + "&first_name=Ada&last_name=L",
        {{"Content-Type", "application/x-www-form-urlencoded"}});
    m_server->options().autoConfirm = true;
    if (confirmed.status != 200)
        return {};
    const Response done = m_client->api("POST", QStringLiteral("/api/token/activate"), {},
                                        dump({{"activation_code", start.js()["activation_code"]}}));
    if (done.status != 200)
        return {};
    return QByteArray::fromStdString(done.js()["auth_token"].get<std::string>());
}

QString TestServerContract::newContainer(const QByteArray &token) {
    const Response r = m_client->api("POST", QStringLiteral("/api/mireva/container/new"), token);
    if (r.status != 200)
        return {};
    return QString::fromStdString(r.js()["container_id"].get<std::string>());
}

json TestServerContract::presign(const QByteArray &token, const QString &container,
                                 const QString &path) {
    const Response r = m_client->api(
        "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), token,
        dump({{"files", {path.toStdString()}}}));
    if (r.status != 200)
        return nullptr;
    return r.js()["files"][0];
}

Response TestServerContract::upload(const QByteArray &token, const QString &container,
                                    const QString &path, const QByteArray &data) {
    const json presigned = presign(token, container, path);
    if (presigned.is_null())
        return {};
    return m_client->upload(presigned, data);
}

bool TestServerContract::stored(const QString &container, const QString &path) {
    QString error;
    return m_server->storage().read(container, path, -1, &error).has_value() ||
           m_server->database().upload(container, path).has_value();
}

QByteArray TestServerContract::storedBytes(const QString &container, const QString &path) {
    QString error;
    return m_server->storage().read(container, path, -1, &error).value_or(QByteArray());
}

int TestServerContract::storedFileCount() {
    QString error;
    const auto objects = m_server->storage().store()->list(QStringLiteral("containers/"), &error);
    return objects ? int(objects->size()) : -1;
}

QByteArray TestServerContract::rawRequest(const QByteArray &request) {
    QTcpSocket socket;
    QByteArray answer;
    QEventLoop loop;
    connect(&socket, &QTcpSocket::connected, &loop, [&] { socket.write(request); });
    connect(&socket, &QTcpSocket::readyRead, &loop, [&] { answer += socket.readAll(); });
    connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    loop.exec();
    return answer;
}

QString TestServerContract::uploadScanPackage(const QByteArray &token) {
    const QString container = newContainer(token);
    const QByteArray a0 =
        fixture::archive({{QStringLiteral("0.jpg"), fixture::jpeg(64, 64, cv::Scalar(0, 0, 255))},
                          {QStringLiteral("1.jpg"), fixture::jpeg(64, 64, cv::Scalar(0, 255, 0))}});
    const QByteArray a1 =
        fixture::archive({{QStringLiteral("2.jpg"), fixture::jpeg(64, 64, cv::Scalar(255, 0, 0))},
                          {QStringLiteral("3.jpg"), fixture::jpeg(64, 64, cv::Scalar(0, 0, 0))}});
    const json isd = {
        {"images",
         {{{"type", "stitched"},
           {"width", 128},
           {"height", 128},
           {"parts",
            {{0, 0, "00000.dat/0.jpg"},
             {64, 0, "00000.dat/1.jpg"},
             {0, 64, "00001.dat/2.jpg"},
             {64, 64, "00001.dat/3.jpg"}}}},
          {{"type", "single"}, {"path", "snapshots/4.jpg"}, {"rois", {json::object()}}}}},
        {"layout", "horizontal"},
        {"mpp", 0.25},
        {"magnification", 40.0},
        {"version", "1.0"}};
    if (upload(token, container, QStringLiteral("00000.dat"), a0).status != 200 ||
        upload(token, container, QStringLiteral("00001.dat"), a1).status != 200 ||
        upload(token, container, QStringLiteral("snapshots/4.jpg"),
               fixture::jpeg(40, 30, cv::Scalar(200, 100, 50)))
                .status != 200 ||
        upload(token, container, QStringLiteral("scan.isd"), dump(isd)).status != 200)
        return {};
    return container;
}

// --------------------------------------------------------------------------------------------

void TestServerContract::routing() {
    const Response index = m_client->send("GET", QStringLiteral("/"));
    QCOMPARE(index.status, 200);
    QVERIFY(index.headers["content-type"].startsWith("text/html"));

    const Response unknown = m_client->send("POST", QStringLiteral("/api/nothing/here"));
    QCOMPARE(unknown.status, 404);
    QVERIFY(!unknown.error().isEmpty());

    const Response wrongMethod = m_client->send("GET", QStringLiteral("/api/mireva/token"));
    QCOMPARE(wrongMethod.status, 405);
    QCOMPARE(wrongMethod.headers["allow"], QByteArray("POST"));
    QVERIFY(!wrongMethod.error().isEmpty());
}

void TestServerContract::logInWithAutoConfirm() {
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    QCOMPARE(start.status, 200);
    QVERIFY(start.headers["content-type"].startsWith("application/json"));
    const std::string code = start.js()["activation_code"].get<std::string>();
    QVERIFY(code.size() >= 32); // at least 128 random bits
    const QString url = QString::fromStdString(start.js()["authorization_url"].get<std::string>());
    QCOMPARE(url, m_server->baseUrl() + "activate/" + QString::fromStdString(code));

    const QByteArray poll = dump({{"activation_code", code}});
    QCOMPARE(m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll).status, 401);
    const Response done = m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    QCOMPARE(done.status, 200);
    const json reply = done.js();
    QCOMPARE(text(reply["user"]["email"]), QStringLiteral("demo@tavrona.local"));
    QVERIFY(reply["user"]["first_name"].is_string());
    QVERIFY(reply["user"]["last_name"].is_string());
    QVERIFY(reply["organization"]["name"].is_string());
    const QByteArray token = QByteArray::fromStdString(reply["auth_token"].get<std::string>());
    QVERIFY(token.size() >= 32);

    // One confirmation gives one token; the code is used up.
    QCOMPARE(m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll).status, 404);

    // The database holds no secret in clear.
    QVERIFY(
        m_server->database().userForToken(TavronaServer::hashSecret(QString::fromLatin1(token))));
    QVERIFY(!m_server->database().userForToken(QString::fromLatin1(token)));

    const Response info = m_client->api("GET", QStringLiteral("/api/mireva/info"), token);
    QCOMPARE(info.status, 200);
    QCOMPARE(text(info.js()["user"]), text(reply["user"]));
    QCOMPARE(text(info.js()["organization"]), text(reply["organization"]));

    QCOMPARE(m_client->api("POST", QStringLiteral("/api/token/revoke"), token).status, 200);
    QCOMPARE(m_client->api("GET", QStringLiteral("/api/mireva/info"), token).status, 401);
    QCOMPARE(m_client->api("POST", QStringLiteral("/api/token/revoke"), token).status, 401);
}

void TestServerContract::logInConfirmedOnThePage() {
    m_server->options().autoConfirm = false;
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    const QString url = QString::fromStdString(start.js()["authorization_url"].get<std::string>());
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    for (int i = 0; i < 3; ++i)
        QCOMPARE(m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll).status,
                 401);

    const Response page = m_client->send("GET", url);
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("<button id=\"confirm\""));
    QVERIFY(page.body.contains("demo@tavrona.local"));

    const Response confirmed = m_client->send(
        "POST", url,
        "email=ada%40lab.example&first_name=Ada&last_name=%3Cb%3ELovelace&organization=Lab+One",
        {{"Content-Type", "application/x-www-form-urlencoded"}});
    QCOMPARE(confirmed.status, 200);
    QVERIFY(confirmed.body.contains("id=\"confirmed\""));
    QVERIFY(confirmed.body.contains("&lt;b&gt;Lovelace"));
    QVERIFY(!confirmed.body.contains("<b>Lovelace"));

    const Response done = m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    QCOMPARE(done.status, 200);
    QCOMPARE(text(done.js()["user"]["email"]), QStringLiteral("ada@lab.example"));
    QCOMPARE(text(done.js()["user"]["last_name"]), QStringLiteral("<b>Lovelace"));
    QCOMPARE(text(done.js()["organization"]["name"]), QStringLiteral("Lab One"));
}

void TestServerContract::activationBadInput_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::newRow("malformed JSON") << QByteArray("{\"activation_code\":") << 400;
    QTest::newRow("empty body") << QByteArray() << 400;
    QTest::newRow("array") << QByteArray("[\"x\"]") << 400;
    QTest::newRow("missing key") << QByteArray("{\"code\":\"x\"}") << 400;
    QTest::newRow("not a string") << QByteArray("{\"activation_code\":12}") << 400;
    QTest::newRow("empty code") << QByteArray("{\"activation_code\":\"\"}") << 400;
    QTest::newRow("unknown code") << QByteArray("{\"activation_code\":\"0123abcd\"}") << 404;
}

void TestServerContract::activationBadInput() {
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    const Response r = m_client->api("POST", QStringLiteral("/api/token/activate"), {}, body);
    QCOMPARE(r.status, status);
    QVERIFY(r.headers["content-type"].startsWith("application/json"));
    QVERIFY(!r.error().isEmpty());
}

void TestServerContract::activationExpires() {
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    const QString url = QString::fromStdString(start.js()["authorization_url"].get<std::string>());
    m_clock += 10 * 60 + 1;
    QCOMPARE(m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll).status, 410);
    QCOMPARE(m_client->send("GET", url).status, 410);
    QCOMPARE(m_client->send("POST", url, "email=a%40b.c").status, 410);
}

void TestServerContract::activationPageRefusesBadForm() {
    m_server->options().autoConfirm = false;
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    const QString url = QString::fromStdString(start.js()["authorization_url"].get<std::string>());
    const Response bad = m_client->send("POST", url, "email=not-an-address&first_name=%3Cx%3E",
                                        {{"Content-Type", "application/x-www-form-urlencoded"}});
    QCOMPARE(bad.status, 400);
    QVERIFY(bad.body.contains("class=\"error\""));
    QVERIFY(!bad.body.contains("<x>"));
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    QCOMPARE(m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll).status, 401);
    QCOMPARE(m_client->send("GET", m_server->baseUrl() + "activate/ffff").status, 404);
}

void TestServerContract::everyApiCallChecksToken_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("info") << QByteArray("GET") << QStringLiteral("/api/mireva/info")
                          << QByteArray();
    QTest::newRow("revoke") << QByteArray("POST") << QStringLiteral("/api/token/revoke")
                            << QByteArray();
    QTest::newRow("new container")
        << QByteArray("POST") << QStringLiteral("/api/mireva/container/new") << QByteArray();
    QTest::newRow("presign") << QByteArray("POST")
                             << QStringLiteral("/api/mireva/container/%1/presign_upload")
                             << QByteArray("{\"files\":[\"a.jpg\"]}");
    QTest::newRow("save") << QByteArray("POST") << QStringLiteral("/api/mireva/container/%1/save")
                          << QByteArray("{\"file_name\":\"x\",\"type\":\"isd_file\"}");
}

void TestServerContract::everyApiCallChecksToken() {
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    if (path.contains(QLatin1String("%1")))
        path = path.arg(container);
    for (const QByteArray &wrong :
         {QByteArray(), QByteArray("0123456789abcdef0123456789abcdef"), token + "x"}) {
        const Response r = m_client->api(method, path, wrong, body);
        QCOMPARE(r.status, 401);
        QVERIFY(!r.error().isEmpty());
    }
    QCOMPARE(storedFileCount(), 0);
}

void TestServerContract::putUpload() {
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    QVERIFY(Storage::isContainerId(container));
    const json presigned = presign(token, container, QStringLiteral("snapshots/0.jpg"));
    QCOMPARE(text(presigned["method"]), QStringLiteral("PUT"));
    QVERIFY(presigned["headers"].is_object());
    QVERIFY(presigned["data"].is_object());
    const QString url = QString::fromStdString(presigned["url"].get<std::string>());
    if (external()) {
        // Straight into the bucket, signed for the store.
        QVERIFY2(url.startsWith(m_backends.s3()->endpoint().toString() + "/" + m_backends.bucket() +
                                "/" + m_backends.prefix() + "containers/" + container +
                                "/snapshots/0.jpg?"),
                 qPrintable(url));
        QVERIFY(url.contains("X-Amz-Expires=") && url.contains("X-Amz-Signature="));
    } else {
        QVERIFY(url.startsWith(m_server->baseUrl() + "storage/" + container + "/snapshots/0.jpg?"));
        QVERIFY(url.contains("expires=") && url.contains("signature="));
    }

    const QByteArray data = fixture::jpeg(32, 16, cv::Scalar(1, 2, 3));
    const Response r = m_client->upload(presigned, data);
    QCOMPARE(r.status, 200);
    const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
    QCOMPARE(r.headers["etag"], '"' + md5 + '"');
    QCOMPARE(storedBytes(container, QStringLiteral("snapshots/0.jpg")), data);

    // An empty file is a file too: its ETag is the MD5 of nothing.
    const Response empty = upload(token, container, QStringLiteral("empty"), {});
    QCOMPARE(empty.status, 200);
    QCOMPARE(empty.headers["etag"], QByteArray("\"d41d8cd98f00b204e9800998ecf8427e\""));

    if (external())
        return; // a bucket has no folders: "a" and "a/b" can both be objects
    // A file and a folder cannot share a path.
    const Response underFile = upload(token, container, QStringLiteral("snapshots/0.jpg/x"), "x");
    QCOMPARE(underFile.status, 409);
    QVERIFY(!stored(container, QStringLiteral("snapshots/0.jpg/x")));
    const Response overFolder = upload(token, container, QStringLiteral("snapshots"), "x");
    QCOMPARE(overFolder.status, 409);
    QVERIFY(!m_server->database().upload(container, QStringLiteral("snapshots")));
}

void TestServerContract::formPostUpload() {
    m_server->options().uploadMethod = UploadMethod::Post;
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    const json presigned = presign(token, container, QStringLiteral("00000.dat"));
    QCOMPARE(text(presigned["method"]), QStringLiteral("POST"));
    QVERIFY(presigned["headers"].empty());
    const QList<const char *> fields = external()
                                           ? QList<const char *>{"key",
                                                                 "policy",
                                                                 "x-amz-algorithm",
                                                                 "x-amz-credential",
                                                                 "x-amz-date",
                                                                 "x-amz-signature"}
                                           : QList<const char *>{"key", "expires", "signature"};
    for (const char *key : fields)
        QVERIFY2(presigned["data"][key].is_string(), key);
    // Data with CRLF and dashes must come through the form untouched.
    const QByteArray data = "--\r\n--boundary\r\n" + QByteArray(5000, '\0') + "\r\n--";
    const Response r = m_client->upload(presigned, data);
    QCOMPARE(r.status, 200);
    QCOMPARE(r.headers["etag"],
             '"' + QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex() + '"');
    QCOMPARE(storedBytes(container, QStringLiteral("00000.dat")), data);
}

void TestServerContract::alternatingUploadMethod() {
    m_server->options().uploadMethod = UploadMethod::Alternate;
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    QStringList methods;
    for (int i = 0; i < 4; ++i) {
        const json presigned = presign(token, container, QStringLiteral("f%1").arg(i));
        methods << QString::fromStdString(presigned["method"].get<std::string>());
        QCOMPARE(m_client->upload(presigned, "data").status, 200);
    }
    QCOMPARE(methods, QStringList({"PUT", "POST", "PUT", "POST"}));
}

void TestServerContract::presignRefusesBadInput_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("dot-dot") << QByteArray("{\"files\":[\"../escape.jpg\"]}");
    QTest::newRow("dot-dot inside") << QByteArray("{\"files\":[\"a/../../b\"]}");
    QTest::newRow("leading slash") << QByteArray("{\"files\":[\"/etc/passwd\"]}");
    QTest::newRow("backslash") << QByteArray("{\"files\":[\"a\\\\b.jpg\"]}");
    QTest::newRow("control character") << QByteArray("{\"files\":[\"a\\nb.jpg\"]}");
    QTest::newRow("empty segment") << QByteArray("{\"files\":[\"a//b.jpg\"]}");
    QTest::newRow("empty path") << QByteArray("{\"files\":[\"\"]}");
    QTest::newRow("not a string") << QByteArray("{\"files\":[7]}");
    QTest::newRow("no files") << QByteArray("{}");
    QTest::newRow("files not an array") << QByteArray("{\"files\":\"a.jpg\"}");
    QTest::newRow("empty array") << QByteArray("{\"files\":[]}");
    QTest::newRow("malformed JSON") << QByteArray("{\"files\":[\"a.jpg\"");
    QTest::newRow("not an object") << QByteArray("[\"a.jpg\"]");
    QTest::newRow("no body") << QByteArray();
}

void TestServerContract::presignRefusesBadInput() {
    QFETCH(QByteArray, body);
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    const Response r = m_client->api(
        "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), token,
        body);
    QCOMPARE(r.status, 400);
    QVERIFY(r.headers["content-type"].startsWith("application/json"));
    QVERIFY(!r.error().isEmpty());
}

void TestServerContract::containersBelongToTheirUser() {
    const QByteArray demo = logIn();
    const QByteArray other = logInAs(QStringLiteral("other@lab.example"));
    QVERIFY(!other.isEmpty());
    QCOMPARE(
        text(m_client->api("GET", QStringLiteral("/api/mireva/info"), other).js()["user"]["email"]),
        QStringLiteral("other@lab.example"));
    const QString container = newContainer(demo);

    const QString presignPath = QStringLiteral("/api/mireva/container/%1/presign_upload");
    const QString savePath = QStringLiteral("/api/mireva/container/%1/save");
    const QByteArray files = dump({{"files", {"a.jpg"}}});
    const QByteArray save = dump({{"file_name", "x"}, {"type", "isd_file"}});
    for (const QString &id : {container, QStringLiteral("0123456789abcdef0123456789abcdef"),
                              QStringLiteral("not-an-id")}) {
        const QByteArray &token = id == container ? other : demo;
        QCOMPARE(m_client->api("POST", presignPath.arg(id), token, files).status, 404);
        QCOMPARE(m_client->api("POST", savePath.arg(id), token, save).status, 404);
    }
    QCOMPARE(m_client->api("POST", presignPath.arg(container), demo, files).status, 200);
}

void TestServerContract::storageRefusesForgedAndExpired_data() {
    QTest::addColumn<QString>("tamper");
    QTest::newRow("signature changed") << "signature";
    QTest::newRow("other path") << "path";
    QTest::newRow("other container") << "container";
    QTest::newRow("later expiry") << "expires";
    QTest::newRow("no signature") << "nosignature";
    QTest::newRow("PUT signature used for a form POST") << "method";
    QTest::newRow("expired") << "expired";
}

void TestServerContract::storageRefusesForgedAndExpired() {
    if (external())
        QSKIP("uploads go to the object store, which checks its own signatures (ours are checked "
              "in tst_sigv4 and tst_sigv4_sdk, expiry in tst_s3client)");
    QFETCH(QString, tamper);
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    const QString second = newContainer(token);
    const json presigned = presign(token, container, QStringLiteral("cells/0.jpg"));
    QString url = QString::fromStdString(presigned["url"].get<std::string>());
    QUrl parsed(url);
    QUrlQuery query(parsed);
    const QString expires = query.queryItemValue(QStringLiteral("expires"));
    QString signature = query.queryItemValue(QStringLiteral("signature"));

    QString targetContainer = container;
    QString targetPath = QStringLiteral("cells/0.jpg");
    Response r;
    if (tamper == QLatin1String("method")) {
        r = m_client->postForm(m_server->baseUrl() + "storage/" + container,
                               {{"key", "cells/0.jpg"},
                                {"expires", expires.toLatin1()},
                                {"signature", signature.toLatin1()}},
                               "data");
    } else {
        if (tamper == QLatin1String("signature"))
            signature[0] = signature[0] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
        if (tamper == QLatin1String("path"))
            parsed.setPath(parsed.path().replace(QLatin1String("0.jpg"), QLatin1String("1.jpg"))),
                targetPath = QStringLiteral("cells/1.jpg");
        if (tamper == QLatin1String("container"))
            parsed.setPath(parsed.path().replace(container, second)), targetContainer = second;
        query.clear();
        query.addQueryItem(QStringLiteral("expires"),
                           tamper == QLatin1String("expires")
                               ? QString::number(expires.toLongLong() + 3600)
                               : expires);
        if (tamper != QLatin1String("nosignature"))
            query.addQueryItem(QStringLiteral("signature"), signature);
        parsed.setQuery(query);
        if (tamper == QLatin1String("expired"))
            m_clock += 16 * 60;
        r = m_client->send("PUT", parsed.toString(), "data");
    }
    QCOMPARE(r.status, 403);
    QVERIFY(!r.error().isEmpty());
    QVERIFY(!stored(targetContainer, targetPath));
    QCOMPARE(storedFileCount(), 0);
}

void TestServerContract::storageRefusesBadForms_data() {
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    const QByteArray type = "multipart/form-data; boundary=BB";
    QTest::newRow("not multipart") << QByteArray("application/json") << QByteArray("{}") << 415;
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << QByteArray("x") << 415;
    QTest::newRow("missing final boundary")
        << type << QByteArray("--BB\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nabc")
        << 400;
    QTest::newRow("fields missing")
        << type
        << QByteArray("--BB\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nabc"
                      "\r\n--BB--\r\n")
        << 400;
    QTest::newRow("bad key")
        << type
        << QByteArray("--BB\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\n../x\r\n"
                      "--BB\r\nContent-Disposition: form-data; name=\"expires\"\r\n\r\n1\r\n"
                      "--BB\r\nContent-Disposition: form-data; name=\"signature\"\r\n\r\n1\r\n"
                      "--BB\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nabc\r\n"
                      "--BB--\r\n")
        << 400;
    QTest::newRow("huge field") << type
                                << "--BB\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\n" +
                                       QByteArray(100 * 1024, 'k') + "\r\n--BB--\r\n"
                                << 413;
}

void TestServerContract::storageRefusesBadForms() {
    if (external())
        QSKIP("uploads go to the object store, not to the server's form endpoint");
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    const Response r = m_client->send("POST", m_server->baseUrl() + "storage/" + container, body,
                                      {{"Content-Type", contentType}});
    QCOMPARE(r.status, status);
    QVERIFY(!r.error().isEmpty());
    QCOMPARE(storedFileCount(), 0);
}

void TestServerContract::sizeLimits() {
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    if (external()) {
        // The store bounds form uploads by their policy; the API's own limits hold as ever.
        m_server->options().uploadMethod = UploadMethod::Post;
        const json form = presign(token, container, QStringLiteral("big.dat"));
        const json policy =
            json::parse(QByteArray::fromBase64(QByteArray::fromStdString(form["data"]["policy"]))
                            .toStdString());
        QVERIFY2(policy["conditions"].dump().find(
                     "[\"content-length-range\",0," +
                     std::to_string(m_server->options().maxUploadBytes) + "]") != std::string::npos,
                 policy.dump().c_str());
        const QByteArray header =
            rawRequest("GET / HTTP/1.1\r\nX-Pad: " + QByteArray(100 * 1024, 'p') + "\r\n\r\n");
        QVERIFY2(header.startsWith("HTTP/1.1 431"), header.left(100).constData());
        const Response bigJson = m_client->api(
            "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), token,
            "{\"files\":[\"" + QByteArray(2 << 20, 'a') + "\"]}");
        QVERIFY(bigJson.status == 413 || bigJson.status == 0);
        return;
    }
    m_server->options().maxUploadBytes = 1 << 20;
    const json presigned = presign(token, container, QStringLiteral("big.dat"));
    const QUrl url(QString::fromStdString(presigned["url"].get<std::string>()));

    // Refused from the declared length, before any of the body is read.
    const QByteArray answer =
        rawRequest("PUT " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                   " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000000000\r\n\r\nabc");
    QVERIFY2(answer.startsWith("HTTP/1.1 413"), answer.constData());
    QVERIFY(answer.contains("\"error\""));

    const QByteArray chunked =
        rawRequest("PUT " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                   " HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"
                   "0\r\n\r\n");
    QVERIFY2(chunked.startsWith("HTTP/1.1 411"), chunked.constData());

    const QByteArray header =
        rawRequest("GET / HTTP/1.1\r\nX-Pad: " + QByteArray(100 * 1024, 'p') + "\r\n\r\n");
    QVERIFY2(header.startsWith("HTTP/1.1 431"), header.left(100).constData());

    // A whole upload just over the limit, sent for real.
    const Response over = m_client->upload(presigned, QByteArray((1 << 20) + 64 * 1024 + 1, 'x'));
    QVERIFY(over.status == 413 || over.status == 0);
    QVERIFY(!stored(container, QStringLiteral("big.dat")));

    const Response bigJson = m_client->api(
        "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), token,
        "{\"files\":[\"" + QByteArray(2 << 20, 'a') + "\"]}");
    QVERIFY(bigJson.status == 413 || bigJson.status == 0);
    QCOMPARE(storedFileCount(), 0);

    // Keep-alive connections keep working after bodies pass the guard.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(m_client
                     ->upload(presign(token, container, QStringLiteral("ok%1").arg(i)),
                              QByteArray(300 * 1024, char('a' + i)))
                     .status,
                 200);
}

void TestServerContract::faultInjection() {
    const QByteArray token = logIn();
    const QString container = newContainer(token);
    // The storage faults are the server's upload endpoint's; a bucket takes the uploads itself.
    if (!external()) {
        m_server->options().failUploads = 2;
        for (int i = 0; i < 2; ++i) {
            const Response failed = upload(token, container, QStringLiteral("a.jpg"), "data");
            QCOMPARE(failed.status, 500);
            QVERIFY(!stored(container, QStringLiteral("a.jpg")));
        }
        QCOMPARE(upload(token, container, QStringLiteral("a.jpg"), "data").status, 200);

        m_server->options().wrongEtags = 1;
        const QByteArray md5 =
            '"' + QCryptographicHash::hash("data", QCryptographicHash::Md5).toHex() + '"';
        const Response wrong = upload(token, container, QStringLiteral("b.jpg"), "data");
        QCOMPARE(wrong.status, 200);
        QVERIFY(wrong.headers["etag"] != md5);
        QCOMPARE(upload(token, container, QStringLiteral("b.jpg"), "data").headers["etag"], md5);
    }

    m_server->options().activationWithoutUser = true;
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    const Response done = m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    QCOMPARE(done.status, 200);
    QVERIFY(done.js()["auth_token"].is_string());
    QVERIFY(!done.js().contains("user"));
}

void TestServerContract::saveChecksThePackage_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("missing");
    QTest::newRow("complete") << "complete" << 200 << QString();
    QTest::newRow("no scan.isd") << "noisd" << 400 << QString();
    QTest::newRow("scan.isd not JSON") << "badjson" << 400 << QString();
    QTest::newRow("no images array") << "noimages" << 400 << QString();
    QTest::newRow("stitched without width") << "nowidth" << 400 << QString();
    QTest::newRow("cell path with dot-dot") << "dotdot" << 400 << QString();
    QTest::newRow("cell not in an archive") << "notdat" << 400 << QString();
    QTest::newRow("unknown image type") << "type" << 400 << QString();
    QTest::newRow("archive not uploaded") << "noarchive" << 400 << "00007.dat/9.jpg";
    QTest::newRow("entry missing from archive") << "noentry" << 400 << "00000.dat/9.jpg";
    QTest::newRow("photo not uploaded") << "nophoto" << 400 << "snapshots/8.jpg";
}

void TestServerContract::saveChecksThePackage() {
    QFETCH(QString, scenario);
    QFETCH(int, status);
    QFETCH(QString, missing);
    const QByteArray token = logIn();
    const QString container = uploadScanPackage(token);
    QVERIFY(!container.isEmpty());

    json isd = json::parse(storedBytes(container, QStringLiteral("scan.isd")));
    json &parts = isd["images"][0]["parts"];
    QByteArray replacement;
    if (scenario == QLatin1String("badjson"))
        replacement = "{\"images\": [";
    else if (scenario == QLatin1String("noimages"))
        replacement = "{\"version\":\"1.0\"}";
    else if (scenario == QLatin1String("nowidth"))
        isd["images"][0].erase("width");
    else if (scenario == QLatin1String("dotdot"))
        parts[0][2] = "00000.dat/../../x.jpg";
    else if (scenario == QLatin1String("notdat"))
        parts[0][2] = "cells/0.jpg";
    else if (scenario == QLatin1String("type"))
        isd["images"][1]["type"] = "video";
    else if (scenario == QLatin1String("noarchive"))
        parts.push_back({0, 0, "00007.dat/9.jpg"});
    else if (scenario == QLatin1String("noentry"))
        parts.push_back({0, 0, "00000.dat/9.jpg"});
    else if (scenario == QLatin1String("nophoto"))
        isd["images"].push_back({{"type", "single"}, {"path", "snapshots/8.jpg"}});

    QString target = container;
    if (scenario == QLatin1String("noisd")) {
        target = newContainer(token); // a container that never got its descriptor
    } else if (scenario != QLatin1String("complete")) {
        QCOMPARE(upload(token, container, QStringLiteral("scan.isd"),
                        replacement.isEmpty() ? dump(isd) : replacement)
                     .status,
                 200);
    }
    const Response r =
        m_client->api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(target), token,
                      dump({{"file_name", "Slide 1"}, {"type", "isd_file"}}));
    QCOMPARE(r.status, status);
    QVERIFY(r.headers["content-type"].startsWith("application/json"));
    if (status == 200) {
        const QString viewUrl = QString::fromStdString(r.js()["view_url"].get<std::string>());
        QVERIFY(viewUrl.startsWith(m_server->baseUrl() + "scans/"));
        QCOMPARE(m_client->send("GET", viewUrl).status, 200);
        return;
    }
    QVERIFY(!r.error().isEmpty());
    if (!missing.isEmpty()) {
        QVERIFY2(r.js()["missing"].is_array(), r.body.constData());
        QCOMPARE(text(r.js()["missing"].back()), missing);
    }
}

void TestServerContract::saveRefusesBadBody_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("malformed JSON") << QByteArray("{\"file_name\":");
    QTest::newRow("no body") << QByteArray();
    QTest::newRow("no file_name") << QByteArray("{\"type\":\"isd_file\"}");
    QTest::newRow("file_name not a string")
        << QByteArray("{\"file_name\":3,\"type\":\"isd_file\"}");
    QTest::newRow("empty file_name") << QByteArray("{\"file_name\":\"  \",\"type\":\"isd_file\"}");
    QTest::newRow("control character")
        << QByteArray("{\"file_name\":\"a\\u0001\",\"type\":\"isd_file\"}");
    QTest::newRow("no type") << QByteArray("{\"file_name\":\"a\"}");
    QTest::newRow("other type") << QByteArray("{\"file_name\":\"a\",\"type\":\"zip\"}");
}

void TestServerContract::saveRefusesBadBody() {
    QFETCH(QByteArray, body);
    const QByteArray token = logIn();
    const QString container = uploadScanPackage(token);
    const Response r = m_client->api(
        "POST", QStringLiteral("/api/mireva/container/%1/save").arg(container), token, body);
    QCOMPARE(r.status, 400);
    QVERIFY(!r.error().isEmpty());
    QVERIFY(m_server->database().scanIdsOfContainer(container).isEmpty());
}

json TestServerContract::waitForParts(const QString &scanId) {
    json status;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000) {
        status = m_client->send("GET", QStringLiteral("/scans/%1/status").arg(scanId)).js();
        bool done = status.is_object();
        for (const json &part : status.value("parts", json::array()))
            done = done && (part["state"] == "ready" || part["state"] == "failed");
        if (done)
            return status;
        QTest::qWait(20);
    }
    return status;
}

void TestServerContract::savedPartIsServedAsTilesAndOmeTiff() {
    const QByteArray token = logIn();
    const QString container = uploadScanPackage(token);
    // The pool is held back so the part is still queued when we first ask for it.
    m_server->jobs()->stop();
    const Response saved =
        m_client->api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container), token,
                      dump({{"file_name", "Slide <1> & co"}, {"type", "isd_file"}}));
    QCOMPARE(saved.status, 200);
    const QString viewUrl = QString::fromStdString(saved.js()["view_url"].get<std::string>());
    const QString scanId = viewUrl.section(QLatin1Char('/'), -1);
    const QString part = QStringLiteral("/scans/%1/parts/0").arg(scanId);

    const Response page = m_client->send("GET", viewUrl);
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("Slide &lt;1&gt; &amp; co"));
    QVERIFY(!page.body.contains("Slide <1>"));
    QVERIFY(page.body.contains("/viewer/openseadragon.min.js"));
    for (const QString &asset :
         {QStringLiteral("openseadragon.min.js"), QStringLiteral("viewer.js"),
          QStringLiteral("viewer.css"), QStringLiteral("LICENSE-openseadragon.txt"),
          QStringLiteral("images/zoomin_rest.png")})
        QCOMPARE(m_client->send("GET", "/viewer/" + asset).status, 200);
    QCOMPARE(m_client->send("GET", QStringLiteral("/viewer/../tavrona.sqlite")).status, 404);

    // Not made yet: the status says so, and every file of the part answers 202 with it.
    json status = m_client->send("GET", QStringLiteral("/scans/%1/status").arg(scanId)).js();
    QCOMPARE(text(status["parts"][0]["state"]), QStringLiteral("queued"));
    QCOMPARE(status["parts"][0]["width"].get<int>(), 128);
    QCOMPARE(status["mpp"].get<double>(), 0.25);
    QCOMPARE(text(status["photos"][0]["url"]),
             QStringLiteral("/scans/%1/images/1.jpg").arg(scanId));
    for (const QString &path : {part + ".dzi", part + "_files/7/0_0.jpeg", part + ".ome.tif"}) {
        const Response waiting = m_client->send("GET", path);
        QCOMPARE(waiting.status, 202);
        QCOMPARE(text(waiting.js()["state"]), QStringLiteral("queued"));
    }

    m_server->jobs()->start();
    status = waitForParts(scanId);
    QCOMPARE(text(status["parts"][0]["state"]), QStringLiteral("ready"));
    QCOMPARE(status["parts"][0]["skipped_cells"].get<int>(), 0);
    const QString dziUrl = text(status["parts"][0]["dzi"]);
    QVERIFY(dziUrl.startsWith(part + ".dzi?v="));
    const QString version = dziUrl.section(QStringLiteral("?v="), 1);

    const Response dzi = m_client->send("GET", dziUrl);
    QCOMPARE(dzi.status, 200);
    QVERIFY(dzi.body.contains("TileSize=\"254\"") && dzi.body.contains("Overlap=\"1\"") &&
            dzi.body.contains("Format=\"jpeg\""));
    QVERIFY(dzi.body.contains("Width=\"128\"") && dzi.body.contains("Height=\"128\""));
    QVERIFY(dzi.headers["etag"].startsWith('"'));
    QCOMPARE(m_client->send("GET", dziUrl, {}, {{"If-None-Match", dzi.headers["etag"]}}).status,
             304);

    // The full-resolution tile: its pixels, a strong ETag, immutable under its versioned name.
    const QString tileUrl = part + "_files/7/0_0.jpeg?v=" + version;
    const Response tile = m_client->send("GET", tileUrl);
    QCOMPARE(tile.status, 200);
    QCOMPARE(tile.headers["content-type"], QByteArray("image/jpeg"));
    QVERIFY(tile.headers["cache-control"].contains("immutable"));
    const QByteArray etag = tile.headers["etag"];
    QVERIFY(etag.startsWith('"') && etag.endsWith('"'));
    const cv::Mat pixels = cv::imdecode(
        cv::Mat(1, int(tile.body.size()), CV_8UC1, const_cast<char *>(tile.body.data())),
        cv::IMREAD_COLOR);
    QCOMPARE(pixels.cols, 128);
    QCOMPARE(pixels.rows, 128);
    const struct {
        int x, y;
        cv::Vec3b bgr;
    } expected[] = {
        {32, 32, {0, 0, 255}}, {96, 32, {0, 255, 0}}, {32, 96, {255, 0, 0}}, {96, 96, {0, 0, 0}}};
    for (const auto &e : expected) {
        const cv::Vec3b got = pixels.at<cv::Vec3b>(e.y, e.x);
        for (int ch = 0; ch < 3; ++ch)
            QVERIFY2(std::abs(int(got[ch]) - int(e.bgr[ch])) <= 8,
                     qPrintable(QStringLiteral("at %1,%2").arg(e.x).arg(e.y)));
    }
    const Response again = m_client->send("GET", tileUrl, {}, {{"If-None-Match", etag}});
    QCOMPARE(again.status, 304);
    QVERIFY(again.body.isEmpty());
    QCOMPARE(m_client->send("GET", part + "_files/7/0_0.jpeg").headers["cache-control"],
             QByteArray("no-cache"));
    QCOMPARE(m_client->send("GET", part + "_files/0/0_0.jpeg?v=" + version).status, 200);
    for (const QString &bad :
         {part + "_files/8/0_0.jpeg", part + "_files/7/1_0.jpeg", part + "_files/07/0_0.jpeg",
          part + "_files/7/0_0.jpeg?v=0", QStringLiteral("/scans/%1/parts/1.dzi").arg(scanId),
          QStringLiteral("/scans/%1/parts/x.dzi").arg(scanId),
          QStringLiteral("/scans/0123/parts/0.dzi"),
          QStringLiteral("/scans/%1/status").arg(QString(32, 'a')),
          QStringLiteral("/scans/%1/images/0.jpg").arg(scanId)})
        QCOMPARE(m_client->send("GET", bad).status, 404);

    // The OME-TIFF, whole and in ranges.
    const Response tiff = m_client->send("GET", part + ".ome.tif");
    QCOMPARE(tiff.status, 200);
    QCOMPARE(tiff.headers["content-type"], QByteArray("image/tiff"));
    QCOMPARE(tiff.headers["accept-ranges"], QByteArray("bytes"));
    QVERIFY(tiff.headers["content-disposition"].contains(".ome.tif"));
    QVERIFY(tiff.body.startsWith("II*") || tiff.body.startsWith("II+"));
    const qint64 size = tiff.body.size();
    QCOMPARE(tiff.headers["content-length"].toLongLong(), size);
    struct RangeCase {
        QByteArray header;
        int status;
        qint64 first;
        qint64 last;
    };
    const RangeCase ranges[] = {
        {"bytes=0-3", 206, 0, 3},
        {"bytes=10-", 206, 10, size - 1},
        {"bytes=-4", 206, size - 4, size - 1},
        {"bytes=5-" + QByteArray::number(size + 100), 206, 5, size - 1},
        {"bytes=" + QByteArray::number(size) + "-", 416, 0, 0},
        {"bytes=0-1,4-5", 200, 0, size - 1},
        {"lines=0-1", 200, 0, size - 1},
    };
    for (const RangeCase &range : ranges) {
        const Response r = m_client->send("GET", part + ".ome.tif", {}, {{"Range", range.header}});
        QCOMPARE(r.status, range.status);
        if (range.status == 416) {
            QCOMPARE(r.headers["content-range"], "bytes */" + QByteArray::number(size));
            continue;
        }
        QCOMPARE(r.body, tiff.body.mid(range.first, range.last - range.first + 1));
        if (range.status == 206)
            QCOMPARE(r.headers["content-range"], "bytes " + QByteArray::number(range.first) + '-' +
                                                     QByteArray::number(range.last) + '/' +
                                                     QByteArray::number(size));
    }
    const Response photo =
        m_client->send("GET", QStringLiteral("/scans/%1/images/1.jpg").arg(scanId));
    QCOMPARE(photo.status, 200);
    QCOMPARE(photo.body, storedBytes(container, QStringLiteral("snapshots/4.jpg")));

    // New content in the container: the part is made again under a new version; the old
    // version's tiles are gone rather than stale. (Uploads to a bucket never pass through the
    // server, so it cannot see new content arrive after the save there: a save of the
    // container makes a new scan of it.)
    if (external())
        return;
    QCOMPARE(upload(token, container, QStringLiteral("00000.dat"),
                    fixture::archive(
                        {{QStringLiteral("0.jpg"), fixture::jpeg(64, 64, cv::Scalar(255, 255, 0))},
                         {QStringLiteral("1.jpg"), fixture::jpeg(64, 64, cv::Scalar(0, 255, 0))}}))
                 .status,
             200);
    status = waitForParts(scanId);
    QCOMPARE(text(status["parts"][0]["state"]), QStringLiteral("ready"));
    const QString newVersion = text(status["parts"][0]["dzi"]).section(QStringLiteral("?v="), 1);
    QVERIFY(newVersion != version);
    QCOMPARE(m_client->send("GET", tileUrl).status, 404);
    const Response rebuilt = m_client->send("GET", part + "_files/7/0_0.jpeg?v=" + newVersion);
    const cv::Mat changed = cv::imdecode(
        cv::Mat(1, int(rebuilt.body.size()), CV_8UC1, const_cast<char *>(rebuilt.body.data())),
        cv::IMREAD_COLOR);
    QVERIFY(std::abs(int(changed.at<cv::Vec3b>(32, 32)[0]) - 255) <= 8);
}

void TestServerContract::scansSavedEarlierGetTheirPartsMade() {
    const QByteArray token = logIn();
    const QString container = uploadScanPackage(token);
    // A scan recorded the way the server saved scans before it made pyramids: no jobs.
    const QByteArray isd = storedBytes(container, QStringLiteral("scan.isd"));
    QVERIFY(!isd.isEmpty());
    ScanRecord scan;
    scan.id = QStringLiteral("00112233445566778899aabbccddeeff");
    scan.containerId = container;
    scan.userId = m_server->database().userByEmail(TavronaServer::demoEmail())->id;
    scan.name = QStringLiteral("Old slide");
    scan.descriptor = QString::fromUtf8(isd);
    scan.createdAt = m_clock;
    QVERIFY(m_server->database().addScan(scan));
    QVERIFY(m_server->database().setMeta(QStringLiteral("part_jobs"), QStringLiteral("0")));

    ServerOptions options = m_server->options();
    m_client.reset();
    m_server.reset();
    m_server = std::make_unique<TavronaServer>(options);
    QString error;
    QVERIFY2(m_server->start(&error), qPrintable(error));
    m_client = std::make_unique<fixture::Client>(QUrl(m_server->baseUrl()));
    const json status = waitForParts(scan.id);
    QCOMPARE(text(status["parts"][0]["state"]), QStringLiteral("ready"));
    QCOMPARE(m_client->send("GET", text(status["parts"][0]["dzi"])).status, 200);
}

namespace {

// The entries of a zip held in memory, by name; empty when it is not a readable zip.
QMap<QString, QByteArray> zipEntries(const QByteArray &bytes) {
    QMap<QString, QByteArray> entries;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *source = zip_source_buffer_create(bytes.constData(), bytes.size(), 0, &error);
    zip_t *archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    if (!archive) {
        if (source)
            zip_source_free(source);
        return entries;
    }
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t stat;
        zip_file_t *file = zip_stat_index(archive, zip_uint64_t(i), 0, &stat) == 0
                               ? zip_fopen_index(archive, zip_uint64_t(i), 0)
                               : nullptr;
        if (!file)
            continue;
        QByteArray data(qsizetype(stat.size), Qt::Uninitialized);
        if (zip_fread(file, data.data(), stat.size) == zip_int64_t(stat.size))
            entries.insert(QString::fromUtf8(stat.name), data);
        zip_fclose(file);
    }
    zip_discard(archive);
    return entries;
}

} // namespace

void TestServerContract::savedScanDownloadsAsItsPackage() {
    const QByteArray token = logIn();
    const QString container = uploadScanPackage(token);
    const Response saved =
        m_client->api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container), token,
                      dump({{"file_name", "Slide \"7\"/a"}, {"type", "isd_file"}}));
    QCOMPARE(saved.status, 200);
    const QString scanId = QString::fromStdString(saved.js()["scan_id"].get<std::string>());
    const QString url = QStringLiteral("/scans/%1/package.zip").arg(scanId);
    QVERIFY(
        m_client->send("GET", QStringLiteral("/scans/%1").arg(scanId)).body.contains(url.toUtf8()));
    QCOMPARE(
        text(m_client->send("GET", QStringLiteral("/scans/%1/status").arg(scanId)).js()["package"]),
        url);

    // Every file of the container, byte for byte, and nothing else.
    auto expectPackage = [&](const Response &package) {
        QCOMPARE(package.status, 200);
        QCOMPARE(package.headers["content-type"], QByteArray("application/zip"));
        QCOMPARE(package.headers["content-disposition"],
                 QByteArray("attachment; filename=\"Slide _7__a.zip\""));
        const QMap<QString, QByteArray> entries = zipEntries(package.body);
        QCOMPARE(entries.keys(),
                 QStringList({"00000.dat", "00001.dat", "scan.isd", "snapshots/4.jpg"}));
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            QString error;
            const auto stored = m_server->storage().read(container, it.key(), -1, &error);
            QVERIFY2(stored, qPrintable(error));
            QVERIFY2(*stored == it.value(), qPrintable(it.key()));
        }
    };
    const Response package = m_client->send("GET", url);
    expectPackage(package);
    const QByteArray etag = package.headers["etag"];
    QVERIFY(!etag.isEmpty());
    const Response again = m_client->send("GET", url, {}, {{"If-None-Match", etag}});
    QCOMPARE(again.status, 304);
    const Response head = m_client->send("GET", url, {}, {{"Range", "bytes=0-3"}});
    QCOMPARE(head.status, 206);
    QCOMPARE(head.body, QByteArray("PK\x03\x04"));

    // A changed container is packed anew, and the old package goes.
    QCOMPARE(upload(token, container, QStringLiteral("snapshots/4.jpg"),
                    fixture::jpeg(20, 20, cv::Scalar(1, 2, 3)))
                 .status,
             200);
    const Response changed = m_client->send("GET", url);
    expectPackage(changed);
    QVERIFY(changed.headers["etag"] != etag);
    // One package file is left, on this server's disk (beside the derived files, or in its
    // scratch folder with a bucket).
    QDir derived(QFileInfo(m_server->storage().packageFile(container, scanId, QStringLiteral("0")))
                     .absolutePath());
    QCOMPARE(derived.entryList({QStringLiteral("package-*")}, QDir::Files).size(), 1);

    QCOMPARE(
        m_client->send("GET", QStringLiteral("/scans/%1/package.zip").arg(QString(32, 'a'))).status,
        404);
}

namespace {

QByteArray envelope(const QByteArray &eventId) {
    const QByteArray event = "{\"event_id\":\"" + eventId +
                             "\",\"exception\":{\"values\":[{\"type\":\"Runtime exception\","
                             "\"value\":\"boom <b>\"}]}}";
    const QByteArray log = "line one\nline two\n";
    return "{\"event_id\":\"" + eventId + "\",\"sent_at\":\"2026-01-01T00:00:00Z\"}\n" +
           "{\"type\":\"event\",\"length\":" + QByteArray::number(event.size()) + "}\n" + event +
           "\n{\"type\":\"attachment\",\"length\":" + QByteArray::number(log.size()) +
           ",\"filename\":\"application_output.log\"}\n" + log + "\n";
}

const QByteArray goodAuth =
    "Sentry sentry_version=7, sentry_client=mireva/1.2.5, sentry_key=mireva";

} // namespace

void TestServerContract::crashEnvelopeStoredAndListed() {
    const QByteArray body = envelope("0123456789abcdef0123456789abcdef");
    const Response r = m_client->send(
        "POST", QStringLiteral("/api/1/envelope/"), body,
        {{"X-Sentry-Auth", goodAuth}, {"Content-Type", "application/x-sentry-envelope"}});
    QCOMPARE(r.status, 200);
    QCOMPARE(text(r.js()["id"]), QStringLiteral("0123456789abcdef0123456789abcdef"));

    const Response list = m_client->send("GET", QStringLiteral("/crash-reports"));
    QCOMPARE(list.status, 200);
    QVERIFY(list.body.contains("0123456789abcdef0123456789abcdef"));
    QVERIFY(list.body.contains("Runtime exception: boom &lt;b&gt;"));
    QVERIFY(list.body.contains("event, attachment"));

    const QList<CrashReport> reports = m_server->database().crashReports(10);
    QCOMPARE(reports.size(), 1);
    const Response raw = m_client->send("GET", QStringLiteral("/crash-reports/") + reports[0].id);
    QCOMPARE(raw.status, 200);
    QCOMPARE(raw.body, body);
}

void TestServerContract::crashEnvelopeRefused_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("auth");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    const QString path = QStringLiteral("/api/1/envelope/");
    const QByteArray good = envelope("e1");
    QTest::newRow("no auth header") << path << QByteArray() << QByteArray() << good << 401;
    QTest::newRow("wrong key") << path << QByteArray("Sentry sentry_version=7, sentry_key=other")
                               << QByteArray() << good << 401;
    QTest::newRow("wrong version")
        << path << QByteArray("Sentry sentry_version=6, sentry_key=mireva") << QByteArray() << good
        << 401;
    QTest::newRow("not a Sentry header")
        << path << QByteArray("Bearer mireva") << QByteArray() << good << 401;
    QTest::newRow("other project")
        << QStringLiteral("/api/2/envelope/") << goodAuth << QByteArray() << good << 404;
    QTest::newRow("compressed") << path << goodAuth << QByteArray("gzip") << good << 415;
    QTest::newRow("header not JSON")
        << path << goodAuth << QByteArray()
        << QByteArray("{\"event_id\":\n{\"type\":\"event\"}\n{}") << 400;
    QTest::newRow("item header not JSON")
        << path << goodAuth << QByteArray() << QByteArray("{}\nnot json\n{}\n") << 400;
    QTest::newRow("item without type")
        << path << goodAuth << QByteArray() << QByteArray("{}\n{\"length\":2}\n{}\n") << 400;
    QTest::newRow("length beyond the end")
        << path << goodAuth << QByteArray()
        << QByteArray("{}\n{\"type\":\"event\",\"length\":50}\n{}\n") << 400;
    QTest::newRow("payload longer than its length")
        << path << goodAuth << QByteArray()
        << QByteArray("{}\n{\"type\":\"event\",\"length\":2}\n{\"a\":1}\n") << 400;
    QTest::newRow("negative length")
        << path << goodAuth << QByteArray()
        << QByteArray("{}\n{\"type\":\"event\",\"length\":-1}\n{}\n") << 400;
}

void TestServerContract::crashEnvelopeRefused() {
    QFETCH(QString, path);
    QFETCH(QByteArray, auth);
    QFETCH(QByteArray, encoding);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "application/x-sentry-envelope"}};
    if (!auth.isEmpty())
        headers.append(qMakePair(QByteArray("X-Sentry-Auth"), auth));
    if (!encoding.isEmpty())
        headers.append(qMakePair(QByteArray("Content-Encoding"), encoding));
    const Response r = m_client->send("POST", path, body, headers);
    QCOMPARE(r.status, status);
    QVERIFY(!r.error().isEmpty());
    QVERIFY(m_server->database().crashReports(10).isEmpty());
    QString error;
    QVERIFY(m_server->storage().store()->list(QStringLiteral("crash-reports/"), &error)->isEmpty());
}

QTEST_GUILESS_MAIN(TestServerContract)
#include "tst_servercontract.moc"
