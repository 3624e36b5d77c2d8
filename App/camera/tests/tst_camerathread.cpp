// The camera facade with its worker in the camera thread, cameras coming from the test plug-ins.
#include "camera/camerathread.h"
#include "logcapture.h"
#include "shell/settings.h"
#include "testcamera.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

using testcamera::FakeBackend;
using testcamera::FakeCamera;
using testcamera::Journal;
using Entries = std::vector<std::string>;

namespace {
const QStringList testPlugins{"MirevaTestAlpha", "MirevaTestBeta"};

FakeCamera::Spec camera(const std::string &id, cv::Size size) {
    FakeCamera::Spec spec;
    spec.id = id;
    spec.name = "Camera " + id;
    spec.size = size;
    FakeBackend::Spec exposureAuto;
    exposureAuto.type = common::Enumeration;
    exposureAuto.value = QStringLiteral("Continuous");
    exposureAuto.describe = true;
    exposureAuto.scanningValue = QStringLiteral("Off");
    FakeBackend::Spec gain;
    gain.type = common::Real;
    gain.value = 2.;
    spec.properties = {{"Exposure auto", exposureAuto}, {"Gain", gain}};
    return spec;
}

void configure(std::vector<FakeCamera::Spec> alpha, std::vector<FakeCamera::Spec> beta = {}) {
    testcamera::PluginConfig config;
    config.cameras = std::move(alpha);
    testcamera::setPluginConfig("Alpha", config);
    config.cameras = std::move(beta);
    testcamera::setPluginConfig("Beta", config);
}

QSharedPointer<FakeBackend> backendOf(const std::string &plugin, std::size_t index) {
    const auto made = testcamera::madeCameras(plugin);
    if (made.empty())
        return {};
    const auto camera = made.front().toStrongRef();
    if (!camera)
        return {};
    const auto backends = camera->backends();
    return index < backends.size() ? backends[index] : QSharedPointer<FakeBackend>();
}

QList<QVariant> writesOf(const std::string &plugin, std::size_t index) {
    const auto backend = backendOf(plugin, index);
    return backend ? backend->writes() : QList<QVariant>{};
}

QString profilePath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .filePath("vignetting_profile.xml");
}
} // namespace

class TestCameraThread : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName("Tavrona");
    }

    void init() {
        Journal::clear();
        testcamera::resetPluginConfigs();
        QSettings().clear();
        QFile::remove(profilePath());
        settings = std::make_unique<Settings>(nullptr, QStringList{});
    }

    void cleanup() {
        facade.reset();
        settings.reset();
        QFile::remove(profilePath());
    }

    void startupListsAndOpensTheStoredCamera() {
        configure({camera("a1", {2464, 2056})}, {camera("b1", {640, 480})});
        settings->setCameraId("a1");
        LogCapture log;
        facade = std::make_unique<CameraThread>(settings.get(), testPlugins);
        QVERIFY(facade->availableCamerasLoading());
        QVERIFY(qIsNaN(facade->imageScaleX()));
        QVERIFY(qIsNaN(facade->imageScaleY()));
        QCOMPARE(facade->sharpness(), 0.);

        QSignalSpy loading(facade.get(), &CameraThread::availableCamerasLoadingChanged);
        QTRY_VERIFY(!facade->availableCamerasLoading());
        QCOMPARE(facade->availableCameras(),
                 (QList<CameraInfo>{{"a1", "Camera a1"}, {"b1", "Camera b1"}}));
        QTRY_COMPARE(facade->properties().size(), 2);
        QCOMPARE(facade->properties().at(0)->parent(), facade.get());
        QVERIFY(log.lines().contains("Property: \"Gain\" value: QVariant(double, 2)"));

        // Every frame comes as a new FrameInfo object.
        QList<QSharedPointer<FrameInfo>> seen;
        connect(facade.get(), &CameraThread::newFrame, this,
                [&] { seen.append(facade->latestFrame()); });
        QTRY_VERIFY(seen.size() >= 2);
        QVERIFY(seen.at(0) != seen.at(1));
        QVERIFY(seen.at(0)->image.data != seen.at(1)->image.data);
        QCOMPARE(seen.at(1)->image.cols, 2464);
        QCOMPARE(seen.at(1)->smallImage.cols, 768);
        QCOMPARE(facade->imageScaleX(), 2464. / 768.);
        QCOMPARE(facade->imageScaleY(), 2056. / 640.);
        QCOMPARE(facade->image().size(), cv::Size(2464, 2056));
        QCOMPARE(facade->smallImage().size(), cv::Size(768, 640));
    }

    void settingTheCameraIdReopens() {
        configure({camera("a1", {64, 48})}, {camera("b1", {32, 24})});
        settings->setCameraId("a1");
        facade = std::make_unique<CameraThread>(settings.get(), testPlugins);
        QTRY_COMPARE(facade->properties().size(), 2);
        QPointer<CameraPropertyFrontend> old = facade->properties().at(0);

        QSignalSpy propertiesChanged(facade.get(), &CameraThread::propertiesChanged);
        settings->setCameraId("b1");
        QTRY_COMPARE(propertiesChanged.count(), 1);
        QVERIFY(old.isNull());
        QCOMPARE(facade->properties().size(), 2);
        QTRY_VERIFY(facade->smallImage().cols == 32);

        settings->setCameraId("unknown");
        QTRY_COMPARE(propertiesChanged.count(), 2);
        QVERIFY(facade->properties().isEmpty());
        const Entries entries = Journal::entries();
        QVERIFY(std::find(entries.begin(), entries.end(), "Beta/b1 stop") != entries.end());
    }

    void refreshReportsLoadingAndReopens() {
        configure({camera("a1", {64, 48})});
        settings->setCameraId("a1");
        facade = std::make_unique<CameraThread>(settings.get(), testPlugins);
        QTRY_COMPARE(facade->properties().size(), 2);
        Journal::clear();
        QSignalSpy loading(facade.get(), &CameraThread::availableCamerasLoadingChanged);
        facade->requestAvailableCameras();
        QVERIFY(facade->availableCamerasLoading());
        QTRY_VERIFY(!facade->availableCamerasLoading());
        QCOMPARE(loading.count(), 2);
        QTRY_VERIFY(Journal::entries().size() >= 5);
        const Entries entries = Journal::entries();
        QCOMPARE(Entries(entries.begin(), entries.begin() + 5),
                 (Entries{"Alpha/a1 stop", "Alpha/a1 destroyed", "Alpha cameras", "Beta cameras",
                          "Alpha/a1 start"}));
    }

    void userEditsAndScanningReachTheCamera() {
        configure({camera("a1", {64, 48})});
        settings->setCameraId("a1");
        facade = std::make_unique<CameraThread>(settings.get(), testPlugins);
        QTRY_COMPARE(facade->properties().size(), 2);

        facade->properties().at(1)->setValue(7.5);
        QTRY_COMPARE(writesOf("Alpha", 1), QList<QVariant>{QVariant(7.5)});

        facade->beginScanning();
        QTRY_COMPARE(writesOf("Alpha", 0), QList<QVariant>{QStringLiteral("Off")});
        // The poll brings the forced value to the panel.
        QTRY_COMPARE(facade->properties().at(0)->value(), QVariant(QStringLiteral("Off")));
        facade->endScanning();
        QTRY_COMPARE(backendOf("Alpha", 0)->value(), QVariant(QStringLiteral("Continuous")));
    }

    void vignettingGenerationNeedsACameraAndEnablesCorrection() {
        configure({camera("a1", {16, 12})});
        facade = std::make_unique<CameraThread>(settings.get(), testPlugins);
        QTRY_VERIFY(!facade->availableCamerasLoading());
        QSignalSpy generation(facade.get(), &CameraThread::vignettingProfileGenerationChanged);
        facade->setVignettingProfileGeneration(true);
        QVERIFY(!facade->vignettingProfileGeneration());
        QCOMPARE(generation.count(), 0);

        QSignalSpy available(facade.get(), &CameraThread::vignettingCorrectionAvailableChanged);
        QSignalSpy progress(facade.get(), &CameraThread::vignettingProfileProgressChanged);
        settings->setCameraId("a1");
        QTRY_COMPARE(facade->properties().size(), 2);
        QVERIFY(!facade->vignettingCorrectionAvailable());
        facade->setVignettingProfileGeneration(true);
        QVERIFY(facade->vignettingProfileGeneration());
        QCOMPARE(generation.count(), 1);
        QTRY_COMPARE(available.count(), 1);
        QVERIFY(facade->vignettingCorrectionAvailable());
        QVERIFY(!facade->vignettingProfileGeneration());
        QVERIFY(settings->vignettingCorrection());
        QVERIFY(progress.count() >= 1);
        QVERIFY(QFile::exists(profilePath()));
    }

    void latestFrameIsSafeFromAnotherThread() {
        configure({camera("a1", {320, 240})});
        settings->setCameraId("a1");
        facade = std::make_unique<CameraThread>(settings.get(), testPlugins);
        std::atomic_bool done{false};
        std::atomic_int frames{0};
        std::atomic_bool consistent{true};
        std::thread reader([&] {
            const FrameInfo *previous = nullptr;
            while (!done.load()) {
                const auto frame = facade->latestFrame();
                if (frame && frame.data() != previous) {
                    previous = frame.data();
                    if (!frame->image.empty()) {
                        frames.fetch_add(1);
                        if (frame->image.size() != cv::Size(320, 240) ||
                            frame->smallImage.size() != cv::Size(320, 240))
                            consistent.store(false);
                    }
                }
                std::this_thread::yield();
            }
        });
        QTRY_VERIFY(frames.load() >= 5);
        done.store(true);
        reader.join();
        QVERIFY(consistent.load());
    }

    void stopShutsThePluginsDownInTheCameraThread() {
        configure({camera("a1", {64, 48})});
        settings->setCameraId("a1");
        facade = std::make_unique<CameraThread>(settings.get(), testPlugins);
        QTRY_COMPARE(facade->properties().size(), 2);
        Journal::clear();
        facade->stop();
        QVERIFY(facade->latestFrame().isNull());
        QCOMPARE(Journal::entries(),
                 (Entries{"Alpha/a1 destroyed", "Alpha shutdown", "Beta shutdown"}));
    }

private:
    std::unique_ptr<Settings> settings;
    std::unique_ptr<CameraThread> facade;
};

QTEST_GUILESS_MAIN(TestCameraThread)
#include "tst_camerathread.moc"
