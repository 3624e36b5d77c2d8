// The running chain, measured: the program's own four facades, wired as the program wires them,
// with the Varnoke plug-in on the simulated microscope (2048 x 1536, 30 frames per second) and
// vignetting correction on, scanning against the local service for a minute. Prints how many
// of the frames the camera published the live builder registered, its step times, and how
// long a frame took from its publication to its view reaching the GUI thread.
// Usage: bench_live_chain [seconds, default 60]

#include "camera/cameramanager.h"
#include "camera/frameinfo.h"
#include "mosaic/fftplans.h"
#include "mosaic/livecounters.h"
#include "program/facades.h"
#include "service/scan.h"
#include "shell/settings.h"

#include "chainrun.h"
#include "scanrun.h"

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>

namespace {

constexpr int cameraWidth = 2048;
constexpr int cameraHeight = 1536;
constexpr int fps = 30;
constexpr int warmUpSeconds = 4;

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A vignetting profile as the generation leaves it: brighter in the middle, darker towards the
// corners, by up to 30 levels at full strength.
void writeProfile(const QString &path) {
    cv::Mat profile(cameraHeight, cameraWidth, CV_16S);
    const double cx = cameraWidth / 2., cy = cameraHeight / 2.;
    const double corner = cx * cx + cy * cy;
    for (int y = 0; y < cameraHeight; ++y)
        for (int x = 0; x < cameraWidth; ++x) {
            const double r = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / corner;
            profile.at<short>(y, x) = short(std::lround(30. * (0.5 - r)));
        }
    cv::FileStorage storage(path.toStdString(),
                            cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
    storage << "mask" << profile;
}

int fail(const char *what) {
    std::fprintf(stderr, "bench_live_chain: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QTemporaryDir dir;
    // The profile and settings live in the temporary folder; the FFT wisdom stays in the cache
    // folder as the program keeps it.
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath("data")));
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
    QCoreApplication::setOrganizationName(QStringLiteral("MirevaChain"));
    QCoreApplication::setApplicationName(QStringLiteral("Mireva"));
    qRegisterMetaType<cv::Mat>();
    chainrun::Browser browser;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");

    const QString dataFolder =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dataFolder);
    writeProfile(QDir(dataFolder).filePath(QStringLiteral("vignetting_profile.xml")));

    const cv::Mat slide = scanrun::makeSlide(6000, 4500, 11);
    const QString slidePath = dir.filePath("slide.png");
    cv::Mat bgr;
    cv::cvtColor(slide, bgr, cv::COLOR_RGB2BGR);
    cv::imwrite(slidePath.toStdString(), bgr);
    const QString truthPath = dir.filePath("truth.csv");
    const QString configPath = dir.filePath("camera.json");
    scanrun::writeFile(configPath, QByteArray::fromStdString(
                                       scanrun::cameraConfig(slidePath, truthPath, cameraWidth,
                                                             cameraHeight, fps, 3600, 2600)
                                           .dump()));
    qputenv("VMBSIM_CONFIG", QFile::encodeName(configPath));

    const QString serverData = dir.filePath("server");
    QDir().mkpath(serverData);
    QProcess server;
    const QString base =
        scanrun::startServer(server, QCoreApplication::applicationDirPath() + "/tavrona-server",
                             serverData, {"--auto-confirm"});
    if (base.isEmpty())
        return fail("tavrona-server did not start");

    // The transforms are planned first (or read from the wisdom), as a second start of the
    // program finds them: a first start measures them once per machine, for a few seconds.
    fftplans::plansFor(CameraManager::previewSize({cameraWidth, cameraHeight}), true);

    Settings settings(nullptr, QStringList());
    settings.setApiUrl(QUrl(base));
    settings.setApiToken(QString());
    settings.setCameraId(QStringLiteral("Vimba DEV_SIM_0001"));
    settings.setAutoCameraSettings(false);
    settings.setVignettingCorrection(true);
    Facades::Options options;
    options.serviceIntervals = {300, 300};
    Facades facades(&settings, options);
    CameraThread &camera = facades.camera;
    ApiThread &api = facades.api;
    SmallBuilderThread &live = facades.smallBuilder;

    emit api.logIn();
    if (!chainrun::waitUntil([&] { return api.isLoggedIn(); }, 20000))
        return fail("no log-in");

    // Publication time of every frame the camera facade announced, by its full image, and the
    // latency of the first view that shows each.
    std::map<const uchar *, qint64> published;
    std::vector<double> latencyMs;
    bool measuring = false;
    QObject::connect(&camera, &CameraThread::newFrame, [&] {
        const QSharedPointer<FrameInfo> frame = camera.latestFrame();
        if (measuring && frame)
            published[frame->image.data] = frame->publishedNs;
    });
    QObject::connect(&live, &SmallBuilderThread::propertiesChanged, [&] {
        const auto found = published.find(live.cameraImage().data);
        if (!measuring || found == published.end())
            return;
        latencyMs.push_back(double(nowNs() - found->second) / 1e6);
        published.erase(published.begin(), std::next(found));
    });
    std::optional<LiveCounters> part;
    QObject::connect(&live, &SmallBuilderThread::partCounted,
                     [&](LiveCounters counters) { part = counters; });

    camera.requestAvailableCameras();
    if (!chainrun::waitUntil([&] { return !camera.image().empty(); }, 30000))
        return fail("no camera frames");
    const QFuture<Scan *> started = api.startNewScan();
    if (!chainrun::waitUntil([&] { return started.isFinished(); }, 20000) ||
        started.resultCount() != 1)
        return fail("no new scan");
    const QSizeF view(1200, 900);
    emit live.viewSizeUpdate(view);
    emit live.viewResolutionUpdate(view);
    emit live.reset();
    live.setRunning(true);
    camera.beginScanning();
    // A few seconds first, so that the chain runs steadily when the measured part starts.
    chainrun::waitUntil([] { return false; }, warmUpSeconds * 1000);
    emit live.reset();
    if (!chainrun::waitUntil([&] { return part.has_value(); }, 10000))
        return fail("the warm-up part was not counted");
    part.reset();
    const int truthBefore = int(scanrun::readTruth(truthPath).size());
    measuring = true;
    chainrun::waitUntil([] { return false; }, seconds * 1000);
    measuring = false;
    const int simulated = int(scanrun::readTruth(truthPath).size()) - truthBefore;
    emit live.reset();
    if (!chainrun::waitUntil([&] { return part.has_value(); }, 10000))
        return fail("the measured part was not counted");
    live.setRunning(false);
    camera.endScanning();
    facades.stop();
    server.terminate();
    server.waitForFinished(10000);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    const LiveCounters &c = *part;
    std::printf("Mireva running chain, %s, %s, %d cores\n",
                qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                qPrintable(QSysInfo::prettyProductName()), QThread::idealThreadCount());
    std::printf("camera: simulated microscope %dx%d at %d fps, vignetting correction on, %d s\n",
                cameraWidth, cameraHeight, fps, seconds);
    std::printf("frames delivered by the simulator        %d\n", simulated);
    std::printf("frames published by the camera           %lld\n", c.delivered);
    std::printf("registered by the live builder           %lld (%.1f %%)\n", c.registered,
                c.delivered ? 100. * double(c.registered) / double(c.delivered) : 0.);
    std::printf("skipped / repeated / out of sync         %lld / %lld / %lld\n", c.skipped,
                c.repeated, c.outOfSync);
    std::printf("live step p50 / p95                      %.2f / %.2f ms\n", c.stepMedianMs,
                c.stepP95Ms);
    std::printf("publication to view p50 / p95            %.2f / %.2f ms over %zu frames\n",
                chainrun::percentile(latencyMs, 0.5), chainrun::percentile(latencyMs, 0.95),
                latencyMs.size());
    return 0;
}
