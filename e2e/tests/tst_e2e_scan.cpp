// A whole scan on one machine: the facades composed as the program's entry function composes
// them, the real camera plug-in on the simulated microscope, and the local service as its own
// process. The scan is then read back from the service's data folder and measured against the
// slide it was taken of.

#include "camera/frameinfo.h"
#include "mosaic/bigbuilder.h"
#include "service/scan.h"
#include "shell/crashreport.h"
#include "shell/logging.h"
#include "shell/metatypes.h"

#include "scanrun.h"

#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <set>

using scanrun::json;

namespace {

constexpr int cameraWidth = 800;
constexpr int cameraHeight = 600;
constexpr int slideWidth = 2600;
constexpr int slideHeight = 2000;

// Stands in for the system browser the log-in opens.
class Browser : public QObject {
    Q_OBJECT
public:
    Browser() { QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open"); }
    ~Browser() override { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

template <typename T>
bool await(const QFuture<T> &future, int ms = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!future.isFinished() && timer.elapsed() < ms)
        QTest::qWait(10);
    return future.isFinished();
}

int httpGet(const QString &url, QByteArray *body = nullptr) {
    QNetworkAccessManager network;
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(url)));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (body)
        *body = reply->readAll();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->deleteLater();
    return status;
}

// A part as the descriptor places its cells (later cells over earlier ones), BGR on white.
cv::Mat composeFromCells(const QString &containerDir, const json &part) {
    cv::Mat canvas(part["height"].get<int>(), part["width"].get<int>(), CV_8UC3,
                   cv::Scalar::all(255));
    for (const json &entry : part["parts"]) {
        QByteArray bytes = scanrun::archiveEntry(
            containerDir, QString::fromStdString(entry[2].get<std::string>()));
        const cv::Mat cell =
            cv::imdecode(cv::Mat(1, int(bytes.size()), CV_8UC1, bytes.data()), cv::IMREAD_COLOR);
        const cv::Rect target =
            cv::Rect(entry[0].get<int>(), entry[1].get<int>(), cell.cols, cell.rows) &
            cv::Rect(0, 0, canvas.cols, canvas.rows);
        cell(cv::Rect(0, 0, target.width, target.height)).copyTo(canvas(target));
    }
    return canvas;
}

// The full-resolution level of a part's Deep Zoom image, put together from its tiles (254 px,
// 1 px overlap) as a viewer fetches them; empty if a tile is missing or of the wrong size.
cv::Mat deepZoomTopLevel(const QString &base, const QString &part, const QString &version,
                         int width, int height) {
    int top = 0;
    for (int side = std::max(width, height); side > 1; side = (side + 1) / 2)
        ++top;
    cv::Mat canvas(height, width, CV_8UC3);
    for (int y0 = 0, row = 0; y0 < height; y0 += 254, ++row) {
        for (int x0 = 0, col = 0; x0 < width; x0 += 254, ++col) {
            QByteArray bytes;
            if (httpGet(base + QStringLiteral("%1_files/%2/%3_%4.jpeg?v=%5")
                                   .arg(part)
                                   .arg(top)
                                   .arg(col)
                                   .arg(row)
                                   .arg(version),
                        &bytes) != 200)
                return {};
            const cv::Mat tile = cv::imdecode(cv::Mat(1, int(bytes.size()), CV_8UC1, bytes.data()),
                                              cv::IMREAD_COLOR);
            const int w = std::min(254, width - x0);
            const int h = std::min(254, height - y0);
            const int left = col > 0 ? 1 : 0;
            const int up = row > 0 ? 1 : 0;
            if (tile.cols < left + w || tile.rows < up + h)
                return {};
            tile(cv::Rect(left, up, w, h)).copyTo(canvas(cv::Rect(x0, y0, w, h)));
        }
    }
    return canvas;
}

// The builder's cells, read in its own thread while nothing else runs there.
BigBuilder::CellMap cellsOf(BigBuilder *builder) {
    BigBuilder::CellMap cells;
    QMetaObject::invokeMethod(
        builder, [&] { cells = builder->cells(); }, Qt::BlockingQueuedConnection);
    return cells;
}

} // namespace

class TestEndToEndScan : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeScan_data();
    void wholeScan();

private:
    QTemporaryDir m_dir;
    cv::Mat m_slide;
    QString m_slidePath;
    QString m_logPath;
};

void TestEndToEndScan::initTestCase() {
    QVERIFY(m_dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("config"));
    QCoreApplication::setOrganizationName(QStringLiteral("MirevaEndToEnd"));
    QCoreApplication::setApplicationName(QStringLiteral("Mireva"));
    // The program's own log, as the entry function sets it up.
    m_logPath = m_dir.filePath(QStringLiteral("data/Mireva/application_output.log"));
    logging::setup(m_logPath);
    qRegisterMetaType<cv::Mat>();
    m_slide = scanrun::makeSlide(slideWidth, slideHeight, 11);
    m_slidePath = m_dir.filePath(QStringLiteral("slide.png"));
    QVERIFY(scanrun::writeSlide(m_slide, m_slidePath));
}

void TestEndToEndScan::wholeScan_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::newRow("clean") << QStringList();
    // The first storage uploads fail, and one answers with an ETag that does not match.
    QTest::newRow("faults") << QStringList{"--fail-uploads", "3", "--wrong-etag", "1"};
}

void TestEndToEndScan::wholeScan() {
    QFETCH(QStringList, faults);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QString dataDir = m_dir.filePath(tag + QStringLiteral("-server"));
    const QString truthPath = m_dir.filePath(tag + QStringLiteral("-truth.csv"));
    const QString configPath = m_dir.filePath(tag + QStringLiteral("-camera.json"));
    QVERIFY(QDir().mkpath(dataDir));
    QVERIFY(scanrun::useCameraConfig(
        configPath,
        scanrun::cameraConfig(m_slidePath, truthPath, cameraWidth, cameraHeight, 20, 1500, 1100)));

    QProcess server;
    const QString base =
        scanrun::startServer(server, QCoreApplication::applicationDirPath() + "/tavrona-server",
                             dataDir, QStringList{"--auto-confirm"} + faults);
    QVERIFY2(!base.isEmpty(), server.readAllStandardError().constData());
    auto stopServer = qScopeGuard([&] {
        server.terminate();
        server.waitForFinished(10000);
    });
    // Crash reports go to the service's own receiver, with the log attached.
    crashreport::Options reports;
    reports.dsn =
        QStringLiteral("http://mireva@%1:%2/1").arg(QUrl(base).host()).arg(QUrl(base).port());
    reports.release = QStringLiteral("mireva@e2e");
    reports.attachment = m_logPath;
    reports.databasePath = m_dir.filePath(tag + QStringLiteral("-reports"));
    QVERIFY(crashreport::init(reports));
    auto closeReports = qScopeGuard([] { crashreport::close(); });

    Browser browser;
    // Keeping the scans in this test's folder.
    scanrun::Program program(base, m_dir.filePath(tag + QStringLiteral("-scans")));
    const Settings &settings = *program.settings;
    [[maybe_unused]] auto &[cameraThread, apiThread, bigBuilderThread, smallBuilderThread,
                            scanKeeper, recovered] = program.facades;

    // Log in by the browser page, which the server confirms by itself.
    emit apiThread.logIn();
    QTRY_VERIFY_WITH_TIMEOUT(apiThread.isLoggedIn() && apiThread.user().isValid(), 20000);
    QCOMPARE(browser.opened.size(), 1);

    QSignalSpy frames(&cameraThread, &CameraThread::newFrame);
    cameraThread.requestAvailableCameras();
    QTRY_VERIFY_WITH_TIMEOUT(frames.size() > 2, 20000);

    // "Start scanning": a new container, then the running state.
    const QFuture<Scan *> started = apiThread.startNewScan();
    QVERIFY(await(started));
    Scan *scan = started.result();
    QVERIFY(scan);
    QTRY_VERIFY(bigBuilderThread.currentBuilder());
    BigBuilder *builder = bigBuilderThread.currentBuilder();
    QCOMPARE(builder->containerId(), scan->containerId());
    const QString scanTemp = builder->folderPath();
    QTRY_VERIFY(QDir(scanTemp).exists());

    const QSizeF view(cameraWidth * 1.5, cameraHeight * 1.5);
    emit smallBuilderThread.viewSizeUpdate(view);
    emit smallBuilderThread.viewResolutionUpdate(view);
    auto runFor = [&](int frameCount) {
        emit smallBuilderThread.reset();
        smallBuilderThread.setRunning(true);
        cameraThread.beginScanning();
        const qsizetype until = frames.size() + frameCount;
        QTRY_VERIFY_WITH_TIMEOUT(frames.size() >= until, 60000);
        smallBuilderThread.setRunning(false);
        cameraThread.endScanning();
        // The cells already on their way land before anything looks at them.
        scanrun::settle(program.facades);
    };
    runFor(120);
    const BigBuilder::CellMap beforeErase = cellsOf(builder);
    QVERIFY(beforeErase.size() > 4);

    // Eraser: three clicks around the view's centre.
    smallBuilderThread.setEraserMode(true);
    for (const QPointF click : {QPointF(0.5, 0.5), QPointF(0.3, 0.5), QPointF(0.5, 0.3)})
        emit smallBuilderThread.mouseClick(view.width() * click.x(), view.height() * click.y());
    scanrun::settle(program.facades);
    smallBuilderThread.setEraserMode(false);
    const BigBuilder::CellMap part1 = cellsOf(builder);
    std::vector<Point> erased;
    for (const auto &[id, record] : beforeErase)
        if (!part1.count(id))
            erased.push_back(id);
    QVERIFY2(!erased.empty(), "the eraser removed no cell");

    // "Next part", then the second part from wherever the tour is.
    bigBuilderThread.finishImage();
    runFor(80);
    const BigBuilder::CellMap part2 = cellsOf(builder);
    QVERIFY(!part2.empty());

    // "Finish": the descriptor goes last; the scan's folder stays until the scan is saved.
    bigBuilderThread.finish(settings.mpp(), settings.magnification());
    QTRY_VERIFY_WITH_TIMEOUT(scan->status() >= Scan::UPLOADED, 90000);
    QVERIFY(QDir(scanTemp).exists());
    const QFuture<QString> saved = apiThread.saveScan(scan->containerId(), "End to end " + tag);
    QVERIFY(await(saved));
    QCOMPARE(saved.resultCount(), 1);
    const QString viewUrl = saved.result();
    QCOMPARE(scan->status(), Scan::SAVED);
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(scanTemp).exists(), 20000);

    // A photo series: a second scan with two photos.
    const QFuture<Scan *> photoStarted = apiThread.startNewScan();
    QVERIFY(await(photoStarted));
    Scan *photos = photoStarted.result();
    QVERIFY(photos && photos != scan);
    QTRY_VERIFY(bigBuilderThread.currentBuilder() &&
                bigBuilderThread.currentBuilder()->containerId() == photos->containerId());
    const QString photoTemp = bigBuilderThread.currentBuilder()->folderPath();
    for (int k = 0; k < 2; ++k) {
        const qsizetype next = frames.size() + 3;
        QTRY_VERIFY_WITH_TIMEOUT(frames.size() >= next, 20000);
        bigBuilderThread.addSnapshot(cameraThread.image());
    }
    bigBuilderThread.finish(settings.mpp(), settings.magnification());
    QTRY_VERIFY_WITH_TIMEOUT(photos->status() >= Scan::UPLOADED, 60000);
    const QFuture<QString> photosSaved = apiThread.saveScan(photos->containerId(), "Photos " + tag);
    QVERIFY(await(photosSaved));
    QCOMPARE(photosSaved.resultCount(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(photoTemp).exists(), 20000);

    // --- The service's side ---------------------------------------------------------------
    // Every file arrived whole: the database's checksum is the stored file's, and the client
    // counted as uploaded exactly what the service holds.
    const QString containerDir = dataDir + "/containers/" + scan->containerId();
    const auto uploads = scanrun::storedUploads(dataDir, scan->containerId());
    QCOMPARE(qsizetype(uploads.size()), qsizetype(scan->uploaded()));
    QCOMPARE(scan->uploading(), 0);
    for (const auto &[path, upload] : uploads) {
        const QByteArray data = scanrun::readFile(containerDir + "/" + path);
        QCOMPARE(qint64(data.size()), upload.size);
        QCOMPARE(scanrun::md5Hex(data), upload.md5);
    }
    QVERIFY(uploads.count("scan.isd"));
    const json isd =
        json::parse(scanrun::readFile(containerDir + "/scan.isd").toStdString(), nullptr, false);
    QVERIFY(isd.is_object() && isd["images"].is_array());
    const auto savedIsd = scanrun::savedDescriptor(dataDir, scan->containerId());
    QVERIFY(savedIsd.has_value());

    std::vector<json> stitched;
    for (const json &image : isd["images"])
        if (image.value("type", "") == "stitched")
            stitched.push_back(image);
    QCOMPARE(int(stitched.size()), 2);

    // Each part lists every stored cell, at its place relative to the part's corner, and
    // nothing erased.
    const std::vector<const BigBuilder::CellMap *> parts{&part1, &part2};
    const std::vector<scanrun::TruthLine> truth = scanrun::readTruth(truthPath);
    // The host polls every 30 ms: its 200 frame steps of the two parts are at least 6 s of the
    // camera's 20 frames a second, each of which the simulator recorded.
    QVERIFY(int(truth.size()) >= 120);
    for (size_t p = 0; p < parts.size(); ++p) {
        const BigBuilder::CellMap &cells = *parts[p];
        int minX = INT_MAX, minY = INT_MAX;
        for (const auto &[id, record] : cells) {
            minX = std::min(minX, record.rect.x);
            minY = std::min(minY, record.rect.y);
        }
        std::set<std::pair<int, int>> expected;
        for (const auto &[id, record] : cells)
            expected.insert({record.rect.x - minX, record.rect.y - minY});
        std::set<std::pair<int, int>> listed;
        std::vector<std::pair<cv::Point, QByteArray>> composed;
        for (const json &entry : stitched[p]["parts"]) {
            const cv::Point place(entry[0].get<int>(), entry[1].get<int>());
            listed.insert({place.x, place.y});
            const QString path = QString::fromStdString(entry[2].get<std::string>());
            QVERIFY2(uploads.count(path.section('/', 0, 0)), qPrintable(path));
            const QByteArray bytes = scanrun::archiveEntry(containerDir, path);
            QVERIFY2(!bytes.isEmpty(), qPrintable(path));
            composed.push_back({place, bytes});
        }
        QCOMPARE(listed.size(), expected.size());
        QVERIFY(listed == expected);
        if (p == 0)
            for (const Point &id : erased) {
                const cv::Rect rect = beforeErase.at(id).rect;
                QVERIFY(!listed.count({rect.x - minX, rect.y - minY}));
            }

        // Where the part should start on the slide: the tour's positions span it.
        double tx = 1e9, ty = 1e9;
        for (const scanrun::TruthLine &line : truth) {
            tx = std::min(tx, line.x);
            ty = std::min(ty, line.y);
        }
        std::sort(composed.begin(), composed.end(), [](const auto &a, const auto &b) {
            return a.first.y != b.first.y ? a.first.y < b.first.y : a.first.x < b.first.x;
        });
        const scanrun::PartFigures figures =
            scanrun::measurePart(composed, m_slide, cv::Point(int(tx), int(ty)), 1600);
        qInfo().noquote() << QStringLiteral(
                                 "%1 part %2: %3 cells, %4 unmatched, placement RMS %5 px max %6 "
                                 "px, seams %7 RMS %8 px max %9 px")
                                 .arg(tag)
                                 .arg(p + 1)
                                 .arg(figures.cells)
                                 .arg(figures.unmatched)
                                 .arg(figures.rms, 0, 'f', 2)
                                 .arg(figures.max, 0, 'f', 2)
                                 .arg(figures.seams)
                                 .arg(figures.seamRms, 0, 'f', 2)
                                 .arg(figures.seamMax, 0, 'f', 2);
        QCOMPARE(figures.unmatched, 0);
        QVERIFY(figures.seams > 0);
        QVERIFY2(figures.seamRms <= 1.5, "seam RMS above 1.5 px");
        QVERIFY2(figures.seamMax <= 4.0, "a seam is off by more than 4 px");
    }

    // The photo series: both photos stored and described.
    const QString photoDir = dataDir + "/containers/" + photos->containerId();
    const auto photoUploads = scanrun::storedUploads(dataDir, photos->containerId());
    QCOMPARE(qsizetype(photoUploads.size()), qsizetype(photos->uploaded()));
    const json photoIsd =
        json::parse(scanrun::readFile(photoDir + "/scan.isd").toStdString(), nullptr, false);
    int singles = 0;
    for (const json &image : photoIsd["images"])
        if (image.value("type", "") == "single") {
            ++singles;
            const QString path = QString::fromStdString(image["path"].get<std::string>());
            QVERIFY2(photoUploads.count(path), qPrintable(path));
            QVERIFY(!cv::imread((photoDir + "/" + path).toStdString()).empty());
        }
    QCOMPARE(singles, 2);

    // Through the faults, the refused uploads were sent again: nothing was taken as stored
    // that the service did not store (the checks above), and the failures did happen.
    const QString serverLog = QString::fromUtf8(server.readAllStandardError());
    static const QRegularExpression refused(QStringLiteral("\"(PUT|POST) /storage/\\S+\" 500"));
    const qsizetype failures = serverLog.count(refused);
    if (!faults.isEmpty())
        QVERIFY2(failures >= 3, qPrintable(serverLog.right(2000)));
    else
        QCOMPARE(failures, 0);

    // The view page answers.
    QByteArray page;
    QCOMPARE(httpGet(viewUrl, &page), 200);
    QVERIFY(!page.isEmpty());

    // The service makes each part into Deep Zoom tiles and an OME-TIFF: both show the cells.
    const QString scanId = viewUrl.section(QLatin1Char('/'), -1);
    const QString root = base.endsWith('/') ? base.chopped(1) : base;
    json status;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            QByteArray body;
            httpGet(root + "/scans/" + scanId + "/status", &body);
            status = json::parse(body.toStdString(), nullptr, false);
            bool ready = status.is_object() && status["parts"].size() == stitched.size();
            for (const json &part : status.value("parts", json::array()))
                ready = ready && part.value("state", "") == "ready";
            return ready;
        }(),
        180000);
    const double mpp = isd.value("mpp", 0.0);
    for (size_t p = 0; p < stitched.size(); ++p) {
        const json &part = status["parts"][p];
        QCOMPARE(part.value("skipped_cells", -1), 0);
        const int width = stitched[p]["width"].get<int>();
        const int height = stitched[p]["height"].get<int>();
        const cv::Mat reference = composeFromCells(containerDir, stitched[p]);
        const QString dzi = QString::fromStdString(part.value("dzi", ""));
        QByteArray dziText;
        QCOMPARE(httpGet(root + dzi, &dziText), 200);
        QVERIFY(dziText.contains(QStringLiteral("Width=\"%1\"").arg(width).toUtf8()));
        QVERIFY(dziText.contains(QStringLiteral("Height=\"%1\"").arg(height).toUtf8()));
        const cv::Mat tiles =
            deepZoomTopLevel(root, dzi.section(".dzi", 0, 0), dzi.section("?v=", 1), width, height);
        QVERIFY2(!tiles.empty(), "a tile of the full-resolution level is missing");
        // The simulated slide has edges sharper than tissue: JPEG at 85 keeps about 35 dB of
        // it; a part one pixel off falls far below.
        qInfo().noquote() << tag << "part" << p + 1 << "Deep Zoom PSNR"
                          << cv::PSNR(tiles, reference);
        QVERIFY2(
            cv::PSNR(tiles, reference) >= 32,
            qPrintable(QStringLiteral("Deep Zoom PSNR %1 dB").arg(cv::PSNR(tiles, reference))));

        QByteArray tiff;
        QCOMPARE(httpGet(root + QString::fromStdString(part.value("ome_tiff", "")), &tiff), 200);
        const QString tiffPath = m_dir.filePath(tag + QStringLiteral("-part%1.ome.tif").arg(p));
        QVERIFY(scanrun::writeFile(tiffPath, tiff));
        const cv::Mat full = cv::imread(tiffPath.toStdString(), cv::IMREAD_COLOR);
        QCOMPARE(full.cols, width);
        QCOMPARE(full.rows, height);
        qInfo().noquote() << tag << "part" << p + 1 << "OME-TIFF PSNR" << cv::PSNR(full, reference);
        QVERIFY2(cv::PSNR(full, reference) >= 34,
                 qPrintable(QStringLiteral("OME-TIFF PSNR %1 dB").arg(cv::PSNR(full, reference))));
        // Its pixel size, as a reader other than the writer sees it (Debian's tifffile).
        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"),
                      QStringLiteral("import sys, tifffile, xml.etree.ElementTree as E\n"
                                     "t = tifffile.TiffFile(sys.argv[1])\n"
                                     "p = E.fromstring(t.ome_metadata).find('.//{*}Pixels')\n"
                                     "print(p.get('PhysicalSizeX', ''), len(t.series[0].levels))"),
                      tiffPath});
        QVERIFY(python.waitForFinished(60000));
        const QStringList read = QString::fromUtf8(python.readAllStandardOutput()).split(' ');
        QVERIFY2(python.exitCode() == 0 && read.size() == 2,
                 python.readAllStandardError().constData());
        if (mpp > 0)
            QCOMPARE(read[0].toDouble(), mpp);
        else
            QVERIFY(read[0].isEmpty());
        QVERIFY(read[1].trimmed().toInt() >= 1);
    }
    qInfo().noquote() << "view URL" << viewUrl << "files" << uploads.size() << "frames"
                      << frames.size();

    // --- Nothing secret left the program --------------------------------------------------
    // After the log-in and the scan, an error whose text carries the token is reported too; the
    // log and every envelope the service stored hold neither the token nor the log-in code
    // (through the faults, the failed uploads were reported as well), nor does the settings
    // file hold the token.
    const QByteArray token = settings.apiToken().toUtf8();
    QVERIFY(!token.isEmpty());
    const QByteArray code =
        QUrlQuery(browser.opened.first()).queryItemValue(QStringLiteral("code")).toUtf8();
    crashreport::captureException(
        QStringLiteral("Runtime exception"),
        QStringLiteral("request with token %1 failed").arg(QString::fromUtf8(token)));
    const QString reportsDir = dataDir + QStringLiteral("/crash-reports");
    auto storedEnvelopes = [&] {
        QList<QByteArray> envelopes;
        for (const QString &name :
             QDir(reportsDir).entryList({QStringLiteral("*.envelope")}, QDir::Files))
            envelopes.append(scanrun::readFile(reportsDir + QLatin1Char('/') + name));
        return envelopes;
    };
    auto reported = [&] {
        const QList<QByteArray> envelopes = storedEnvelopes();
        return std::any_of(envelopes.begin(), envelopes.end(), [](const QByteArray &envelope) {
            return envelope.contains("request with token [redacted] failed");
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(reported(), 20000);
    QList<QPair<QString, QByteArray>> written = {
        {QStringLiteral("log"), scanrun::readFile(m_logPath)},
        {QStringLiteral("settings"), scanrun::readFile(QSettings().fileName())}};
    for (const QByteArray &envelope : storedEnvelopes())
        written.append({QStringLiteral("stored envelope"), envelope});
    QVERIFY(written.first().second.contains("api response:"));
    static const QRegularExpression unredacted(QStringLiteral(
        "signature=(?!\\[redacted\\])|activation_code\\\\?\"\\s*:\\s*\\\\?\"(?!\\[redacted)"));
    for (const auto &[where, bytes] : written) {
        QVERIFY2(!bytes.contains(token), qPrintable(where + QStringLiteral(" holds the token")));
        QVERIFY2(code.isEmpty() || !bytes.contains(code),
                 qPrintable(where + QStringLiteral(" holds the log-in code")));
        const auto match = unredacted.match(QString::fromLatin1(bytes));
        QVERIFY2(!match.hasMatch(),
                 qPrintable(where + QStringLiteral(": ") +
                            QString::fromLatin1(bytes).mid(match.capturedStart() - 40, 120)));
    }
}

QTEST_MAIN(TestEndToEndScan)
#include "tst_e2e_scan.moc"
