// The program's own service client against this server: browser log-in (by the page's button
// and by auto-confirm), the user query, log-out, containers, uploads by PUT and by form POST,
// the ETag check, save and the view URL; and the program's crash-report layer sending to the
// envelope endpoint.

#include "backends.h"
#include "objectstore.h"
#include "serverfixture.h"
#include "service/api.h"
#include "service/apithread.h"
#include "service/scan.h"
#include "shell/crashreport.h"
#include "shell/settings.h"
#include "tavronaserver.h"

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

using tavrona::TavronaServer;
using tavrona::UploadMethod;

// Short, but long enough for the start of the log-in to be answered before the first poll,
// which the client arms as soon as it has sent that request.
constexpr int pollMs = 300;

// Stands in for the system browser: keeps the URLs the client asks to open.
class Browser : public QObject {
    Q_OBJECT
public:
    Browser() {
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
    }
    ~Browser() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class TestServerInterop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void logInByClickingThePageButton();
    void logInWithAutoConfirmThenQueryAndLogOut();
    void activationWithoutUserLeavesNoUser();
    void uploadWithPutAndPostThenSaveAndView();
    void injectedFaultsFailTheUpload();
    void crashReportsArriveAndAreListed();
    void facadeScanFromLogInToViewPage();

private:
    template <typename T>
    bool await(const QFuture<T> &future) {
        QElapsedTimer timer;
        timer.start();
        while (!future.isFinished() && timer.elapsed() < 30000)
            QTest::qWait(10);
        return future.isFinished();
    }
    QString logInToken();
    QString writeFile(const QString &name, const QByteArray &data);
    QByteArray storedBytes(const QString &container, const QString &path);

    // The run's back-ends: the data folder and SQLite, or s3rver and PostgreSQL, where the
    // program uploads straight to the bucket.
    fixture::Backends m_backends;
    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QTemporaryDir> m_local;
    std::unique_ptr<TavronaServer> m_server;
    std::unique_ptr<Browser> m_browser;
    QUrl m_base;
};

void TestServerInterop::initTestCase() {
    // The facade keeps its token in the user's settings: keep the test's away from them.
    QVERIFY(m_config.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       m_config.filePath(QStringLiteral("config")));
    QCoreApplication::setOrganizationName(QStringLiteral("TavronaServerInteropTest"));
    QCoreApplication::setApplicationName(QStringLiteral("Mireva"));
    QString error;
    QVERIFY2(m_backends.start(&error), qPrintable(error));
}

void TestServerInterop::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_local = std::make_unique<QTemporaryDir>();
    tavrona::ServerOptions options;
    options.port = 0;
    options.dataDir = m_dir->path();
    QString error;
    QVERIFY2(m_backends.configure(options, &error), qPrintable(error));
    m_server = std::make_unique<TavronaServer>(options);
    QVERIFY2(m_server->start(&error), qPrintable(error));
    m_base = QUrl(m_server->baseUrl());
    m_browser = std::make_unique<Browser>();
}

void TestServerInterop::cleanup() {
    m_browser.reset();
    m_server.reset();
    m_dir.reset();
    m_local.reset();
}

QString TestServerInterop::logInToken() {
    m_server->options().autoConfirm = true;
    Api api(m_base, QString(), pollMs);
    QSignalSpy loggedIn(&api, &Api::userLoggedIn);
    api.logIn();
    if (!loggedIn.wait(20000))
        return {};
    return loggedIn.first().first().toString();
}

QByteArray TestServerInterop::storedBytes(const QString &container, const QString &path) {
    QString error;
    return m_server->storage().read(container, path, -1, &error).value_or(QByteArray());
}

QString TestServerInterop::writeFile(const QString &name, const QByteArray &data) {
    const QString path = m_local->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return {};
    return path;
}

void TestServerInterop::logInByClickingThePageButton() {
    Api api(m_base, QString(), pollMs);
    QSignalSpy loggedIn(&api, &Api::userLoggedIn);
    QSignalSpy loaded(&api, &Api::userLoaded);
    QSignalSpy errors(&api, &Api::apiError);
    api.logIn();
    QTRY_COMPARE_WITH_TIMEOUT(m_browser->opened.size(), 1, 10000);
    const QUrl page = m_browser->opened.first();
    QCOMPARE(page.toString(), m_server->baseUrl() + "activate/" + page.fileName());

    // The client keeps polling while nobody has confirmed.
    QTest::qWait(200);
    QVERIFY(loggedIn.isEmpty());

    // What the user's click sends: the page's form, as the browser posts it.
    fixture::Client browser;
    const fixture::Response shown = browser.send("GET", page.toString());
    QCOMPARE(shown.status, 200);
    QVERIFY(shown.body.contains("<button id=\"confirm\""));
    QVERIFY(shown.body.contains("action=\"/activate/" + page.fileName().toLatin1() + "\""));
    const fixture::Response clicked = browser.send(
        "POST", page.toString(),
        "email=demo%40tavrona.local&first_name=Demo&last_name=User&organization=Tavrona+Demo+Lab",
        {{"Content-Type", "application/x-www-form-urlencoded"}});
    QCOMPARE(clicked.status, 200);

    QVERIFY(loaded.wait(10000) || !loaded.isEmpty());
    QCOMPARE(loggedIn.size(), 1);
    const User user = loaded.first().first().value<User>();
    QCOMPARE(user.email, QStringLiteral("demo@tavrona.local"));
    QCOMPARE(user.firstName, QStringLiteral("Demo"));
    QCOMPARE(user.organizationName, QStringLiteral("Tavrona Demo Lab"));
    QVERIFY(errors.isEmpty());
}

void TestServerInterop::logInWithAutoConfirmThenQueryAndLogOut() {
    const QString token = logInToken();
    QVERIFY(!token.isEmpty());

    // A client started with the stored token checks it at once.
    Api api(m_base, token, pollMs);
    QSignalSpy loaded(&api, &Api::userLoaded);
    QVERIFY(loaded.wait(10000));
    QCOMPARE(loaded.first().first().value<User>().email, QStringLiteral("demo@tavrona.local"));

    QSignalSpy loggedOut(&api, &Api::userLoggedOut);
    QSignalSpy errors(&api, &Api::apiError);
    api.logOut();
    QVERIFY(loggedOut.wait(10000));
    QVERIFY(errors.isEmpty());

    // The revoked token is refused: the next client drops it without an error message.
    Api again(m_base, token, pollMs);
    QSignalSpy droppedOut(&again, &Api::userLoggedOut);
    QSignalSpy againErrors(&again, &Api::apiError);
    QVERIFY(droppedOut.wait(10000));
    QVERIFY(againErrors.isEmpty());
}

void TestServerInterop::activationWithoutUserLeavesNoUser() {
    m_server->options().autoConfirm = true;
    m_server->options().activationWithoutUser = true;
    Api api(m_base, QString(), pollMs);
    QSignalSpy loggedIn(&api, &Api::userLoggedIn);
    QSignalSpy failed(&api, &Api::userLoadingFailed);
    QSignalSpy errors(&api, &Api::apiError);
    QSignalSpy loaded(&api, &Api::userLoaded);
    api.logIn();
    QVERIFY(failed.wait(20000));
    QCOMPARE(loggedIn.size(), 1);
    QCOMPARE(errors.size(), 1);
    QVERIFY(loaded.isEmpty());
}

void TestServerInterop::uploadWithPutAndPostThenSaveAndView() {
    const QString token = logInToken();
    QVERIFY(!token.isEmpty());
    Api api(m_base, token, pollMs);

    const QFuture<QString> container = api.newContainer();
    QVERIFY(await(container));
    const QString id = container.result();
    QVERIFY(tavrona::Storage::isContainerId(id));

    const QString archive =
        writeFile(QStringLiteral("00000.dat"),
                  fixture::archive(
                      {{QStringLiteral("0.jpg"), fixture::jpeg(96, 64, cv::Scalar(0, 0, 255))},
                       {QStringLiteral("1.jpg"), fixture::jpeg(96, 64, cv::Scalar(0, 255, 0))}}));
    const QString photo =
        writeFile(QStringLiteral("2.jpg"), fixture::jpeg(50, 40, cv::Scalar(255, 0, 0)));
    const QString isd = writeFile(
        QStringLiteral("scan.isd"),
        "{\"images\":[{\"height\":64,\"parts\":[[0,0,\"00000.dat/0.jpg\"],[96,0,\"00000.dat/"
        "1.jpg\"]],\"type\":\"stitched\",\"width\":192},{\"path\":\"snapshots/2.jpg\",\"rois\":"
        "[{}],\"type\":\"single\"}],\"layout\":\"horizontal\",\"magnification\":40.0,\"mpp\":0.25,"
        "\"version\":\"1.0\"}");

    // The archive goes up by PUT, the photo by form POST, the descriptor by PUT again. s3rver
    // reads a form's file part without a file name as text, so there the photo goes by PUT
    // and the descriptor (text) by POST.
    const bool bucket = m_backends.external();
    const struct {
        UploadMethod method;
        QString containerPath;
        QString file;
    } uploads[] = {
        {UploadMethod::Put, QStringLiteral("00000.dat"), archive},
        {bucket ? UploadMethod::Put : UploadMethod::Post, QStringLiteral("snapshots/2.jpg"), photo},
        {bucket ? UploadMethod::Post : UploadMethod::Put, QStringLiteral("scan.isd"), isd}};
    for (const auto &u : uploads) {
        m_server->options().uploadMethod = u.method;
        // The client checks the store's ETag against the file's MD5: stored means they matched.
        const QFuture<UploadResult> done = api.uploadFile(id, u.containerPath, u.file);
        QVERIFY(await(done));
        QVERIFY2(done.result().outcome == UploadResult::Stored, qPrintable(u.containerPath));
        QFile local(u.file);
        QVERIFY(local.open(QIODevice::ReadOnly));
        QCOMPARE(storedBytes(id, u.containerPath), local.readAll());
    }

    const QFuture<QString> saved = api.saveScan(id, QStringLiteral("Interop slide"));
    QVERIFY(await(saved));
    const QString viewUrl = saved.result();
    QVERIFY(viewUrl.startsWith(m_server->baseUrl() + "scans/"));

    fixture::Client browser;
    const fixture::Response page = browser.send("GET", viewUrl);
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("Interop slide"));
    // The part is made into tiles by the server's job pool; its full-resolution tile.
    fixture::json status;
    QTRY_VERIFY_WITH_TIMEOUT((status = browser.send("GET", viewUrl + "/status").js(),
                              status.is_object() && status["parts"][0]["state"] == "ready"),
                             60000);
    const fixture::Response part =
        browser.send("GET", viewUrl + "/parts/0_files/8/0_0.jpeg?v=" +
                                QString::fromStdString(status["parts"][0]["dzi"].get<std::string>())
                                    .section(QStringLiteral("?v="), 1));
    QCOMPARE(part.status, 200);
    const cv::Mat composed = cv::imdecode(
        cv::Mat(1, int(part.body.size()), CV_8UC1, const_cast<char *>(part.body.data())),
        cv::IMREAD_COLOR);
    QCOMPARE(composed.cols, 192);
    QCOMPARE(composed.rows, 64);
    QCOMPARE(browser.send("GET", viewUrl + "/images/1.jpg").status, 200);

    // The whole-slide file is the one the store holds for the part's build (in a bucket: the
    // object there), and the package's files carry the MD5 ETags the client checked.
    const QString scanId = QUrl(viewUrl).path().section(QLatin1Char('/'), -1);
    const QString build = QString::fromStdString(status["parts"][0]["dzi"].get<std::string>())
                              .section(QStringLiteral("?v="), 1);
    const fixture::Response tiff = browser.send(
        "GET", QUrl(viewUrl)
                   .resolved(QUrl(QString::fromStdString(status["parts"][0]["ome_tiff"])))
                   .toString());
    QCOMPARE(tiff.status, 200);
    QString error;
    const auto stored = m_server->storage().store()->read(
        QStringLiteral("containers/%1.derived/%2/0-%3/image.ome.tif").arg(id, scanId, build), 0, -1,
        &error);
    QVERIFY2(stored, qPrintable(error));
    QVERIFY(tiff.body == *stored);
    if (bucket) {
        const auto files = m_server->storage().files(id, &error);
        QVERIFY2(files, qPrintable(error));
        QCOMPARE(files->size(), 3);
        for (const tavrona::StoredObject &object : *files) {
            QFile local(m_local->filePath(object.key.section(QLatin1Char('/'), -1)));
            QVERIFY2(local.open(QIODevice::ReadOnly), qPrintable(object.key));
            QCOMPARE(object.md5, tavrona::md5Hex(local.readAll()).toLatin1());
        }
    }
}

void TestServerInterop::injectedFaultsFailTheUpload() {
    if (m_backends.external())
        QSKIP("the faults are the server's own upload endpoint's; the program uploads straight to "
              "the bucket here");
    const QString token = logInToken();
    Api api(m_base, token, pollMs);
    const QFuture<QString> container = api.newContainer();
    QVERIFY(await(container));
    const QString file = writeFile(QStringLiteral("0.jpg"), fixture::jpeg(8, 8, cv::Scalar(9)));

    for (const UploadMethod method : {UploadMethod::Put, UploadMethod::Post}) {
        m_server->options().uploadMethod = method;
        m_server->options().failUploads = 1;
        QFuture<UploadResult> done =
            api.uploadFile(container.result(), QStringLiteral("a.jpg"), file);
        QVERIFY(await(done));
        QCOMPARE(done.result().outcome, UploadResult::Failed);

        m_server->options().wrongEtags = 1;
        done = api.uploadFile(container.result(), QStringLiteral("a.jpg"), file);
        QVERIFY(await(done));
        QCOMPARE(done.result().outcome, UploadResult::Failed); // the client noticed the mismatch

        done = api.uploadFile(container.result(), QStringLiteral("a.jpg"), file);
        QVERIFY(await(done));
        QCOMPARE(done.result().outcome, UploadResult::Stored);
    }

    // Saving without a descriptor is refused with the server's message.
    const QFuture<QString> saved = api.saveScan(container.result(), QStringLiteral("x"));
    QVERIFY(await(saved));
    bool refused = false;
    try {
        saved.result();
    } catch (const ApiException &e) {
        refused = e.statusCode == 400;
    }
    QVERIFY(refused);
}

void TestServerInterop::crashReportsArriveAndAreListed() {
    const QString log = writeFile(QStringLiteral("application_output.log"), "first line\n");
    crashreport::Options options;
    options.dsn = QStringLiteral("http://mireva@127.0.0.1:%1/1").arg(m_server->port());
    options.release = QStringLiteral("mireva@1.2.5.0");
    options.attachment = log;
    options.databasePath = m_local->filePath(QStringLiteral("crash"));
    QVERIFY(crashreport::init(options));
    crashreport::setUser({{QStringLiteral("ip_address"), QStringLiteral("{{auto}}")},
                          {QStringLiteral("email"), QStringLiteral("demo@tavrona.local")}});
    crashreport::captureException(QStringLiteral("Upload failed"), QStringLiteral("file 0.jpg"));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->database().crashReports(10).size(), 1, 20000);
    crashreport::close();

    const tavrona::CrashReport report = m_server->database().crashReports(10).first();
    QCOMPARE(report.summary, QStringLiteral("Upload failed: file 0.jpg"));
    QCOMPARE(report.itemTypes, QStringLiteral("event, attachment"));
    QCOMPARE(report.eventId.size(), 32);
    fixture::Client browser{m_base};
    const fixture::Response list = browser.send("GET", QStringLiteral("/crash-reports"));
    QVERIFY(list.body.contains(report.eventId.toLatin1()));
    const fixture::Response raw =
        browser.send("GET", QStringLiteral("/crash-reports/") + report.id);
    QVERIFY(raw.body.contains("first line"));
}

void TestServerInterop::facadeScanFromLogInToViewPage() {
    const bool bucket = m_backends.external();
    m_server->options().autoConfirm = true;
    // s3rver reads a form's file part without a file name as text: binary files go by PUT there.
    m_server->options().uploadMethod = bucket ? UploadMethod::Put : UploadMethod::Alternate;
    crashreport::Options reporting;
    reporting.dsn = QStringLiteral("http://mireva@127.0.0.1:%1/1").arg(m_server->port());
    reporting.release = QStringLiteral("mireva@test");
    reporting.databasePath = m_local->filePath(QStringLiteral("crash"));
    QVERIFY(crashreport::init(reporting));

    Settings settings(nullptr, QStringList());
    settings.setApiUrl(m_base);
    settings.setApiToken(QString());
    {
        ApiThread facade(&settings, ApiThread::Intervals{pollMs, 200});
        emit facade.logIn();
        QTRY_VERIFY_WITH_TIMEOUT(facade.user().isValid(), 20000);
        QVERIFY(facade.isLoggedIn());
        QVERIFY(!settings.apiToken().isEmpty());
        QCOMPARE(facade.user().value<User>().email, QStringLiteral("demo@tavrona.local"));

        const QFuture<Scan *> started = facade.startNewScan();
        QVERIFY(await(started));
        Scan *scan = started.result();
        QVERIFY(scan);
        const QString id = scan->containerId();

        const QString archive =
            writeFile(QStringLiteral("00000.dat"),
                      fixture::archive({{QStringLiteral("0.jpg"),
                                         fixture::jpeg(64, 64, cv::Scalar(0, 0, 255))}}));
        const QString photo =
            writeFile(QStringLiteral("1.jpg"), fixture::jpeg(30, 20, cv::Scalar(255, 0, 0)));
        const QString isd =
            writeFile(QStringLiteral("scan.isd"),
                      "{\"images\":[{\"height\":64,\"parts\":[[0,0,\"00000.dat/0.jpg\"]],\"type\":"
                      "\"stitched\",\"width\":64},{\"path\":\"snapshots/1.jpg\",\"rois\":[{}],"
                      "\"type\":\"single\"}],\"layout\":\"horizontal\",\"version\":\"1.0\"}");

        // The first upload fails once: the facade retries it and reports the failure. (With a
        // bucket, a presign request fails instead: the uploads never reach the server.)
        if (bucket)
            m_server->options().failPresigns = 1;
        else
            m_server->options().failUploads = 1;
        QSignalSpy finished(&facade, &ApiThread::uploadFinished);
        facade.uploadFile(id, QStringLiteral("00000.dat"), archive, false);
        facade.uploadFile(id, QStringLiteral("snapshots/1.jpg"), photo, false);
        facade.uploadFile(id, QStringLiteral("scan.isd"), isd, true);
        QTRY_COMPARE_WITH_TIMEOUT(scan->uploaded(), 3, 20000);
        QCOMPARE(finished.size(), 1);
        QVERIFY(scan->status() >= Scan::UPLOADED);
        for (const QString &path : {QStringLiteral("00000.dat"), QStringLiteral("snapshots/1.jpg"),
                                    QStringLiteral("scan.isd")})
            QVERIFY2(bucket ? !storedBytes(id, path).isEmpty()
                            : m_server->database().upload(id, path).has_value(),
                     qPrintable(path));

        const QFuture<QString> saved = facade.saveScan(id, QStringLiteral("Facade slide"));
        QVERIFY(await(saved));
        const QString viewUrl = saved.result();
        QTRY_COMPARE(scan->status(), Scan::SAVED);
        QCOMPARE(scan->viewUrl(), viewUrl);
        fixture::Client browser;
        QCOMPARE(browser.send("GET", viewUrl).status, 200);
        QTRY_VERIFY_WITH_TIMEOUT(browser.send("GET", viewUrl + "/parts/0.dzi").status == 200,
                                 60000);
        QCOMPARE(browser.send("GET", viewUrl + "/images/1.jpg").status, 200);

        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const tavrona::CrashReport &report : m_server->database().crashReports(10))
                    if (report.summary.startsWith(QLatin1String("Upload failed")))
                        return true;
                return false;
            }(),
            20000);

        const QString token = settings.apiToken();
        emit facade.logOut();
        QTRY_VERIFY_WITH_TIMEOUT(!facade.isLoggedIn(), 10000);
        QCOMPARE(fixture::Client(m_base)
                     .api("GET", QStringLiteral("/api/mireva/info"), token.toLatin1())
                     .status,
                 401);
        facade.stop();
    }
    crashreport::close();
}

QTEST_MAIN(TestServerInterop)
#include "tst_serverinterop.moc"
