// The camera SDK stand-in and its simulated microscope, checked against references computed
// here: conversions, seamless tiles, sub-pixel positions, the physical effect of features,
// the stage, the configuration, and the acquisition's buffers.

#include "featureset.h"
#include "renderer.h"
#include "simconfig.h"
#include "slide.h"
#include "stage.h"

#include <VmbCPP/VmbCPP.h>
#include <VmbImageTransform/VmbTransform.h>

#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgproc.hpp>

#include <atomic>
#include <set>

using namespace vmbsim;

namespace {

OpticsConfig cleanOptics() {
    OpticsConfig optics;
    optics.noise = 0;
    optics.vignetting = 0;
    optics.sensorResponse = {1, 1, 1};
    return optics;
}

cv::Mat render(Renderer &renderer, const Pose &pose, const Exposure &exposure, int w = 200,
               int h = 150) {
    cv::Mat out(h, w, CV_8UC3);
    renderer.render(pose, exposure, w, h, false, out.data, out.step);
    return out;
}

// Counts deliveries and hands every buffer back, as a camera user does.
class CountingObserver : public VmbCPP::IFrameObserver {
public:
    CountingObserver(VmbCPP::CameraPtr camera, bool requeue)
        : VmbCPP::IFrameObserver(std::move(camera))
        , m_requeue(requeue) {}
    void FrameReceived(const VmbCPP::FramePtr frame) override {
        {
            QMutexLocker lock(&mutex);
            frames.insert(frame.get());
            last = frame;
        }
        ++count;
        if (m_requeue)
            m_pCamera->QueueFrame(frame);
    }
    QMutex mutex;
    std::set<const VmbCPP::Frame *> frames;
    VmbCPP::FramePtr last;
    std::atomic<int> count{0};

private:
    bool m_requeue;
};

} // namespace

class TestVmbSim : public QObject {
    Q_OBJECT

private slots:
    void cleanup();

    void transform_data();
    void transform();
    void transformRefusesBadDescriptors();
    void tilesJoinWithoutSeams_data();
    void tilesJoinWithoutSeams();
    void subPixelPosition_data();
    void subPixelPosition();
    void exposureGainGamma_data();
    void exposureGainGamma();
    void tourMovesSmoothlyAndRepeats();
    void trajectoryInterpolates();
    void badTrajectory_data();
    void badTrajectory();
    void badConfiguration_data();
    void badConfiguration();
    void featureAccessRules();
    void acquisitionRotatesFiveBuffers();
    void autoExposureReachesTarget();
    void frameClockIsReproducible();

private:
    bool startWith(const QByteArray &config);
    QTemporaryDir m_dir;
};

void TestVmbSim::cleanup() {
    VmbCPP::VmbSystem::GetInstance().Shutdown();
}

bool TestVmbSim::startWith(const QByteArray &config) {
    const QString path = m_dir.filePath("config.json");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(config);
    file.close();
    qputenv("VMBSIM_CONFIG", path.toUtf8());
    return VmbCPP::VmbSystem::GetInstance().Startup() == VmbErrorSuccess;
}

void TestVmbSim::transform_data() {
    QTest::addColumn<int>("format");
    QTest::newRow("RGB8") << int(VmbPixelFormatRgb8);
    QTest::newRow("BGR8") << int(VmbPixelFormatBgr8);
    QTest::newRow("BayerRG8") << int(VmbPixelFormatBayerRG8);
    QTest::newRow("BayerGB8") << int(VmbPixelFormatBayerGB8);
    QTest::newRow("BayerGR8") << int(VmbPixelFormatBayerGR8);
    QTest::newRow("BayerBG8") << int(VmbPixelFormatBayerBG8);
}

void TestVmbSim::transform() {
    QFETCH(int, format);
    // A flat colour, laid out as the format wants it; the converted picture must show it in
    // R, G, B order everywhere but the demosaicing border.
    const cv::Vec3b rgb(200, 90, 30);
    const int w = 16, h = 12;
    cv::Mat raw;
    if (format == VmbPixelFormatRgb8) {
        raw = cv::Mat(h, w, CV_8UC3, cv::Scalar(rgb[0], rgb[1], rgb[2]));
    } else if (format == VmbPixelFormatBgr8) {
        raw = cv::Mat(h, w, CV_8UC3, cv::Scalar(rgb[2], rgb[1], rgb[0]));
    } else {
        // Colour of each site of the 2 x 2 pattern, top-left first.
        const char *pattern = format == VmbPixelFormatBayerRG8   ? "RGGB"
                              : format == VmbPixelFormatBayerGB8 ? "GBRG"
                              : format == VmbPixelFormatBayerGR8 ? "GRBG"
                                                                 : "BGGR";
        raw = cv::Mat(h, w, CV_8UC1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                char site = pattern[(y & 1) * 2 + (x & 1)];
                raw.at<uchar>(y, x) = site == 'R' ? rgb[0] : (site == 'G' ? rgb[1] : rgb[2]);
            }
    }
    VmbImage source{};
    source.Size = sizeof(source);
    source.Data = raw.data;
    QCOMPARE(VmbSetImageInfoFromPixelFormat(VmbPixelFormat_t(format), w, h, &source), 0);
    VmbImage destination{};
    destination.Size = sizeof(destination);
    QCOMPARE(VmbSetImageInfoFromInputImage(&source, VmbPixelLayoutRGB, 8, &destination), 0);
    cv::Mat out(h, w, CV_8UC3, cv::Scalar(0, 0, 0));
    destination.Data = out.data;
    QCOMPARE(VmbImageTransform(&source, &destination, nullptr, 0), 0);
    cv::Mat inner = out(cv::Rect(2, 2, w - 4, h - 4));
    cv::Mat expected(inner.size(), CV_8UC3, cv::Scalar(rgb[0], rgb[1], rgb[2]));
    QVERIFY2(cv::norm(inner, expected, cv::NORM_INF) <= 1,
             qPrintable(QString("got %1 %2 %3")
                            .arg(inner.at<cv::Vec3b>(2, 2)[0])
                            .arg(inner.at<cv::Vec3b>(2, 2)[1])
                            .arg(inner.at<cv::Vec3b>(2, 2)[2])));
}

void TestVmbSim::transformRefusesBadDescriptors() {
    std::vector<uchar> buffer(64 * 3);
    VmbImage image{};
    image.Size = sizeof(image) - 1;
    QCOMPARE(VmbSetImageInfoFromPixelFormat(VmbPixelFormatRgb8, 8, 8, &image),
             VmbError_t(VmbErrorStructSize));
    image.Size = sizeof(image);
    QCOMPARE(VmbSetImageInfoFromPixelFormat(0x12345678, 8, 8, &image),
             VmbError_t(VmbErrorBadParameter));
    QCOMPARE(VmbSetImageInfoFromPixelFormat(VmbPixelFormatRgb8, 8, 8, nullptr),
             VmbError_t(VmbErrorBadParameter));
    QCOMPARE(VmbSetImageInfoFromPixelFormat(VmbPixelFormatRgb8, 8, 8, &image), 0);
    image.Data = buffer.data();
    VmbImage other{};
    other.Size = sizeof(other);
    QCOMPARE(VmbSetImageInfoFromInputImage(&image, VmbPixelLayoutRGB, 16, &other),
             VmbError_t(VmbErrorNotImplemented));
    QCOMPARE(VmbSetImageInfoFromInputImage(&image, VmbPixelLayoutRGB, 8, &other), 0);
    QCOMPARE(VmbImageTransform(&image, &other, nullptr, 0), VmbError_t(VmbErrorBadParameter));
    other.Data = buffer.data();
    other.ImageInfo.Width = 4; // sizes that do not match are refused, not overrun
    QCOMPARE(VmbImageTransform(&image, &other, nullptr, 0), VmbError_t(VmbErrorBadParameter));
}

void TestVmbSim::tilesJoinWithoutSeams_data() {
    QTest::addColumn<int>("level");
    QTest::newRow("sharp") << 0;
    QTest::newRow("blurred") << 5;
}

void TestVmbSim::tilesJoinWithoutSeams() {
    QFETCH(int, level);
    // Two procedural tiles made apart must equal one picture made in one piece: the blurred
    // level is compared with a blur of the joined sharp tiles away from the outer edges.
    SlideConfig config;
    Slide slide(config);
    const int n = Slide::TilePx;
    cv::Mat joined(n * 3, n * 3, CV_8UC3);
    for (int ty = 0; ty < 3; ++ty)
        for (int tx = 0; tx < 3; ++tx)
            slide.generateProceduralTile(40 + tx, 30 + ty)
                .copyTo(joined(cv::Rect(tx * n, ty * n, n, n)));
    QCOMPARE(
        cv::norm(slide.generateProceduralTile(41, 31), joined(cv::Rect(n, n, n, n)), cv::NORM_INF),
        0.0);
    cv::Mat reference = joined;
    if (level > 0) {
        double sigma = Slide::levelSigma(level);
        int margin = int(std::ceil(3 * sigma)) + 1;
        cv::GaussianBlur(joined, reference, cv::Size(2 * margin + 1, 2 * margin + 1), sigma, sigma,
                         cv::BORDER_REPLICATE);
    }
    // The middle tile and its right neighbour read through the renderer's row access.
    slide.prepare(level, 41 * n, 31 * n, 2 * n, n);
    cv::Mat rows(n, 2 * n, CV_8UC3);
    for (int y = 0; y < n; ++y)
        slide.row(31 * n + y, 41 * n, 2 * n, rows.ptr<uchar>(y));
    QVERIFY(cv::norm(rows(cv::Rect(0, 0, 2 * n - 32, n)), reference(cv::Rect(n, n, 2 * n - 32, n)),
                     cv::NORM_INF) <= 1);
}

void TestVmbSim::subPixelPosition_data() {
    QTest::addColumn<double>("dx");
    QTest::addColumn<double>("dy");
    QTest::newRow("half right") << 0.5 << 0.0;
    QTest::newRow("half down") << 0.0 << 0.5;
    QTest::newRow("quarter both") << 0.25 << 0.75;
}

void TestVmbSim::subPixelPosition() {
    QFETCH(double, dx);
    QFETCH(double, dy);
    // A position between pixels is the bilinear mix of the whole-pixel pictures around it.
    Slide slide(SlideConfig{});
    Renderer renderer(cleanOptics(), slide);
    Exposure exposure;
    exposure.exposureUs = Renderer::FullScaleExposureUs;
    const double x = 5000, y = 4000; // over tissue: glass would not show a move
    cv::Mat a = render(renderer, {x, y, 0}, exposure);
    cv::Mat b = render(renderer, {x + 1, y, 0}, exposure);
    cv::Mat c = render(renderer, {x, y + 1, 0}, exposure);
    cv::Mat d = render(renderer, {x + 1, y + 1, 0}, exposure);
    cv::Mat mid = render(renderer, {x + dx, y + dy, 0}, exposure);
    cv::Mat expected;
    cv::Mat af, bf, cf, df;
    a.convertTo(af, CV_32F);
    b.convertTo(bf, CV_32F);
    c.convertTo(cf, CV_32F);
    d.convertTo(df, CV_32F);
    expected =
        af * ((1 - dx) * (1 - dy)) + bf * (dx * (1 - dy)) + cf * ((1 - dx) * dy) + df * (dx * dy);
    expected.convertTo(expected, CV_8U);
    QVERIFY(cv::norm(mid, expected, cv::NORM_INF) <= 2);
    QVERIFY(cv::norm(mid, a, cv::NORM_INF) > 10); // it really moved
}

void TestVmbSim::exposureGainGamma_data() {
    QTest::addColumn<double>("exposureUs");
    QTest::addColumn<double>("gainDb");
    QTest::addColumn<double>("gamma");
    QTest::addColumn<double>("ratio"); // expected mean against the reference exposure
    QTest::newRow("half exposure") << 3000.0 << 0.0 << 1.0 << 0.5;
    QTest::newRow("6 dB gain") << 3000.0 << 6.0206 << 1.0 << 1.0;
    QTest::newRow("quarter exposure") << 1500.0 << 0.0 << 1.0 << 0.25;
    QTest::newRow("gamma 0.5 brightens") << 6000.0 << 0.0 << 0.5 << -1.0;
}

void TestVmbSim::exposureGainGamma() {
    QFETCH(double, exposureUs);
    QFETCH(double, gainDb);
    QFETCH(double, gamma);
    QFETCH(double, ratio);
    Slide slide(SlideConfig{});
    Renderer renderer(cleanOptics(), slide);
    Exposure reference;
    reference.exposureUs = 6000; // half of full scale: nothing clips
    const Pose pose{5000, 4000, 0};
    const double base = cv::mean(render(renderer, pose, reference))[1];
    Exposure e;
    e.exposureUs = exposureUs;
    e.gainDb = gainDb;
    e.gamma = gamma;
    const double mean = cv::mean(render(renderer, pose, e))[1];
    if (ratio > 0)
        QVERIFY2(std::abs(mean / base - ratio) < 0.02,
                 qPrintable(QString("%1 against %2").arg(mean).arg(base)));
    else
        QVERIFY(mean > base * 1.2);
}

void TestVmbSim::tourMovesSmoothlyAndRepeats() {
    StageConfig config;
    config.pauses = true;
    config.jump = true;
    config.wobblePx = 0;
    TourStage tour(config, 60000, 45000, 640, 480, 2.0);
    // No teleporting outside the jump: at 100 Hz sampling a step never exceeds what the
    // fastest move allows, and the jump is the only much faster part.
    double largest = 0, maxDefocus = 0;
    int fastSteps = 0;
    Pose previous = tour.at(0);
    for (double t = 0.01; t < tour.periodS(); t += 0.01) {
        Pose p = tour.at(t);
        double step = std::hypot(p.x - previous.x, p.y - previous.y);
        largest = std::max(largest, step);
        if (step > 0.01 * config.speedPxPerS * 2.0)
            ++fastSteps;
        maxDefocus = std::max(maxDefocus, p.defocusPx);
        QVERIFY(p.x >= 0 && p.y >= 0 && p.x < 60000 && p.y < 45000);
        previous = p;
    }
    QVERIFY(fastSteps > 0); // the jump happened
    QVERIFY(largest < 0.01 * config.speedPxPerS * 12 * 2.0);
    QVERIFY(maxDefocus > 1.0 && maxDefocus <= 2.0 * 1.3);
    Pose start = tour.at(0), again = tour.at(tour.periodS());
    QVERIFY(std::hypot(start.x - again.x, start.y - again.y) < 1e-6);
}

void TestVmbSim::trajectoryInterpolates() {
    const QString path = m_dir.filePath("path.csv");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("time,x,y,focus\n# comment\n0,100,200\n2,300,100,1.5\n");
    file.close();
    TrajectoryStage stage(path.toStdString());
    Pose before = stage.at(-1), mid = stage.at(1), after = stage.at(9);
    QCOMPARE(before.x, 100.0);
    QCOMPARE(mid.x, 200.0);
    QCOMPARE(mid.y, 150.0);
    QCOMPARE(mid.defocusPx, 0.75);
    QCOMPARE(after.y, 100.0);
}

void TestVmbSim::badTrajectory_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty") << QByteArray("time,x,y\n") << "has no positions";
    QTest::newRow("garbage row") << QByteArray("0,1,2\nzero,one\n") << ":2: expected";
    QTest::newRow("time going back") << QByteArray("1,1,2\n0,1,2\n") << "times must increase";
}

void TestVmbSim::badTrajectory() {
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const QString path = m_dir.filePath("bad.csv");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    try {
        TrajectoryStage stage(path.toStdString());
        QFAIL("accepted");
    } catch (const ConfigError &e) {
        QVERIFY2(QString(e.what()).contains(message), e.what());
    }
}

void TestVmbSim::badConfiguration_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown camera key")
        << QByteArray(R"({"cameras":[{"widht":100}]})") << "unknown key \"widht\" in cameras[0]";
    QTest::newRow("odd width") << QByteArray(R"({"cameras":[{"width":101}]})") << "even";
    QTest::newRow("pixel format") << QByteArray(R"({"cameras":[{"pixelFormat":"YUV"}]})")
                                  << "pixelFormat";
    QTest::newRow("wrong type") << QByteArray(R"({"cameras":[{"fps":"fast"}]})")
                                << "wrong type for \"fps\"";
    QTest::newRow("image without path")
        << QByteArray(R"({"cameras":[{"slide":{"type":"image"}}]})") << "needs \"path\"";
    QTest::newRow("positive fault code")
        << QByteArray(R"({"cameras":[{"faults":{"closeError":3}}]})") << "negative";
}

void TestVmbSim::badConfiguration() {
    QFETCH(QByteArray, json);
    QFETCH(QString, message);
    try {
        parseConfig(nlohmann::json::parse(json.toStdString()), "/tmp");
        QFAIL("accepted");
    } catch (const ConfigError &e) {
        QVERIFY2(QString(e.what()).contains(message), e.what());
    }
}

void TestVmbSim::featureAccessRules() {
    QVERIFY(startWith(R"({"cameras":[{"id":"A","width":128,"height":96,"fps":100}]})"));
    VmbCPP::CameraPtr camera;
    QCOMPARE(VmbCPP::VmbSystem::GetInstance().GetCameraByID("A", camera), VmbErrorSuccess);
    VmbCPP::FeaturePtr width, exposure, selector, ratio;
    QCOMPARE(camera->GetFeatureByName("Width", width), VmbErrorDeviceNotOpen);
    QCOMPARE(camera->Open(VmbAccessModeFull), VmbErrorSuccess);
    QCOMPARE(camera->Open(VmbAccessModeFull), VmbErrorInvalidAccess);
    QCOMPARE(camera->GetFeatureByName("Width", width), VmbErrorSuccess);
    QCOMPARE(camera->GetFeatureByName("Nope", width), VmbErrorNotFound);
    QCOMPARE(camera->GetFeatureByName("Width", width), VmbErrorSuccess);
    QCOMPARE(width->SetValue(VmbInt64_t(64)), VmbErrorSuccess);
    QCOMPARE(width->SetValue(VmbInt64_t(65)), VmbErrorInvalidValue); // off the increment
    QCOMPARE(width->SetValue(2.5), VmbErrorWrongType);
    QCOMPARE(camera->GetFeatureByName("ExposureTime", exposure), VmbErrorSuccess);
    QCOMPARE(exposure->SetValue(1e9), VmbErrorInvalidValue);
    double value = 0;
    QCOMPARE(exposure->GetValue(value), VmbErrorSuccess);
    QCOMPARE(value, 10000.0);
    QCOMPARE(camera->GetFeatureByName("BalanceRatioSelector", selector), VmbErrorSuccess);
    QCOMPARE(camera->GetFeatureByName("BalanceRatio", ratio), VmbErrorSuccess);
    QCOMPARE(selector->SetValue("Blue"), VmbErrorSuccess);
    QCOMPARE(ratio->SetValue(2.0), VmbErrorSuccess);
    QCOMPARE(selector->SetValue("Red"), VmbErrorSuccess);
    QCOMPARE(ratio->SetValue(0.5), VmbErrorSuccess);
    QCOMPARE(selector->SetValue("Purple"), VmbErrorInvalidValue);
    QCOMPARE(selector->SetValue("Blue"), VmbErrorSuccess);
    QCOMPARE(ratio->GetValue(value), VmbErrorSuccess);
    QCOMPARE(value, 2.0);

    // The image size cannot change under a running acquisition.
    auto observer = std::make_shared<CountingObserver>(camera, true);
    QCOMPARE(camera->StartContinuousImageAcquisition(5, observer), VmbErrorSuccess);
    QCOMPARE(width->SetValue(VmbInt64_t(96)), VmbErrorInvalidAccess);
    QTRY_VERIFY(observer->count > 0);
    VmbUint32_t frameWidth = 0;
    {
        QMutexLocker lock(&observer->mutex);
        observer->last->GetWidth(frameWidth);
    }
    QCOMPARE(frameWidth, VmbUint32_t(64));
    QCOMPARE(camera->StopContinuousImageAcquisition(), VmbErrorSuccess);
    QCOMPARE(width->SetValue(VmbInt64_t(96)), VmbErrorSuccess);
    QCOMPARE(camera->Close(), VmbErrorSuccess);
    QCOMPARE(camera->Close(), VmbErrorDeviceNotOpen);
}

void TestVmbSim::acquisitionRotatesFiveBuffers() {
    QVERIFY(startWith(R"({"cameras":[{"id":"A","width":128,"height":96,"fps":200}]})"));
    VmbCPP::CameraPtrVector cameras;
    QCOMPARE(VmbCPP::VmbSystem::GetInstance().GetCameras(cameras), VmbErrorSuccess);
    QCOMPARE(cameras.size(), size_t(1));
    VmbCPP::CameraPtr camera = cameras[0];
    QCOMPARE(camera->Open(VmbAccessModeFull), VmbErrorSuccess);
    auto rotating = std::make_shared<CountingObserver>(camera, true);
    QCOMPARE(camera->StartContinuousImageAcquisition(5, rotating), VmbErrorSuccess);
    QTRY_VERIFY_WITH_TIMEOUT(rotating->count >= 20, 30000);
    QCOMPARE(camera->StopContinuousImageAcquisition(), VmbErrorSuccess);
    QCOMPARE(rotating->frames.size(), size_t(5));

    // A user that keeps every buffer gets five frames and then none until it gives one back.
    auto keeping = std::make_shared<CountingObserver>(camera, false);
    QCOMPARE(camera->StartContinuousImageAcquisition(5, keeping), VmbErrorSuccess);
    QTRY_COMPARE_WITH_TIMEOUT(keeping->count.load(), 5, 30000);
    QTest::qWait(100);
    QCOMPARE(keeping->count.load(), 5);
    QCOMPARE(camera->StopContinuousImageAcquisition(), VmbErrorSuccess);
    QCOMPARE(camera->StartContinuousImageAcquisition(0, keeping), VmbErrorBadParameter);
    QCOMPARE(camera->Close(), VmbErrorSuccess);
    QCOMPARE(camera->StartContinuousImageAcquisition(5, keeping), VmbErrorDeviceNotOpen);
}

void TestVmbSim::autoExposureReachesTarget() {
    QVERIFY(startWith(R"({"cameras":[{"id":"A","width":160,"height":120,"fps":200,
        "clock":"frame","stage":{"type":"tour","x":5000,"y":4000,"speed":50},
        "features":{"ExposureAuto":{"value":"Continuous"},"AutoTargetBrightness":{"value":60},
                    "ExposureTime":{"value":20000}}}]})"));
    VmbCPP::CameraPtr camera;
    QCOMPARE(VmbCPP::VmbSystem::GetInstance().GetCameraByID("A", camera), VmbErrorSuccess);
    QCOMPARE(camera->Open(VmbAccessModeFull), VmbErrorSuccess);
    auto observer = std::make_shared<CountingObserver>(camera, true);
    QCOMPARE(camera->StartContinuousImageAcquisition(5, observer), VmbErrorSuccess);
    QTRY_VERIFY_WITH_TIMEOUT(observer->count >= 80, 30000);
    QCOMPARE(camera->StopContinuousImageAcquisition(), VmbErrorSuccess);
    VmbUchar_t *buffer = nullptr;
    QCOMPARE(observer->last->GetImage(buffer), VmbErrorSuccess);
    cv::Mat frame(120, 160, CV_8UC3, buffer);
    cv::Mat gray;
    cv::cvtColor(frame, gray, cv::COLOR_RGB2GRAY);
    const double mean = cv::mean(gray)[0];
    QVERIFY2(std::abs(mean - 60) < 8, qPrintable(QString::number(mean)));
    VmbCPP::FeaturePtr exposure;
    QCOMPARE(camera->GetFeatureByName("ExposureTime", exposure), VmbErrorSuccess);
    double exposureUs = 0;
    exposure->GetValue(exposureUs);
    QVERIFY(exposureUs < 10000); // it had to darken
    QCOMPARE(camera->Close(), VmbErrorSuccess);
}

void TestVmbSim::frameClockIsReproducible() {
    // The same configuration twice, one stage step per frame: the same positions.
    const QString truth = m_dir.filePath("truth.csv");
    const QByteArray config = QByteArray(R"({"cameras":[{"id":"A","width":96,"height":64,
        "fps":300,"clock":"frame","groundTruth":")") +
                              truth.toUtf8() + R"("}]})";
    QStringList runs;
    for (int run = 0; run < 2; ++run) {
        QVERIFY(startWith(config));
        VmbCPP::CameraPtr camera;
        QCOMPARE(VmbCPP::VmbSystem::GetInstance().GetCameraByID("A", camera), VmbErrorSuccess);
        QCOMPARE(camera->Open(VmbAccessModeFull), VmbErrorSuccess);
        auto observer = std::make_shared<CountingObserver>(camera, true);
        QCOMPARE(camera->StartContinuousImageAcquisition(5, observer), VmbErrorSuccess);
        QTRY_VERIFY_WITH_TIMEOUT(observer->count >= 30, 30000);
        QCOMPARE(camera->Close(), VmbErrorSuccess);
        VmbCPP::VmbSystem::GetInstance().Shutdown();
        QFile file(truth);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(file.readAll()).split('\n').mid(0, 31);
        QCOMPARE(lines[0], QString("frame,time,x,y,focus"));
        runs.append(lines.join('\n'));
    }
    QCOMPARE(runs[0], runs[1]);
}

QTEST_GUILESS_MAIN(TestVmbSim)
#include "tst_vmbsim.moc"
