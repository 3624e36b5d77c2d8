// The whole chain on this machine, in figures: the simulated microscope on a reproducible tour
// (one stage step per frame) feeding the program's own objects against the local service, then
// the same tour replayed through a live builder and a full-resolution builder of its own to time
// their steps and measure the registration against the tour's known positions.
// Usage: bench_e2e_report [seconds of tour, default 12]

#include "camera/frameinfo.h"
#include "mosaic/bigbuilder.h"
#include "mosaic/smallbuilder.h"
#include "service/scan.h"

#include "chainrun.h"
#include "scanrun.h"

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

namespace {

constexpr int cameraWidth = 800;
constexpr int cameraHeight = 600;
constexpr int fps = 20;

long peakMemoryKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int fail(const char *what) {
    std::fprintf(stderr, "bench_e2e_report: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QApplication app(argc, argv);
    const int tourSeconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 12;
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
    QCoreApplication::setOrganizationName(QStringLiteral("MirevaReport"));
    QCoreApplication::setApplicationName(QStringLiteral("Mireva"));
    qRegisterMetaType<cv::Mat>();
    chainrun::Browser browser;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");

    const cv::Mat slide = scanrun::makeSlide(3200, 2400, 11);
    const QString slidePath = dir.filePath("slide.png");
    const QString truthPath = dir.filePath("truth.csv");
    if (!scanrun::writeSlide(slide, slidePath) ||
        !scanrun::useCameraConfig(dir.filePath("camera.json"),
                                  scanrun::cameraConfig(slidePath, truthPath, cameraWidth,
                                                        cameraHeight, fps, 2000, 1400)))
        return fail("cannot write the slide or the camera's configuration");

    const QString dataDir = dir.filePath("server");
    QDir().mkpath(dataDir);
    QProcess server;
    const QString base =
        scanrun::startServer(server, QCoreApplication::applicationDirPath() + "/tavrona-server",
                             dataDir, {"--auto-confirm"});
    if (base.isEmpty())
        return fail("tavrona-server did not start");

    scanrun::Program program(base, dir.filePath("scans"));
    const Settings &settings = *program.settings;
    [[maybe_unused]] auto &[cameraThread, apiThread, bigBuilderThread, smallBuilderThread,
                            scanKeeper, recovered] = program.facades;

    emit apiThread.logIn();
    if (!chainrun::waitUntil([&] { return apiThread.isLoggedIn(); }, 20000))
        return fail("no log-in");
    int hostFrames = 0, published = 0;
    bool counting = false;
    QObject::connect(&cameraThread, &CameraThread::newFrame, [&] { hostFrames += counting; });
    QObject::connect(&smallBuilderThread, &SmallBuilderThread::propertiesChanged,
                     [&] { published += counting; });
    cameraThread.requestAvailableCameras();
    if (!chainrun::waitUntil([&] { return !cameraThread.image().empty(); }, 20000))
        return fail("no camera frames");
    const QFuture<Scan *> started = apiThread.startNewScan();
    if (!chainrun::waitUntil([&] { return started.isFinished(); }, 20000) ||
        started.resultCount() != 1)
        return fail("no new scan");
    Scan *scan = started.result();
    const QSizeF view(cameraWidth * 1.5, cameraHeight * 1.5);
    emit smallBuilderThread.viewSizeUpdate(view);
    emit smallBuilderThread.viewResolutionUpdate(view);
    emit smallBuilderThread.reset();
    const int truthBefore = int(scanrun::readTruth(truthPath).size());
    counting = true;
    smallBuilderThread.setRunning(true);
    cameraThread.beginScanning();
    chainrun::waitUntil([] { return false; }, tourSeconds * 1000); // the tour itself
    smallBuilderThread.setRunning(false);
    cameraThread.endScanning();
    counting = false;
    const int delivered = int(scanrun::readTruth(truthPath).size()) - truthBefore;
    scanrun::settle(program.facades);
    QElapsedTimer uploadTimer;
    uploadTimer.start();
    bigBuilderThread.finish(settings.mpp(), settings.magnification());
    if (!chainrun::waitUntil([&] { return scan->status() >= Scan::UPLOADED; }, 120000))
        return fail("the scan was not uploaded");
    const double finishSeconds = uploadTimer.elapsed() / 1000.;
    const long peakKiB = peakMemoryKiB();
    const auto uploads = scanrun::storedUploads(dataDir, scan->containerId());
    qint64 bytes = 0;
    for (const auto &[path, upload] : uploads)
        bytes += upload.size;

    // Placement of the stored cells against the slide.
    const QString containerDir = dataDir + "/containers/" + scan->containerId();
    const scanrun::json isd = scanrun::json::parse(
        scanrun::readFile(containerDir + "/scan.isd").toStdString(), nullptr, false);
    std::vector<std::pair<cv::Point, QByteArray>> cells;
    if (isd.is_object())
        for (const auto &image : isd["images"])
            if (image.value("type", "") == "stitched")
                for (const auto &entry : image["parts"])
                    cells.push_back(
                        {cv::Point(entry[0].get<int>(), entry[1].get<int>()),
                         scanrun::archiveEntry(
                             containerDir, QString::fromStdString(entry[2].get<std::string>()))});
    std::sort(cells.begin(), cells.end(), [](const auto &a, const auto &b) {
        return a.first.y != b.first.y ? a.first.y < b.first.y : a.first.x < b.first.x;
    });
    const std::vector<scanrun::TruthLine> truth = scanrun::readTruth(truthPath);
    double tx = 1e9, ty = 1e9;
    for (const auto &line : truth) {
        tx = std::min(tx, line.x);
        ty = std::min(ty, line.y);
    }
    const scanrun::PartFigures placement =
        scanrun::measurePart(cells, slide, cv::Point(int(tx), int(ty)), 1600);
    program.facades.stop();
    server.terminate();
    server.waitForFinished(10000);

    // Replay: the tour's frames cut from the slide at the known positions, through a live
    // builder and a full-resolution builder in this thread, each step timed.
    SmallBuilder live(nullptr, nullptr);
    BigBuilder full(QStringLiteral("replay"));
    std::vector<double> liveMs, fullMs;
    QObject::connect(&live, &SmallBuilder::storeNewFrame, &full,
                     [&](cv::Mat frame, QList<FrameCellInfo> frameCells) {
                         QElapsedTimer t;
                         t.start();
                         full.storeNewFrame(frame, frameCells);
                         fullMs.push_back(t.nsecsElapsed() / 1e6);
                     });
    const double scale = std::min(1.0, 768.0 / std::max(cameraWidth, cameraHeight));
    const cv::Size previewSize(int(cameraWidth * scale + 0.5), int(cameraHeight * scale + 0.5));
    int outOfSync = 0, accepted = 0;
    double squares = 0, maxError = 0;
    cv::Point2d firstTruth;
    live.running = true;
    for (size_t k = 0; k < truth.size() && k < size_t(delivered + truthBefore); ++k) {
        const cv::Point2d at(truth[k].x, truth[k].y);
        auto frame = QSharedPointer<FrameInfo>::create();
        cv::getRectSubPix(slide, cv::Size(cameraWidth, cameraHeight),
                          at + cv::Point2d(cameraWidth / 2., cameraHeight / 2.), frame->image);
        cv::resize(frame->image, frame->smallImage, previewSize, 0, 0, cv::INTER_AREA);
        frame->sharpness = 1.;
        QElapsedTimer t;
        t.start();
        const SmallBuilder::Estimate result = live.processFrame(frame);
        liveMs.push_back(t.nsecsElapsed() / 1e6);
        if (result == SmallBuilder::Estimate::OutOfSync)
            ++outOfSync;
        if (result != SmallBuilder::Estimate::Moved && k > 0)
            continue;
        if (accepted == 0)
            firstTruth = at;
        const cv::Point2d drift = live.position() - (at - firstTruth) * scale;
        const double e = std::hypot(drift.x, drift.y);
        squares += e * e;
        maxError = std::max(maxError, e);
        ++accepted;
    }
    const double previewRms = accepted ? std::sqrt(squares / accepted) : 0;

    std::printf("Mireva end-to-end report, %s, %s, %d cores\n",
                qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                qPrintable(QSysInfo::prettyProductName()), QThread::idealThreadCount());
    std::printf("tour: %d s of a %dx%d camera at %d fps, one stage step per frame\n", tourSeconds,
                cameraWidth, cameraHeight, fps);
    std::printf("frames delivered by the camera          %d\n", delivered);
    // The host's frame loop publishes a step whenever it polls the camera, so its count can
    // exceed the SDK's deliveries; the live builder publishes one update per step it processed.
    std::printf("frame steps published by the camera facade %d\n", hostFrames);
    std::printf("frames processed by the live builder    %d\n", std::min(published, hostFrames));
    std::printf("frames skipped by the live builder      %d\n",
                std::max(0, hostFrames - std::min(published, hostFrames)));
    std::printf("live step (replay) median / p95         %.2f / %.2f ms\n",
                chainrun::percentile(liveMs, 0.5), chainrun::percentile(liveMs, 0.95));
    std::printf("full-resolution per frame (replay) median %.2f ms over %zu frames\n",
                chainrun::percentile(fullMs, 0.5), fullMs.size());
    std::printf("upload: %zu files, %.2f MB; finish to uploaded %.2f s; %.2f MB/s\n",
                uploads.size(), bytes / 1e6, finishSeconds,
                finishSeconds > 0 ? bytes / 1e6 / finishSeconds : 0.);
    std::printf("registration, preview px (replay): RMS %.2f, max %.2f over %d frames\n",
                previewRms, maxError, accepted);
    std::printf("registration, full-res px (stored cells vs slide): RMS %.2f, max %.2f over %d "
                "cells (%d unmatched); seams RMS %.2f, max %.2f\n",
                placement.rms, placement.max, placement.cells, placement.unmatched,
                placement.seamRms, placement.seamMax);
    std::printf("out-of-sync frames (replay)             %d\n", outOfSync);
    std::printf("peak memory (live run)                  %.1f MiB\n", peakKiB / 1024.);
    return 0;
}
