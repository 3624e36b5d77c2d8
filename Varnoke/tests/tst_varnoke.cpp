// Varnoke loaded like the program loads it (the exported `plugin` object of libVarnoke.so)
// and driven through the plug-in contract, against simulated cameras configured per test.

#include "common/cameraplugin.h"

#include <VmbCPP/VmbCPP.h>

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <dlfcn.h>

using nlohmann::json;
using Properties = std::vector<std::pair<QString, QSharedPointer<common::CameraPropertyBackend>>>;

namespace {

QMutex logMutex;
QStringList logLines;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message) {
    QMutexLocker lock(&logMutex);
    logLines.append(message);
}

QStringList takeLog() {
    QMutexLocker lock(&logMutex);
    QStringList lines = logLines;
    logLines.clear();
    return lines;
}

// A small, quiet camera: tests look at features and geometry, not at noise.
json smallCamera(const std::string &id) {
    return {{"id", id},     {"name", "Test camera " + id},
            {"width", 160}, {"height", 120},
            {"fps", 60},    {"optics", {{"noise", 0}, {"vignetting", 0}, {"defocus", 0}}}};
}

struct Truth {
    qint64 frame = -1;
    double x = 0, y = 0;
};

Truth lastTruth(const QString &path) {
    QFile file(path);
    Truth truth;
    if (!file.open(QIODevice::ReadOnly))
        return truth;
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    if (lines.size() < 2)
        return truth;
    const QList<QByteArray> fields = lines.last().split(',');
    if (fields.size() < 5)
        return truth;
    truth.frame = fields[0].toLongLong();
    truth.x = fields[2].toDouble();
    truth.y = fields[3].toDouble();
    return truth;
}

int truthFrames(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return int(file.readAll().count('\n')) - 1;
}

QSharedPointer<common::CameraPropertyBackend> find(const Properties &list, const QString &name) {
    for (const auto &[shownAs, property] : list) {
        if (shownAs == name)
            return property;
    }
    return {};
}

std::string sdkEntry(const std::string &cameraId, const char *feature) {
    VmbCPP::CameraPtr camera;
    VmbCPP::FeaturePtr f;
    std::string value;
    if (VmbCPP::VmbSystem::GetInstance().GetCameraByID(cameraId.c_str(), camera) ||
        camera->GetFeatureByName(feature, f) || f->GetValue(value))
        return "<unreadable>";
    return value;
}

} // namespace

class TestVarnoke : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void noCamera();
    void refusedCameraIsLeftOut();
    void identity();
    void cameraHeldByTheHostIsRefusedUntilReleased();
    void failedStartup_data();
    void failedStartup();
    void propertyList_data();
    void propertyList();
    void activePredicates_data();
    void activePredicates();
    void exposureBounds_data();
    void exposureBounds();
    void integerStepIsOne();
    void realConversion_data();
    void realConversion();
    void enumerationOptions();
    void linkedEnumerationWritesBoth();
    void linkedEnumerationStopsAtFirstFailure();
    void exposureAutoAloneWithoutGainAuto();
    void balanceRatiosShareOneFeature();
    void operationsInEveryState();
    void frameBeforeDeliveryIsEmptyAndSilent();
    void frameIsRgb_data();
    void frameIsRgb();
    void failedImageIsLoggedAndEmpty();
    void failedCloseStaysInside();
    void stageMovesPictureByGroundTruth_data();
    void stageMovesPictureByGroundTruth();

private:
    // Writes the configuration, points the SDK at it and starts the plug-in.
    void startWith(const json &config);
    std::vector<QSharedPointer<common::AbstractCamera>> listCameras();

    common::CameraPlugin *m_plugin = nullptr;
    QTemporaryDir m_dir;
    bool m_started = false;
    std::vector<QSharedPointer<common::AbstractCamera>> m_cameras;
};

void TestVarnoke::initTestCase() {
    QVERIFY(m_dir.isValid());
    const QString path = QCoreApplication::applicationDirPath() + "/libVarnoke.so";
    void *library = dlopen(path.toUtf8().constData(), RTLD_NOW | RTLD_LOCAL);
    QVERIFY2(library, dlerror());
    // The program loads only a plug-in of its own contract version.
    const auto *version = static_cast<const int *>(dlsym(library, "pluginContractVersion"));
    QVERIFY(version);
    QCOMPARE(*version, common::contractVersion);
    m_plugin = static_cast<common::CameraPlugin *>(dlsym(library, "plugin"));
    QVERIFY(m_plugin);
    qInstallMessageHandler(captureMessage);
}

void TestVarnoke::cleanup() {
    m_cameras.clear();
    if (m_started)
        m_plugin->shutdown();
    m_started = false;
    takeLog();
}

void TestVarnoke::startWith(const json &config) {
    const QString path = m_dir.filePath("config.json");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray::fromStdString(config.dump(2)));
    file.close();
    qputenv("VMBSIM_CONFIG", path.toUtf8());
    m_plugin->startup();
    m_started = true;
}

std::vector<QSharedPointer<common::AbstractCamera>> TestVarnoke::listCameras() {
    m_cameras = m_plugin->cameras();
    return m_cameras;
}

void TestVarnoke::noCamera() {
    startWith({{"cameras", json::array()}});
    takeLog();
    QVERIFY(listCameras().empty());
    const QStringList log = takeLog();
    QVERIFY2(log.contains("Vimba cameras found: 0"), qPrintable(log.join('\n')));
    QVERIFY(log.contains("Get Vimba available cameras"));
}

void TestVarnoke::refusedCameraIsLeftOut() {
    json refused = smallCamera("DEV_B");
    refused["faults"] = {{"openElsewhere", true}};
    startWith({{"cameras", {smallCamera("DEV_A"), refused}}});
    takeLog();
    auto cameras = listCameras();
    QCOMPARE(cameras.size(), size_t(1));
    QCOMPARE(cameras[0]->id(), std::string("Vimba DEV_A"));
    const QStringList log = takeLog();
    QVERIFY(log.contains("Vimba cameras found: 2"));
    const QStringList failures = log.filter("Failed to open camera - error:");
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures[0], QString("Failed to open camera - error: Vimba Exception: code=-6, "
                                  "message=m_camera->Open(VmbAccessModeFull) failed"));
}

void TestVarnoke::identity() {
    json camera = smallCamera("DEV_1234");
    camera["name"] = "Microscope Cam 5";
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    QCOMPARE(cameras.size(), size_t(1));
    QCOMPARE(cameras[0]->id(), std::string("Vimba DEV_1234"));
    QCOMPARE(cameras[0]->name(), std::string("Microscope Cam 5"));
    QCOMPARE(cameras[0]->size(), cv::Size(160, 120));
}

void TestVarnoke::cameraHeldByTheHostIsRefusedUntilReleased() {
    startWith({{"cameras", {smallCamera("DEV_A")}}});
    auto first = listCameras();
    QCOMPARE(first.size(), size_t(1));
    takeLog();
    // Listing again while the host still holds the open camera: it refuses full access.
    QVERIFY(m_plugin->cameras().empty());
    QCOMPARE(takeLog().filter("Failed to open camera - error:").size(), 1);
    // Releasing the host's reference closes it, so the next listing offers it again.
    first.clear();
    m_cameras.clear();
    QCOMPARE(listCameras().size(), size_t(1));
}

void TestVarnoke::failedStartup_data() {
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("what");
    QTest::newRow("injected") << QByteArray(R"({"startupError": -16})")
                              << "Vimba Exception: code=-16, message=Startup failed";
    QTest::newRow("not JSON") << QByteArray("{cameras: oops")
                              << "Vimba Exception: code=-7, message=Startup failed";
    QTest::newRow("misspelt key") << QByteArray(R"({"camera": []})")
                                  << "Vimba Exception: code=-7, message=Startup failed";
}

void TestVarnoke::failedStartup() {
    QFETCH(QByteArray, config);
    QFETCH(QString, what);
    const QString path = m_dir.filePath("bad.json");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(config);
    file.close();
    qputenv("VMBSIM_CONFIG", path.toUtf8());
    try {
        m_plugin->startup();
        m_started = true;
        QFAIL("startup() did not throw");
    } catch (const std::exception &e) {
        QCOMPARE(QString(e.what()), what);
    }
    QVERIFY(takeLog().contains("Vimba startup"));
}

void TestVarnoke::propertyList_data() {
    QTest::addColumn<QStringList>("missing");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("logged");
    const QStringList all{"Exposure Auto", "Auto Target Brightness", "Exposure Time", "Gain",
                          "Gamma",         "Balance White Auto",     "Red",           "Green",
                          "Blue"};
    QTest::newRow("complete") << QStringList() << all << QString();
    QTest::newRow("without GainAuto") << QStringList{"GainAuto"} << all << QString();
    QStringList withoutRatios = all.mid(0, 6);
    QTest::newRow("without BalanceRatioSelector")
        << QStringList{"BalanceRatioSelector"} << withoutRatios << QString();
    QTest::newRow("without BalanceRatio")
        << QStringList{"BalanceRatio"} << withoutRatios << QString();
    QStringList withoutTarget = all;
    withoutTarget.removeAll("Auto Target Brightness");
    QTest::newRow("without AutoTargetBrightness")
        << QStringList{"AutoTargetBrightness"} << withoutTarget
        << "Failed to add feature AutoTargetBrightness : Vimba Exception: code=-3, "
           "message=camera->GetFeatureByName(name.c_str(), feat) failed";
    QStringList withoutExposureAuto = all;
    withoutExposureAuto.removeAll("Exposure Auto");
    QTest::newRow("without ExposureAuto") << QStringList{"ExposureAuto"} << withoutExposureAuto
                                          << "Failed to add feature ExposureAuto :";
}

void TestVarnoke::propertyList() {
    QFETCH(QStringList, missing);
    QFETCH(QStringList, shown);
    QFETCH(QString, logged);
    json camera = smallCamera("DEV_A");
    json names = json::array();
    for (const QString &name : missing)
        names.push_back(name.toStdString());
    camera["missingFeatures"] = names;
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    QCOMPARE(cameras.size(), size_t(1));
    takeLog();
    const Properties properties = cameras[0]->properties();
    QStringList names2;
    for (const auto &entry : properties)
        names2.append(entry.first);
    QCOMPARE(names2, shown);
    const QStringList log = takeLog();
    if (!logged.isEmpty())
        QVERIFY2(!log.filter(logged).isEmpty(), qPrintable(log.join('\n')));
    QVERIFY(log.filter("BalanceRatio").isEmpty()); // omitted ratios say nothing

    auto exposureAuto = find(properties, "Exposure Auto");
    if (exposureAuto) {
        QCOMPARE(exposureAuto->scanningValue(), QVariant(QString("Off")));
        QCOMPARE(exposureAuto->type(), common::Enumeration);
    }
    auto exposureTime = find(properties, "Exposure Time");
    QVERIFY(exposureTime);
    QVERIFY(exposureTime->logScale());
    QVERIFY(!exposureTime->scanningValue().isValid());
    // With no automatic exposure to ask, exposure time and gain stay editable.
    QVERIFY(exposureTime->active());
}

void TestVarnoke::activePredicates_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("targetActive");
    QTest::addColumn<bool>("manualActive");
    QTest::newRow("Continuous") << "Continuous" << true << false;
    QTest::newRow("Off") << "Off" << false << true;
}

void TestVarnoke::activePredicates() {
    QFETCH(QString, mode);
    QFETCH(bool, targetActive);
    QFETCH(bool, manualActive);
    startWith({{"cameras", {smallCamera("DEV_A")}}});
    auto cameras = listCameras();
    const Properties properties = cameras[0]->properties();
    find(properties, "Exposure Auto")->setValue(mode);
    QCOMPARE(find(properties, "Exposure Auto")->value(), QVariant(mode));
    QCOMPARE(find(properties, "Auto Target Brightness")->active(), targetActive);
    QCOMPARE(find(properties, "Exposure Time")->active(), manualActive);
    QCOMPARE(find(properties, "Gain")->active(), manualActive);
    QVERIFY(find(properties, "Gamma")->active());

    find(properties, "Balance White Auto")->setValue(mode);
    for (const char *colour : {"Red", "Green", "Blue"})
        QCOMPARE(find(properties, colour)->active(), mode != "Continuous");
}

void TestVarnoke::exposureBounds_data() {
    QTest::addColumn<double>("featureMax");
    QTest::addColumn<double>("expectedMax");
    QTest::newRow("feature allows more than the host") << 5000.0 << 5000.0;
    QTest::newRow("lower own maximum") << 1000.0 << 1000.0;
    QTest::newRow("host caps") << 2000000.0 << 100000.0;
}

void TestVarnoke::exposureBounds() {
    QFETCH(double, featureMax);
    QFETCH(double, expectedMax);
    json camera = smallCamera("DEV_A");
    camera["features"] = {{"ExposureTime", {{"min", 10.0}, {"max", featureMax}, {"value", 500}}}};
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    auto exposure = find(cameras[0]->properties(), "Exposure Time");
    QVERIFY(exposure);
    QCOMPARE(exposure->type(), common::Real);
    QCOMPARE(exposure->min(), QVariant(10.0));
    QCOMPARE(exposure->max(), QVariant(expectedMax));
    QCOMPARE(exposure->step(), QVariant(0.01));
    QCOMPARE(exposure->value(), QVariant(500.0));
}

void TestVarnoke::integerStepIsOne() {
    json camera = smallCamera("DEV_A");
    camera["features"] = {
        {"Gamma", {{"type", "int"}, {"min", 0}, {"max", 40}, {"increment", 5}, {"value", 10}}}};
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    takeLog();
    auto gamma = find(cameras[0]->properties(), "Gamma");
    QVERIFY(gamma);
    QVERIFY(takeLog().contains("data type 1"));
    QCOMPARE(gamma->type(), common::Integer);
    QCOMPARE(gamma->step(), QVariant::fromValue(1LL));
    QCOMPARE(gamma->min(), QVariant::fromValue(0LL));
    QCOMPARE(gamma->max(), QVariant::fromValue(40LL));
    QCOMPARE(gamma->value(), QVariant::fromValue(10LL));
    gamma->setValue(20.0); // a slider may send a double
    QCOMPARE(gamma->value(), QVariant::fromValue(20LL));
    gamma->setValue(23); // not on the increment: the camera keeps its value, nothing is thrown
    QCOMPARE(gamma->value(), QVariant::fromValue(20LL));
}

void TestVarnoke::realConversion_data() {
    QTest::addColumn<QVariant>("written");
    QTest::addColumn<double>("read");
    QTest::newRow("text") << QVariant(QString("3.5")) << 3.5;
    QTest::newRow("not a number") << QVariant(QString("bright")) << 0.0;
    QTest::newRow("int") << QVariant(7) << 7.0;
    QTest::newRow("double") << QVariant(2.25) << 2.25;
    QTest::newRow("out of range is kept out") << QVariant(99.0) << 6.0;
}

void TestVarnoke::realConversion() {
    QFETCH(QVariant, written);
    QFETCH(double, read);
    json camera = smallCamera("DEV_A");
    camera["features"] = {{"Gain", {{"value", 6.0}}}};
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    auto gain = find(cameras[0]->properties(), "Gain");
    QVERIFY(gain);
    gain->setValue(written);
    QCOMPARE(gain->value(), QVariant(read));
}

void TestVarnoke::enumerationOptions() {
    json camera = smallCamera("DEV_A");
    camera["features"] = {{"ExposureAuto",
                           {{"entries",
                             {{{"name", "Off"}, {"displayName", "Manual"}},
                              {{"name", "Once"}, {"displayName", "Single shot"}},
                              {{"name", "Continuous"}, {"displayName", "Automatic"}}}},
                            {"value", "Once"}}},
                          {"GainAuto", {{"entries", {"Off", "Once", "Continuous"}}}}};
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    takeLog();
    auto exposureAuto = find(cameras[0]->properties(), "Exposure Auto");
    QVERIFY(exposureAuto);
    QVERIFY(takeLog().contains("Entries size: 3"));
    const QList<common::PropertyEnumOption> options = exposureAuto->options();
    QCOMPARE(options.size(), 3);
    const QStringList display{"Manual", "Single shot", "Automatic"};
    const QStringList values{"Off", "Once", "Continuous"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(options[i].displayName, display[i]);
        QCOMPARE(options[i].value, QVariant(values[i]));
    }
    QCOMPARE(exposureAuto->value(), QVariant(QString("Once")));
    // Created over both features, the linked one was brought into line with the first.
    QCOMPARE(sdkEntry("DEV_A", "GainAuto"), std::string("Once"));
}

void TestVarnoke::linkedEnumerationWritesBoth() {
    startWith({{"cameras", {smallCamera("DEV_A")}}});
    auto cameras = listCameras();
    auto exposureAuto = find(cameras[0]->properties(), "Exposure Auto");
    takeLog();
    exposureAuto->setValue(QString("Continuous"));
    QVERIFY(takeLog().contains("Set value Continuous"));
    QCOMPARE(sdkEntry("DEV_A", "ExposureAuto"), std::string("Continuous"));
    QCOMPARE(sdkEntry("DEV_A", "GainAuto"), std::string("Continuous"));
    exposureAuto->setValue(QString("Off"));
    QCOMPARE(sdkEntry("DEV_A", "GainAuto"), std::string("Off"));
}

void TestVarnoke::linkedEnumerationStopsAtFirstFailure() {
    json camera = smallCamera("DEV_A");
    camera["features"] = {{"ExposureAuto", {{"writable", false}}}};
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    auto exposureAuto = find(cameras[0]->properties(), "Exposure Auto");
    QVERIFY(exposureAuto);
    try {
        exposureAuto->setValue(QString("Continuous"));
        QFAIL("a refused write did not throw");
    } catch (const std::exception &e) {
        QCOMPARE(QString(e.what()), QString("Vimba Exception: code=-6, "
                                            "message=feat->SetValue(strValue.c_str()) failed"));
    }
    QCOMPARE(sdkEntry("DEV_A", "ExposureAuto"), std::string("Off"));
    QCOMPARE(sdkEntry("DEV_A", "GainAuto"), std::string("Off"));
}

void TestVarnoke::exposureAutoAloneWithoutGainAuto() {
    json camera = smallCamera("DEV_A");
    camera["missingFeatures"] = {"GainAuto"};
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    auto exposureAuto = find(cameras[0]->properties(), "Exposure Auto");
    QVERIFY(exposureAuto);
    exposureAuto->setValue(QString("Continuous"));
    QCOMPARE(exposureAuto->value(), QVariant(QString("Continuous")));
    QCOMPARE(sdkEntry("DEV_A", "ExposureAuto"), std::string("Continuous"));
}

void TestVarnoke::operationsInEveryState() {
    startWith({{"cameras", {smallCamera("DEV_A")}}});
    auto cameras = listCameras();
    QSharedPointer<common::AbstractCamera> camera = cameras[0];
    // Opened, not started.
    QCOMPARE(camera->size(), cv::Size(160, 120));
    QCOMPARE(camera->properties().size(), size_t(9));
    camera->stop();
    // Running; starting again changes nothing.
    camera->start();
    camera->start();
    QTRY_VERIFY_WITH_TIMEOUT(!camera->frame().empty(), 30000);
    QCOMPARE(camera->size(), cv::Size(160, 120));
    // Stopped: the last frame stays.
    camera->stop();
    QVERIFY(!camera->frame().empty());
    // Running again, then released without a stop: the destructor closes it.
    camera->start();
    cameras.clear();
    m_cameras.clear();
    camera.reset();
    auto again = listCameras();
    QCOMPARE(again.size(), size_t(1));
    again[0]->start();
    QTRY_VERIFY_WITH_TIMEOUT(!again[0]->frame().empty(), 30000);
    // Shutting the SDK down under a running camera stops its frames; the object stays usable.
    m_plugin->shutdown();
    m_started = false;
    QVERIFY(!again[0]->frame().empty());
    again[0]->stop();
}

void TestVarnoke::balanceRatiosShareOneFeature() {
    startWith({{"cameras", {smallCamera("DEV_A")}}});
    auto cameras = listCameras();
    const Properties properties = cameras[0]->properties();
    auto red = find(properties, "Red"), green = find(properties, "Green"),
         blue = find(properties, "Blue");
    QVERIFY(red && green && blue);
    QCOMPARE(red->min(), QVariant(0.25));
    QCOMPARE(red->max(), QVariant(4.0));
    red->setValue(1.5);
    green->setValue(1.0);
    blue->setValue(2.5);
    QCOMPARE(red->value(), QVariant(1.5));
    QCOMPARE(blue->value(), QVariant(2.5));
    QCOMPARE(green->value(), QVariant(1.0));
    QCOMPARE(sdkEntry("DEV_A", "BalanceRatioSelector"), std::string("Green"));
}

void TestVarnoke::frameBeforeDeliveryIsEmptyAndSilent() {
    startWith({{"cameras", {smallCamera("DEV_A")}}});
    auto cameras = listCameras();
    takeLog();
    QVERIFY(cameras[0]->frame().empty());
    cameras[0]->start();
    cameras[0]->stop();
    cameras[0]->stop(); // stopping twice is harmless
    QVERIFY(takeLog().isEmpty());
}

void TestVarnoke::frameIsRgb_data() {
    QTest::addColumn<QString>("pixelFormat");
    QTest::newRow("RGB8") << "RGB8";
    QTest::newRow("BayerRG8") << "BayerRG8";
}

void TestVarnoke::frameIsRgb() {
    QFETCH(QString, pixelFormat);
    // Pure red glass: (0, 0, 255) in the file's B, G, R order.
    const QString slide = m_dir.filePath("red.png");
    QVERIFY(cv::imwrite(slide.toStdString(), cv::Mat(600, 600, CV_8UC3, cv::Scalar(0, 0, 255))));
    json camera = smallCamera("DEV_A");
    camera["pixelFormat"] = pixelFormat.toStdString();
    camera["slide"] = {{"type", "image"}, {"path", slide.toStdString()}};
    camera["stage"] = {{"x", 100}, {"y", 100}, {"areaWidth", 300}, {"areaHeight", 300}};
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    cameras[0]->start();
    cv::Mat first;
    QTRY_VERIFY_WITH_TIMEOUT(!(first = cameras[0]->frame()).empty(), 30000);
    cameras[0]->stop();
    QCOMPARE(first.type(), CV_8UC3);
    QCOMPARE(first.size(), cv::Size(160, 120));
    const cv::Scalar mean = cv::mean(first);
    QVERIFY2(mean[0] > 150 && mean[1] < 40 && mean[2] < 40,
             qPrintable(QString("mean %1 %2 %3").arg(mean[0]).arg(mean[1]).arg(mean[2])));
    // Without a newer delivery the same picture comes again.
    cv::Mat second = cameras[0]->frame();
    QCOMPARE(cv::norm(first, second, cv::NORM_INF), 0.0);
}

void TestVarnoke::failedImageIsLoggedAndEmpty() {
    json camera = smallCamera("DEV_A");
    camera["faults"] = {{"getImageFailEvery", 1}};
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    cameras[0]->start();
    QTRY_VERIFY_WITH_TIMEOUT(cameras[0]->frame().empty() &&
                                 !takeLog().filter("Failed to acquire image:").isEmpty(),
                             10000);
    cameras[0]->stop();
    takeLog();
    QVERIFY(cameras[0]->frame().empty());
    QCOMPARE(takeLog(), QStringList{"Failed to acquire image: Vimba Exception: code=-19, "
                                    "message=frame->GetImage(buffer) failed"});
}

void TestVarnoke::failedCloseStaysInside() {
    json camera = smallCamera("DEV_A");
    camera["faults"] = {{"closeError", -13}};
    startWith({{"cameras", {camera}}});
    listCameras();
    takeLog();
    m_cameras.clear(); // the destructor closes the camera and must not throw
    QCOMPARE(takeLog(), QStringList{"Vimba Exception: code=-13, message=m_camera->Close() failed"});
}

void TestVarnoke::stageMovesPictureByGroundTruth_data() {
    QTest::addColumn<QString>("stage");
    QTest::newRow("trajectory") << "trajectory";
    QTest::newRow("tour") << "tour";
}

void TestVarnoke::stageMovesPictureByGroundTruth() {
    QFETCH(QString, stage);
    const QString truthPath = m_dir.filePath("truth-" + stage + ".csv");
    json camera = smallCamera("DEV_A");
    camera["width"] = 320;
    camera["height"] = 240;
    camera["clock"] = "frame";
    camera["groundTruth"] = truthPath.toStdString();
    camera["optics"] = {{"noise", 1.0}, {"vignetting", 0.2}, {"defocus", 0.8}};
    if (stage == "trajectory") {
        const QString trajectory = m_dir.filePath("path.csv");
        QFile file(trajectory);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("time,x,y,defocus\n0,5000,4000,0\n20,8170,5230,0.5\n");
        file.close();
        camera["stage"] = {{"type", "trajectory"}, {"path", trajectory.toStdString()}};
    } else {
        // Fixed vignetting pulls registration towards no shift where the slide is bare glass,
        // so the tour starts over tissue.
        camera["stage"] = {{"speed", 150},     {"pauses", false}, {"wobble", 1.0},
                           {"areaWidth", 800}, {"x", 5000},       {"y", 4000}};
    }
    startWith({{"cameras", {camera}}});
    auto cameras = listCameras();
    auto cam = cameras[0];

    auto capture = [&](int frames, cv::Mat &image, Truth &truth) {
        const int before = truthFrames(truthPath);
        cam->start();
        QTRY_VERIFY_WITH_TIMEOUT(truthFrames(truthPath) >= before + frames, 30000);
        cam->stop();
        // After stop the newest delivered frame is the last one written to the truth.
        image = cam->frame();
        truth = lastTruth(truthPath);
    };
    cv::Mat a, b;
    Truth ta, tb;
    capture(60, a, ta);
    capture(12, b, tb);
    QVERIFY(!a.empty() && !b.empty());
    QVERIFY(tb.frame > ta.frame);
    const double dx = tb.x - ta.x, dy = tb.y - ta.y;
    QVERIFY2(std::hypot(dx, dy) > 2.0 && std::hypot(dx, dy) < 100.0,
             qPrintable(QString("moved %1 %2").arg(dx).arg(dy)));

    cv::Mat grayA, grayB;
    cv::cvtColor(a, grayA, cv::COLOR_RGB2GRAY);
    cv::cvtColor(b, grayB, cv::COLOR_RGB2GRAY);
    grayA.convertTo(grayA, CV_32F);
    grayB.convertTo(grayB, CV_32F);
    cv::Mat window;
    cv::createHanningWindow(window, grayA.size(), CV_32F);
    const cv::Point2d shift = cv::phaseCorrelate(grayA, grayB, window);
    // The slide moving right under the camera moves the picture left.
    QVERIFY2(
        std::abs(shift.x + dx) < 0.35 && std::abs(shift.y + dy) < 0.35,
        qPrintable(
            QString("registered %1 %2, truth %3 %4").arg(shift.x).arg(shift.y).arg(-dx).arg(-dy)));
}

QTEST_GUILESS_MAIN(TestVarnoke)
#include "tst_varnoke.moc"
