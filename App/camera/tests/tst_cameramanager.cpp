#include "camera/cameramanager.h"
#include "logcapture.h"
#include "shell/simd.h"
#include "testcamera.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <exception>
#include <memory>

using testcamera::FakeBackend;
using testcamera::FakeCamera;
using testcamera::Journal;

namespace {
// Stands in for the application object's event-level guard: an exception that escapes a slot
// is logged and the event loop carries on.
class GuardedApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject *receiver, QEvent *event) override {
        try {
            return QCoreApplication::notify(receiver, event);
        } catch (const std::exception &e) {
            qWarning() << "Runtime exception: " << e.what();
            return true;
        }
    }
};

FakeCamera::Spec cameraSpec(const std::string &id, cv::Size size) {
    FakeCamera::Spec spec;
    spec.plugin = "Fake";
    spec.id = id;
    spec.name = "Fake " + id;
    spec.size = size;
    return spec;
}

QSharedPointer<FakeCamera> makeCamera(const FakeCamera::Spec &spec) {
    return QSharedPointer<FakeCamera>::create(spec);
}

FakeBackend::Spec autoExposure() {
    FakeBackend::Spec spec;
    spec.type = common::Enumeration;
    spec.value = QStringLiteral("Continuous");
    spec.describe = true;
    spec.scanningValue = QStringLiteral("Off");
    return spec;
}

FakeBackend::Spec gain() {
    FakeBackend::Spec spec;
    spec.type = common::Real;
    spec.value = 1.5;
    return spec;
}

QString profilePath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .filePath("vignetting_profile.xml");
}

cv::Mat uniform(cv::Size size, int level) {
    return cv::Mat(size, CV_8UC3, cv::Scalar::all(level));
}

// Adopts the front-ends a manager announces, as the facade does.
struct FrontendOwner : QObject {
    explicit FrontendOwner(CameraManager *manager) {
        connect(manager, &CameraManager::cameraChanged, this,
                [this](QSharedPointer<common::AbstractCamera> camera,
                       QList<CameraPropertyFrontend *> list) {
                    for (auto *frontend : list)
                        frontend->setParent(this);
                    last = list;
                    lastCamera = camera.data();
                });
    }
    QList<CameraPropertyFrontend *> last;
    common::AbstractCamera *lastCamera = nullptr;
};
} // namespace

class TestCameraManager : public QObject {
    Q_OBJECT
private slots:
    void init() {
        Journal::clear();
        QFile::remove(profilePath());
    }
    void cleanup() { QFile::remove(profilePath()); }

    void previewFitsTheBox_data() {
        QTest::addColumn<QSize>("camera");
        QTest::addColumn<QSize>("preview");
        QTest::newRow("2464x2056") << QSize(2464, 2056) << QSize(768, 640);
        QTest::newRow("640x480 is not enlarged") << QSize(640, 480) << QSize(640, 480);
        QTest::newRow("500x1000 portrait") << QSize(500, 1000) << QSize(384, 768);
        // 1070 * (768 / 1070) is just under 768 in double precision and is truncated.
        QTest::newRow("1070x800") << QSize(1070, 800) << QSize(767, 574);
        QTest::newRow("0x0 publishes nothing") << QSize(0, 0) << QSize(0, 0);
    }
    void previewFitsTheBox() {
        QFETCH(QSize, camera);
        QFETCH(QSize, preview);
        const cv::Size cameraSize(camera.width(), camera.height());
        QCOMPARE(CameraManager::previewSize(cameraSize),
                 cv::Size(preview.width(), preview.height()));

        // The frame step sizes the preview from the reported size, not from the frame.
        FakeCamera::Spec spec = cameraSpec("p", cameraSize);
        spec.frameSize = camera.isEmpty() ? cv::Size(64, 48) : cameraSize;
        auto fake = makeCamera(spec);
        CameraManager manager(QStringList{});
        FrontendOwner owner(&manager);
        manager.setCamera(fake);
        QSignalSpy updated(&manager, &CameraManager::updated);
        manager.update();
        if (preview.isEmpty()) {
            QCOMPARE(updated.count(), 0);
            return;
        }
        QCOMPARE(updated.count(), 1);
        const auto info = updated.at(0).at(0).value<FrameInfo>();
        QCOMPARE(info.image.size(), cameraSize);
        QCOMPARE(info.smallImage.size(), cv::Size(preview.width(), preview.height()));
        QCOMPARE(info.smallImage.type(), CV_8UC3);
        QCOMPARE(info.sharpness, 0.);
    }

    void sharpnessIsTenStandardDeviationsOfTheLaplacian() {
        QCOMPARE(CameraManager::sharpness(uniform({40, 30}, 123)), 0.);

        // One white pixel: Laplacian -1020 once and 255 four times over 25 pixels.
        cv::Mat dot = uniform({5, 5}, 0);
        dot.at<cv::Vec3b>(2, 2) = cv::Vec3b(255, 255, 255);
        QVERIFY(qAbs(CameraManager::sharpness(dot) - 10. * std::sqrt(1300500. / 25.)) < 1e-3);

        // The first channel is weighted as blue: 0.114 * 255 rounds to grey 29.
        cv::Mat firstChannel = uniform({5, 5}, 0);
        firstChannel.at<cv::Vec3b>(2, 2) = cv::Vec3b(255, 0, 0);
        cv::Mat grey29 = uniform({5, 5}, 0);
        grey29.at<cv::Vec3b>(2, 2) = cv::Vec3b(29, 29, 29);
        QCOMPARE(CameraManager::sharpness(firstChannel), CameraManager::sharpness(grey29));
    }

    // Against the measure written out with OpenCV, on noise (every pixel's Laplacian differs),
    // at sizes whose rows end between vector steps and images of one row or column, on every
    // path the processor has.
    void sharpnessMatchesTheOpenCvRecipe_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<simd::Level>("level");
        for (const simd::Level level : {simd::Level::Portable, simd::Level::Vector128}) {
            if (level > simd::active())
                continue;
            for (const QSize size : {QSize(768, 640), QSize(77, 13), QSize(1, 9), QSize(9, 1),
                                     QSize(2, 2), QSize(10000, 3)})
                QTest::addRow("%dx%d, %s", size.width(), size.height(), simd::name(level))
                    << size << level;
        }
    }
    void sharpnessMatchesTheOpenCvRecipe() {
        QFETCH(QSize, size);
        QFETCH(simd::Level, level);
        const simd::ScopedLimit limit(level);
        cv::Mat image(size.height(), size.width(), CV_8UC3);
        cv::RNG rng(size.width() + 7 * size.height());
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        cv::Mat grey, laplacian;
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
        cv::Laplacian(grey, laplacian, CV_32F, 1, 1., 0., cv::BORDER_DEFAULT);
        cv::Scalar mean, stdDev;
        cv::meanStdDev(laplacian, mean, stdDev);
        const double expected = 10. * stdDev[0];
        const double actual = CameraManager::sharpness(image);
        QVERIFY2(qAbs(actual - expected) <= 1e-9 * expected,
                 qPrintable(QString::asprintf("%.17g != %.17g", actual, expected)));
    }

    void openingACameraAnnouncesItsFeatures() {
        FakeCamera::Spec spec = cameraSpec("a", {64, 48});
        spec.properties = {{"Exposure auto", autoExposure()}, {"Gain", gain()}};
        auto fake = makeCamera(spec);
        CameraManager manager(QStringList{});
        FrontendOwner owner(&manager);
        QSignalSpy changed(&manager, &CameraManager::cameraChanged);
        LogCapture log;
        manager.setCamera(fake);
        QVERIFY(manager.hasCamera());
        QCOMPARE(changed.count(), 1);
        QCOMPARE(owner.lastCamera, fake.data());
        QCOMPARE(owner.last.size(), 2);
        QCOMPARE(owner.last.at(0)->name(), QStringLiteral("Exposure auto"));
        QCOMPARE(owner.last.at(1)->name(), QStringLiteral("Gain"));
        QCOMPARE(owner.last.at(1)->value(), QVariant(1.5));
        QCOMPARE(owner.last.at(0)->thread(), QCoreApplication::instance()->thread());
        QCOMPARE(log.linesStartingWith("Set camera").size(), 2);
        QCOMPARE(Journal::entries(), std::vector<std::string>{"Fake/a start"});

        // The same camera again: nothing happens at all.
        log.clear();
        manager.setCamera(fake);
        QCOMPARE(changed.count(), 1);
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(Journal::entries().size(), std::size_t(1));
    }

    void noCameraTwiceDoesNothing() {
        CameraManager manager(QStringList{});
        QSignalSpy changed(&manager, &CameraManager::cameraChanged);
        LogCapture log;
        manager.setCamera({});
        QCOMPARE(changed.count(), 0);
        QVERIFY(log.lines().isEmpty());
        QVERIFY(!manager.hasCamera());
    }

    void failedStartLeavesNoCamera() {
        FakeCamera::Spec spec = cameraSpec("busy", {64, 48});
        spec.startThrows = true;
        spec.properties = {{"Gain", gain()}};
        auto fake = makeCamera(spec);
        CameraManager manager(QStringList{});
        FrontendOwner owner(&manager);
        QSignalSpy changed(&manager, &CameraManager::cameraChanged);
        LogCapture log;
        manager.setCamera(fake);
        QVERIFY(!manager.hasCamera());
        QCOMPARE(changed.count(), 1);
        QVERIFY(owner.lastCamera == nullptr);
        QVERIFY(owner.last.isEmpty());
        QCOMPARE(log.lines(), (QStringList{"Set camera start", "Set camera stop"}));
        // No frame is asked of a camera that is not open.
        manager.update();
        QCOMPARE(fake->frameCalls(), 0);
    }

    void switchingStopsTheOldCameraAndDropsItsFeatures() {
        FakeCamera::Spec first = cameraSpec("a", {64, 48});
        first.properties = {{"Gain", gain()}};
        auto a = makeCamera(first);
        auto b = makeCamera(cameraSpec("b", {32, 24}));
        CameraManager manager(QStringList{});
        FrontendOwner owner(&manager);
        manager.setCamera(a);
        QWeakPointer<FakeBackend> gainBackend = a->backends().at(0);
        QVERIFY(!gainBackend.isNull());
        manager.setCamera(b);
        QCOMPARE(Journal::entries(),
                 (std::vector<std::string>{"Fake/a start", "Fake/a stop", "Fake/b start"}));
        QVERIFY(gainBackend.isNull());
        QVERIFY(owner.last.isEmpty());
        QCOMPARE(owner.lastCamera, b.data());
    }

    void announcedCameraHandleDoesNotKeepTheCamera() {
        CameraManager manager(QStringList{});
        QSignalSpy changed(&manager, &CameraManager::cameraChanged);
        {
            auto fake = makeCamera(cameraSpec("a", {64, 48}));
            manager.setCamera(fake);
        }
        // The queued copy held by a receiver must never be the camera's last reference.
        manager.setCamera({});
        QCOMPARE(Journal::entries(),
                 (std::vector<std::string>{"Fake/a start", "Fake/a stop", "Fake/a destroyed"}));
        QCOMPARE(changed.count(), 2);
    }

    void exceptionInFrameStepEndsTheLoop() {
        FakeCamera::Spec spec = cameraSpec("a", {64, 48});
        spec.sizeThrowsFromCall = 3;
        auto fake = makeCamera(spec);
        CameraManager manager(QStringList{});
        manager.setCamera(fake);
        QSignalSpy updated(&manager, &CameraManager::updated);
        LogCapture log;
        QTimer::singleShot(0, &manager, &CameraManager::update);
        QTRY_COMPARE(log.linesStartingWith("Runtime exception:").size(), 1);
        QCOMPARE(log.linesStartingWith("Runtime exception:").at(0),
                 QStringLiteral("Runtime exception:  camera size unavailable"));
        QCOMPARE(updated.count(), 2);
        const int frames = fake->frameCalls();
        QCOMPARE(frames, 3);
        // No step is scheduled after the failed one.
        QTest::qWait(200);
        QCOMPARE(fake->frameCalls(), frames);
    }

    void loopRunsOnWithoutFrames() {
        // No camera, then a camera that delivers nothing: steps do nothing and go on.
        CameraManager manager(QStringList{});
        QTimer::singleShot(0, &manager, &CameraManager::update);
        QTest::qWait(100);
        auto fake = makeCamera(cameraSpec("empty", {0, 0}));
        manager.setCamera(fake);
        QTRY_VERIFY(fake->frameCalls() >= 3);
    }

    void pollAndScanningReachEveryFeature() {
        FakeCamera::Spec spec = cameraSpec("a", {64, 48});
        spec.properties = {{"Exposure auto", autoExposure()}, {"Gain", gain()}};
        auto fake = makeCamera(spec);
        CameraManager manager(QStringList{});
        FrontendOwner owner(&manager);
        manager.setCamera(fake);
        const auto backends = fake->backends();
        QCOMPARE(backends.size(), std::size_t(2));

        backends[1]->setCurrentValue(4.0);
        backends[1]->setActive(false);
        QSignalSpy valueChanged(owner.last.at(1), &CameraPropertyFrontend::valueChanged);
        manager.updateProperties();
        QCOMPARE(owner.last.at(1)->value(), QVariant(4.0));
        QVERIFY(!owner.last.at(1)->active());
        QCOMPARE(valueChanged.count(), 1);
        QVERIFY(owner.last.at(0)->active());

        manager.beginScanning();
        QCOMPARE(backends[0]->value(), QVariant(QStringLiteral("Off")));
        manager.endScanning();
        QCOMPARE(backends[0]->value(), QVariant(QStringLiteral("Continuous")));
        QCOMPARE(backends[0]->writes(),
                 (QList<QVariant>{QStringLiteral("Off"), QStringLiteral("Continuous")}));
    }

    void correctionFollowsFlagAndSize_data() {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QSize>("camera");
        QTest::addColumn<int>("expected");
        // The stored profile is 16x12 with 20 everywhere; it loads at half strength.
        QTest::newRow("enabled, same size") << true << QSize(16, 12) << 90;
        QTest::newRow("enabled, other size") << true << QSize(8, 6) << 100;
        QTest::newRow("disabled") << false << QSize(16, 12) << 100;
    }
    void correctionFollowsFlagAndSize() {
        QFETCH(bool, enabled);
        QFETCH(QSize, camera);
        {
            cv::FileStorage storage(profilePath().toStdString(),
                                    cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
            storage << "mask" << cv::Mat(12, 16, CV_16S, cv::Scalar(20));
        }
        CameraManager manager(QStringList{});
        QTest::ignoreMessage(QtDebugMsg, enabled ? "vignetting correction:  true"
                                                 : "vignetting correction:  false");
        manager.setVignettingCorrectionEnabled(enabled);
        auto fake = makeCamera(cameraSpec("a", {camera.width(), camera.height()}));
        fake->setFrame(uniform({camera.width(), camera.height()}, 100));
        manager.setCamera(fake);
        QSignalSpy updated(&manager, &CameraManager::updated);
        manager.update();
        QCOMPARE(updated.count(), 1);
        const auto info = updated.at(0).at(0).value<FrameInfo>();
        QFETCH(int, expected);
        QCOMPARE(cv::norm(info.image, uniform(info.image.size(), expected), cv::NORM_INF), 0.);
        // With correction on, size() is read once for the check and once for the preview.
        QCOMPARE(fake->sizeCalls(), enabled ? 2 : 1);
    }

    void generationCompletesStoresAndCorrects() {
        auto fake = makeCamera(cameraSpec("a", {16, 12}));
        CameraManager manager(QStringList{});
        manager.setCamera(fake);
        QSignalSpy progress(&manager, &CameraManager::vignettingProfileProgress);
        QSignalSpy finished(&manager, &CameraManager::vignettingProfileGenerationFinished);
        QSignalSpy updated(&manager, &CameraManager::updated);
        manager.setVignettingProfileGeneration(true);
        // Frames alternate between black and white: each pair weighs 255^2 = 65025.
        manager.update();
        manager.update();
        QCOMPARE(finished.count(), 0);
        manager.update();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(progress.count(), 2);
        QCOMPARE(progress.at(0).at(0).toDouble(), 0.);
        QCOMPARE(progress.at(1).at(0).toDouble(), 0.65025);
        QVERIFY(QFile::exists(profilePath()));
        // Frames are published uncorrected while they are accumulated.
        QCOMPARE(updated.count(), 3);
        QCOMPARE(cv::norm(updated.at(1).at(0).value<FrameInfo>().image, uniform({16, 12}, 255),
                          cv::NORM_INF),
                 0.);
        // Generation is over: further frames are not accumulated.
        manager.update();
        QCOMPARE(progress.count(), 2);
        QCOMPARE(finished.count(), 1);
    }

    void generationSwitchRestartsOnlyOnChange() {
        auto fake = makeCamera(cameraSpec("a", {16, 12}));
        CameraManager manager(QStringList{});
        manager.setCamera(fake);
        QSignalSpy progress(&manager, &CameraManager::vignettingProfileProgress);
        QSignalSpy finished(&manager, &CameraManager::vignettingProfileGenerationFinished);
        manager.setVignettingProfileGeneration(true);
        manager.update();
        manager.update();
        QCOMPARE(progress.last().at(0).toDouble(), 0.65025);
        // On again: nothing restarts, so the next frame completes the profile.
        manager.setVignettingProfileGeneration(true);
        manager.update();
        QCOMPARE(finished.count(), 1);

        // Off and on again: the accumulation starts from zero.
        manager.setVignettingProfileGeneration(true);
        manager.update();
        manager.update();
        QCOMPARE(progress.last().at(0).toDouble(), 0.65025);
        manager.setVignettingProfileGeneration(false);
        manager.update();
        QCOMPARE(progress.count(), 4);
        manager.setVignettingProfileGeneration(true);
        manager.update();
        QCOMPARE(progress.last().at(0).toDouble(), 0.);
        manager.update();
        QCOMPARE(progress.last().at(0).toDouble(), 0.65025);
        QCOMPARE(finished.count(), 1);
    }

    void generationRestartsWhenFrameSizeChanges() {
        auto fake = makeCamera(cameraSpec("a", {16, 12}));
        CameraManager manager(QStringList{});
        manager.setCamera(fake);
        QSignalSpy progress(&manager, &CameraManager::vignettingProfileProgress);
        QSignalSpy finished(&manager, &CameraManager::vignettingProfileGenerationFinished);
        manager.setVignettingProfileGeneration(true);
        manager.update();
        manager.update();
        QCOMPARE(progress.last().at(0).toDouble(), 0.65025);

        fake->setSize({8, 6});
        LogCapture log;
        manager.update();
        QCOMPARE(log.linesStartingWith("Vignetting profile generation restarted").size(), 1);
        QCOMPARE(log.linesStartingWith("Vignetting profile generation restarted").at(0),
                 QStringLiteral("Vignetting profile generation restarted: frame size changed "
                                "from 16 12 to 8 6"));
        QCOMPARE(progress.last().at(0).toDouble(), 0.);
        manager.update();
        QCOMPARE(finished.count(), 0);
        manager.update();
        QCOMPARE(finished.count(), 1);

        cv::FileStorage storage(profilePath().toStdString(), cv::FileStorage::READ);
        cv::Mat stored;
        storage["mask"] >> stored;
        QCOMPARE(stored.size(), cv::Size(8, 6));
    }
};

int main(int argc, char *argv[]) {
    GuardedApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    TestCameraManager test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_cameramanager.moc"
