#include "mosaic/smallbuilderthread.h"

#include "camera/camerathread.h"
#include "mosaic/bigbuilder.h"
#include "mosaic/bigbuilderthread.h"
#include "shell/settings.h"
#include "slidetexture.h"

#include <QCoreApplication>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <atomic>

// The facade on its own: commands reach the builder in its thread and what it publishes comes
// back as properties.
class TestSmallBuilderThread : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void initialState();
    void flagWritesAlwaysNotify_data();
    void flagWritesAlwaysNotify();
    void viewSizeUpdateRepublishesWhileStopped();
    void resetClearsCameraImage();
    void builderUpdatedStoresValues();
    void framesFlowFromTheCameraFacade();
};

void TestSmallBuilderThread::initTestCase() {
    qRegisterMetaType<cv::Mat>("cv::Mat");
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName("TavronaLiveMosaicTest");
    QSettings().clear();
}

void TestSmallBuilderThread::initialState() {
    SmallBuilderThread facade(nullptr, nullptr, nullptr);
    QCOMPARE(facade.property("outOfSync").toBool(), false);
    QCOMPARE(facade.property("estimationQuality").toDouble(), 0.5);
    QCOMPARE(facade.property("hasCameraImage").toBool(), false);
    QVERIFY(facade.property("image").value<cv::Mat>().empty());
    QVERIFY(facade.property("minimap").value<cv::Mat>().empty());
    QVERIFY(facade.property("cameraImage").value<cv::Mat>().empty());
    QCOMPARE(facade.property("positionOnMinimap").toRectF(), QRectF(0, 0, 0, 0));
    QCOMPARE(facade.property("running").toBool(), false);
    QCOMPARE(facade.property("eraserMode").toBool(), false);
}

void TestSmallBuilderThread::flagWritesAlwaysNotify_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("running") << QByteArray("running");
    QTest::newRow("eraserMode") << QByteArray("eraserMode");
}

void TestSmallBuilderThread::flagWritesAlwaysNotify() {
    QFETCH(QByteArray, name);
    SmallBuilderThread facade(nullptr, nullptr, nullptr);
    QSignalSpy running(&facade, &SmallBuilderThread::runningChanged);
    QSignalSpy eraser(&facade, &SmallBuilderThread::eraserChanged);
    QSignalSpy &spy = name == "running" ? running : eraser;
    QVERIFY(facade.setProperty(name, false)); // unchanged, still announced
    QCOMPARE(spy.size(), 1);
    QVERIFY(facade.setProperty(name, true));
    QVERIFY(facade.setProperty(name, true));
    QCOMPARE(spy.size(), 3);
    QCOMPARE(facade.property(name).toBool(), true);
    QCOMPARE(running.size() + eraser.size(), 3);
}

void TestSmallBuilderThread::viewSizeUpdateRepublishesWhileStopped() {
    SmallBuilderThread facade(nullptr, nullptr, nullptr);
    QSignalSpy changed(&facade, &SmallBuilderThread::propertiesChanged);
    emit facade.viewResolutionUpdate(QSizeF(400, 300));
    emit facade.viewSizeUpdate(QSizeF(400, 300));
    QVERIFY(changed.wait(5000));
    QCOMPARE(changed.size(), 1);
    // Nothing rendered yet (no frame), but the state was published: quality 0, not 0.5.
    QCOMPARE(facade.estimationQuality(), 0.);
    QCOMPARE(facade.hasCameraImage(), false);
    QCOMPARE(facade.image().size(), cv::Size(400, 300));

    // Invalid sizes are ignored by the builder: nothing comes back.
    emit facade.viewSizeUpdate(QSizeF(0, 300));
    QVERIFY(!changed.wait(300));
}

void TestSmallBuilderThread::resetClearsCameraImage() {
    SmallBuilderThread facade(nullptr, nullptr, nullptr);
    QSignalSpy changed(&facade, &SmallBuilderThread::propertiesChanged);
    facade.builderUpdated(cv::Mat(), cv::Mat(), cv::Mat(10, 10, CV_8UC3), 0.7, true,
                          QRectF(1, 2, 3, 4));
    QCOMPARE(facade.hasCameraImage(), true);
    emit facade.reset();
    QVERIFY(changed.wait(5000));
    QCOMPARE(facade.hasCameraImage(), false);
    QCOMPARE(facade.outOfSync(), false);
    QCOMPARE(facade.estimationQuality(), 0.);
}

void TestSmallBuilderThread::builderUpdatedStoresValues() {
    SmallBuilderThread facade(nullptr, nullptr, nullptr);
    QSignalSpy changed(&facade, &SmallBuilderThread::propertiesChanged);
    const cv::Mat view(30, 40, CV_8UC3), map(5, 6, CV_8UC3), camera(70, 80, CV_8UC3);
    facade.builderUpdated(view, map, camera, 0.25, true, QRectF(1, 2, 3, 4));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(facade.image().data, view.data); // shallow copies
    QCOMPARE(facade.minimap().data, map.data);
    QCOMPARE(facade.cameraImage().data, camera.data);
    QCOMPARE(facade.estimationQuality(), 0.25);
    QCOMPARE(facade.outOfSync(), true);
    QCOMPARE(facade.positionOnMinimap(), QRectF(1, 2, 3, 4));
}

void TestSmallBuilderThread::framesFlowFromTheCameraFacade() {
    Settings settings(nullptr, QStringList{});
    CameraThread camera(&settings, QStringList{}); // no plug-ins: frames come from the test
    BigBuilderThread big;
    big.start("live-mosaic-test");
    QTRY_VERIFY(big.currentBuilder());
    BigBuilder *store = big.currentBuilder();
    // The store belongs to the full-resolution thread: ask it there.
    const auto storedCells = [store] {
        QList<Point> cells;
        QMetaObject::invokeMethod(
            store,
            [&] {
                for (const auto &cell : store->cells())
                    cells.append(cell.first);
            },
            Qt::BlockingQueuedConnection);
        return cells;
    };
    std::atomic<bool> gateOpen = false;
    std::atomic<int> gateAsked = 0;
    SmallBuilderThread facade(
        &camera,
        [&] {
            ++gateAsked;
            return gateOpen.load();
        },
        &big);
    QSignalSpy changed(&facade, &SmallBuilderThread::propertiesChanged);

    const cv::Mat texture = slidetexture::make({900, 700});
    int frameNumber = 0;
    const auto publishFrame = [&]() -> cv::Mat {
        FrameInfo frame;
        frame.smallImage = slidetexture::cut(texture, {10. + 20 * frameNumber, 10.}, {640, 480});
        frame.image = cv::Mat(960, 1280, CV_8UC3, cv::Scalar::all(frameNumber));
        frame.sharpness = 2.;
        frame.sequence = quint64(++frameNumber);
        const bool invoked = QMetaObject::invokeMethod(
            &camera, "managerUpdated", Qt::DirectConnection, Q_ARG(FrameInfo, frame));
        return invoked ? frame.image : cv::Mat();
    };

    // Not running: frames are ignored, the gate is not even asked.
    gateOpen = true;
    QVERIFY(!publishFrame().empty());
    QVERIFY(!changed.wait(300));
    QCOMPARE(gateAsked.load(), 0);

    // Running, but the gate is closed: still ignored.
    gateOpen = false;
    facade.setRunning(true);
    publishFrame();
    QTRY_VERIFY(gateAsked.load() > 0);
    QVERIFY(!changed.wait(300));

    gateOpen = true;
    const cv::Mat image = publishFrame();
    QVERIFY(changed.wait(5000));
    QCOMPARE(facade.cameraImage().data, image.data);
    QVERIFY(facade.hasCameraImage());
    QCOMPARE(facade.estimationQuality(), 1.);
    QVERIFY(!facade.image().empty());
    QVERIFY(!facade.minimap().empty());

    const cv::Mat next = publishFrame();
    QTRY_COMPARE(facade.cameraImage().data, next.data);
    QVERIFY(!facade.outOfSync());

    // The cells reach the full-resolution builder, and so does an erase.
    QTRY_VERIFY(storedCells().contains(Point(1, 1)));
    facade.setRunning(false);
    facade.setEraserMode(true);
    // View 800 x 600 around the 640 x 480 frame, which has moved by about 20 px.
    emit facade.mouseClick(80 + 96 + 48 - 20, 60 + 96 + 48);
    QTRY_VERIFY(!storedCells().contains(Point(1, 1)));
    facade.setEraserMode(false);

    // After a reset the next publication drops the camera image, and the part that ended is
    // counted: the two frames taken, none skipped (the builder was not taking the first two).
    QSignalSpy parts(&facade, &SmallBuilderThread::partCounted);
    facade.setRunning(false);
    emit facade.reset();
    QTRY_VERIFY(!facade.hasCameraImage());
    QCOMPARE(facade.estimationQuality(), 0.);
    QTRY_COMPARE(parts.size(), 1);
    const LiveCounters counters = facade.lastPartCounters();
    QCOMPARE(counters.registered, 2);
    QCOMPARE(counters.delivered, 2);
    QCOMPARE(counters.skipped, 0);
    QCOMPARE(parts.first().at(0).value<LiveCounters>().registered, 2);
}

QTEST_GUILESS_MAIN(TestSmallBuilderThread)
#include "tst_smallbuilderthread.moc"
