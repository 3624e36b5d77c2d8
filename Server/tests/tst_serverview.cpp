// A saved scan's page in headless Chromium, served by the tavrona-server executable: the page
// shows "Processing N %" while the part is being made and turns into the deep-zoom viewer by
// itself; at 1:1 the viewer shows the cells' own pixels; the scale bar follows mpp; photos show
// at full size. Chromium is driven over its DevTools protocol, waiting on the page's state.

#include "partfixture.h"
#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QWebSocket>

#include <cstdio>

#include <opencv2/imgcodecs.hpp>

using fixture::dump;
using fixture::json;
using fixture::Response;

namespace {

// A page of headless Chromium, driven through the DevTools protocol.
class Browser {
public:
    ~Browser() {
        m_socket.close();
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    bool start(const QString &chromium, QString *error) {
        m_process.start(chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                   "--no-first-run", "--disable-background-networking",
                                   "--disable-component-update", "--disable-sync",
                                   "--force-device-scale-factor=1", "--hide-scrollbars",
                                   "--remote-debugging-port=0",
                                   "--user-data-dir=" + m_profile.path(), "about:blank"});
        if (!m_process.waitForStarted(30000)) {
            *error = QStringLiteral("chromium does not start");
            return false;
        }
        // Chromium names its DevTools port in this file once it listens.
        QFile portFile(m_profile.filePath(QStringLiteral("DevToolsActivePort")));
        QElapsedTimer timer;
        timer.start();
        QStringList lines;
        while (timer.elapsed() < 60000) {
            if (portFile.open(QIODevice::ReadOnly)) {
                lines = QString::fromLatin1(portFile.readAll()).split('\n', Qt::SkipEmptyParts);
                portFile.close();
                if (lines.size() >= 2)
                    break;
            }
            QTest::qWait(100);
        }
        if (lines.size() < 2) {
            *error = QStringLiteral("chromium names no DevTools port");
            return false;
        }
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString &text) {
            m_messages.push_back(json::parse(text.toStdString(), nullptr, false));
        });
        m_socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1%2").arg(lines[0], lines[1])));
        timer.restart();
        while (m_socket.state() != QAbstractSocket::ConnectedState && timer.elapsed() < 30000)
            QTest::qWait(20);
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            *error = QStringLiteral("cannot reach chromium's DevTools");
            return false;
        }
        const json target = call("Target.createTarget", {{"url", "about:blank"}}, false);
        const json attached =
            call("Target.attachToTarget",
                 {{"targetId", target.value("targetId", "")}, {"flatten", true}}, false);
        m_session = attached.value("sessionId", "");
        call("Emulation.setDeviceMetricsOverride",
             {{"width", 1100}, {"height", 900}, {"deviceScaleFactor", 1}, {"mobile", false}});
        if (m_session.empty())
            *error = QStringLiteral("cannot open a page in chromium");
        return !m_session.empty();
    }

    // One DevTools command; its result (empty on error or time-out).
    json call(const std::string &method, const json &params = json::object(), bool page = true) {
        json message = {{"id", ++m_id}, {"method", method}, {"params", params}};
        if (page)
            message["sessionId"] = m_session;
        m_socket.sendTextMessage(QString::fromStdString(message.dump()));
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000) {
            for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
                if (it->is_object() && it->value("id", 0) == m_id) {
                    const json result = it->value("result", json::object());
                    m_messages.erase(it);
                    return result;
                }
            }
            m_messages.clear(); // events: not needed
            QTest::qWait(10);
        }
        return json::object();
    }

    void open(const QString &url) {
        call("Page.navigate", {{"url", "about:blank"}});
        call("Page.navigate", {{"url", url.toStdString()}});
    }

    json evaluate(const QString &expression) {
        const json result = call("Runtime.evaluate", {{"expression", expression.toStdString()},
                                                      {"returnByValue", true}});
        return result.contains("result") ? result["result"].value("value", json()) : json();
    }

    // Waits until expression is true in the page; false after timeoutMs.
    bool waitFor(const QString &expression, int timeoutMs) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            if (evaluate(expression) == json(true))
                return true;
            QTest::qWait(100);
        }
        return false;
    }

    cv::Mat screenshot() {
        const json shot = call("Page.captureScreenshot", {{"format", "png"}});
        const QByteArray png =
            QByteArray::fromBase64(QByteArray::fromStdString(shot.value("data", "")));
        return cv::imdecode(cv::Mat(1, int(png.size()), CV_8UC1, const_cast<char *>(png.data())),
                            cv::IMREAD_COLOR);
    }

private:
    QTemporaryDir m_profile;
    QProcess m_process;
    QWebSocket m_socket;
    std::vector<json> m_messages;
    std::string m_session;
    int m_id = 0;
};

} // namespace

class TestServerView : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void pageTurnsIntoTheViewerAndShowsTheCells();

private:
    int put(const QString &container, const QString &path, const QByteArray &data);
    QString saveScan(const QString &container, const QString &name);

    QString m_program;
    QString m_chromium;
    QTemporaryDir m_dir;
    QProcess m_server;
    std::unique_ptr<fixture::Client> m_client;
    QByteArray m_token;
};

void TestServerView::initTestCase() {
    m_program = QCoreApplication::applicationDirPath() + QStringLiteral("/tavrona-server");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
    m_chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    // One part at a time, so a large scan saved first keeps the next one queued.
    const QString base = fixture::startServer(
        m_server, m_program, m_dir.path(),
        {QStringLiteral("--auto-confirm"), QStringLiteral("--job-threads"), QStringLiteral("1")});
    QVERIFY(!base.isEmpty());
    m_client = std::make_unique<fixture::Client>(QUrl(base));
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    const Response done = m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    QCOMPARE(done.status, 200);
    m_token = QByteArray::fromStdString(done.js()["auth_token"].get<std::string>());
}

void TestServerView::cleanupTestCase() {
    m_server.terminate();
    m_server.waitForFinished(30000);
}

int TestServerView::put(const QString &container, const QString &path, const QByteArray &data) {
    const Response presigned = m_client->api(
        "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), m_token,
        dump({{"files", {path.toStdString()}}}));
    return m_client->upload(presigned.js()["files"][0], data).status;
}

QString TestServerView::saveScan(const QString &container, const QString &name) {
    const Response saved =
        m_client->api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container),
                      m_token, dump({{"file_name", name.toStdString()}, {"type", "isd_file"}}));
    return saved.status == 200 ? QString::fromStdString(saved.js()["view_url"].get<std::string>())
                               : QString();
}

namespace {

// columns × rows cells of 256 px cut from the waves slide, archives of 100, and the "images"
// entry describing them.
QList<QPair<QString, QByteArray>> cellArchives(int columns, int rows, json *entry,
                                               bool sameCell = false) {
    QList<QPair<QString, QByteArray>> archives;
    QList<QPair<QString, QByteArray>> cells;
    json parts = json::array();
    std::vector<uchar> first;
    for (int i = 0; i < columns * rows; ++i) {
        const int x = (i % columns) * 256;
        const int y = (i / columns) * 256;
        std::vector<uchar> bytes;
        if (!sameCell || first.empty())
            cv::imencode(".jpg", fixture::cellPixels(x, y, 256, 256), bytes,
                         {cv::IMWRITE_JPEG_QUALITY, 95});
        if (sameCell && first.empty())
            first = bytes;
        const std::vector<uchar> &data = sameCell ? first : bytes;
        const QString archive =
            QStringLiteral("%1.dat").arg(archives.size(), 5, 10, QLatin1Char('0'));
        cells.append(
            {QStringLiteral("%1.jpg").arg(i),
             QByteArray(reinterpret_cast<const char *>(data.data()), qsizetype(data.size()))});
        parts.push_back({x, y, QStringLiteral("%1/%2.jpg").arg(archive).arg(i).toStdString()});
        if (cells.size() == 100 || i == columns * rows - 1) {
            archives.append({archive, fixture::archive(cells)});
            cells.clear();
        }
    }
    *entry = {
        {"type", "stitched"}, {"width", columns * 256}, {"height", rows * 256}, {"parts", parts}};
    return archives;
}

} // namespace

void TestServerView::pageTurnsIntoTheViewerAndShowsTheCells() {
    // A large scan saved first: while it is being made, the small one waits in the queue.
    // Everything else is ready before the large save, so the page opens within its build.
    auto newContainer = [&] {
        return QString::fromStdString(
            m_client->api("POST", QStringLiteral("/api/mireva/container/new"), m_token)
                .js()["container_id"]
                .get<std::string>());
    };
    const QString small = newContainer();
    json entry;
    for (const auto &[name, data] : cellArchives(6, 4, &entry))
        QCOMPARE(put(small, name, data), 200);
    QCOMPARE(put(small, QStringLiteral("snapshots/30.jpg"),
                 fixture::jpeg(320, 240, cv::Scalar(40, 160, 90))),
             200);
    const json isd = {
        {"images",
         {entry, {{"type", "single"}, {"path", "snapshots/30.jpg"}, {"rois", {json::object()}}}}},
        {"layout", "horizontal"},
        {"mpp", 0.5},
        {"magnification", 20.0},
        {"version", "1.0"}};
    QCOMPARE(put(small, QStringLiteral("scan.isd"), dump(isd)), 200);

    const QString large = newContainer();
    json largeEntry;
    for (const auto &[name, data] : cellArchives(48, 48, &largeEntry, true))
        QCOMPARE(put(large, name, data), 200);
    QCOMPARE(put(large, QStringLiteral("scan.isd"),
                 dump({{"images", {largeEntry}}, {"layout", "horizontal"}, {"version", "1.0"}})),
             200);

    Browser browser;
    QString error;
    QVERIFY2(browser.start(m_chromium, &error), qPrintable(error));
    QVERIFY(!saveScan(large, QStringLiteral("Large slide")).isEmpty());
    const QString viewUrl = saveScan(small, QStringLiteral("Chromium slide"));
    QVERIFY(!viewUrl.isEmpty());

    // Processing first, then the viewer, without a reload.
    browser.open(viewUrl);
    QVERIFY2(browser.waitFor(QStringLiteral("!!document.querySelector('.processing')"), 30000),
             "the page shows no processing state");
    const QString processing = QString::fromStdString(
        browser.evaluate("document.querySelector('.processing').textContent").get<std::string>());
    QVERIFY2(QRegularExpression(QStringLiteral("^Processing \\d+ %$")).match(processing).hasMatch(),
             qPrintable(processing));
    QVERIFY(browser.evaluate("document.querySelector('#viewer-0') === null") == json(true));
    QVERIFY2(
        browser.waitFor(QStringLiteral("!!document.querySelector('#viewer-0[data-loaded=\"1\"]')"),
                        300000),
        "the processing state did not turn into the viewer");
    QVERIFY(browser.evaluate("document.querySelector('.processing') === null") == json(true));
    QVERIFY(browser.evaluate("document.querySelector('.navigator') !== null") == json(true));
    QVERIFY(
        browser.evaluate("document.querySelector('a.download:not(#package)').getAttribute('href')")
            .get<std::string>()
            .find(".ome.tif") != std::string::npos);

    // A linked view at 1:1: the centre of the viewer shows image pixel (640, 384).
    browser.open(viewUrl + QStringLiteral("#part=0&x=640&y=384&z=1"));
    QVERIFY(browser.waitFor(
        QStringLiteral("!!document.querySelector('#viewer-0[data-loaded=\"1\"]')"), 60000));
    QTest::qWait(500); // the last tiles' fade-in
    QVERIFY(browser.waitFor(
        QStringLiteral("!!document.querySelector('#viewer-0[data-loaded=\"1\"]')"), 60000));
    const json rect = browser.evaluate(QStringLiteral(
        "(() => { const r = document.querySelector('#viewer-0').getBoundingClientRect();"
        " return [r.left, r.top, r.width, r.height]; })()"));
    QVERIFY(rect.is_array());
    const int cx = int(std::lround(rect[0].get<double>() + rect[2].get<double>() / 2));
    const int cy = int(std::lround(rect[1].get<double>() + rect[3].get<double>() / 2));
    const cv::Mat shot = browser.screenshot();
    QVERIFY(!shot.empty());
    const cv::Mat slide = fixture::cellPixels(0, 0, 6 * 256, 4 * 256);
    const int half = 90;
    double best = 0;
    for (int dy = -3; dy <= 3; ++dy)
        for (int dx = -3; dx <= 3; ++dx) {
            const cv::Mat seen = shot(cv::Rect(cx - half + dx, cy - half + dy, 2 * half, 2 * half));
            const cv::Mat truth = slide(cv::Rect(640 - half, 384 - half, 2 * half, 2 * half));
            best = std::max(best, fixture::psnr(seen, truth));
        }
    QVERIFY2(best >= 30, qPrintable(QStringLiteral("screen against cells: PSNR %1 dB").arg(best)));

    // The scale bar at 1:1 and 0.5 µm per pixel: 50 µm are 100 screen pixels.
    const json scaleText = browser.evaluate("document.querySelector('.scale-text').textContent");
    QVERIFY2(scaleText == json("50 µm"), scaleText.dump().c_str());
    const json scaleWidth =
        browser.evaluate("document.querySelector('.scale-bar').getBoundingClientRect().width");
    QVERIFY2(scaleWidth == json(100), scaleWidth.dump().c_str());

    // The photo, at its full size.
    browser.evaluate(QStringLiteral(
        "document.querySelector('button[data-kind=\"photo\"][data-index=\"0\"]').click()"));
    QVERIFY(browser.waitFor(QStringLiteral("document.querySelector('.photo img') && "
                                           "document.querySelector('.photo img').dataset.loaded "
                                           "=== '320x240' && document.querySelector('.photo "
                                           "img').getBoundingClientRect().width === 320"),
                            30000));
}

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty()) {
        std::fprintf(stderr, "SKIP: chromium is not installed, the scan page cannot be rendered\n");
        return 77;
    }
    TestServerView test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serverview.moc"
