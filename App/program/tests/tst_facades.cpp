// The program's wiring of its four facades: what goes from one room to another goes through it.

#include "program/facades.h"

#include "mosaic/bigbuilder.h"
#include "service/scan.h"
#include "shell/settings.h"

#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

class TestFacades : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void framesReachTheLiveBuilderOnlyWhileLoggedIn();
    void aNewScanStartsItsBuilder();
    void uploadsGoToTheServiceWhichLetsTheBuilderGo();

private:
    // Publishes one camera frame as the camera worker would.
    void publishFrame();

    std::unique_ptr<Settings> settings;
    std::unique_ptr<Facades> facades;
};

void TestFacades::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("MirevaFacadesTest"));
}

void TestFacades::init() {
    settings = std::make_unique<Settings>(nullptr, QStringList{});
    // Nothing listens there: the service client never reaches a server in these tests.
    settings->setApiUrl(QUrl(QStringLiteral("http://127.0.0.1:9/")));
    settings->setApiToken(QString());
    // No camera plug-ins: the frames come from the test.
    Facades::Options options;
    options.cameraPlugins = QStringList{};
    facades = std::make_unique<Facades>(settings.get(), options);
}

void TestFacades::cleanup() {
    facades.reset();
    settings.reset();
}

void TestFacades::publishFrame() {
    FrameInfo frame;
    frame.smallImage = cv::Mat(240, 320, CV_8UC3);
    cv::randu(frame.smallImage, 0, 255);
    frame.image = cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(1));
    frame.sharpness = 2.;
    QVERIFY(QMetaObject::invokeMethod(&facades->camera, "managerUpdated", Qt::DirectConnection,
                                      Q_ARG(FrameInfo, frame)));
}

void TestFacades::framesReachTheLiveBuilderOnlyWhileLoggedIn() {
    QSignalSpy published(&facades->smallBuilder, &SmallBuilderThread::propertiesChanged);
    facades->smallBuilder.setRunning(true);
    publishFrame();
    QVERIFY(!published.wait(300));
    QVERIFY(!facades->smallBuilder.hasCameraImage());

    settings->setApiToken(QStringLiteral("token"));
    publishFrame();
    QVERIFY(published.wait(5000));
    QVERIFY(facades->smallBuilder.hasCameraImage());

    // Logged out again: the next frame is not taken.
    settings->setApiToken(QString());
    emit facades->smallBuilder.reset();
    QTRY_VERIFY(!facades->smallBuilder.hasCameraImage());
    published.clear();
    publishFrame();
    QVERIFY(!published.wait(300));
}

void TestFacades::aNewScanStartsItsBuilder() {
    emit facades->api.currentScanChanged(nullptr);
    QVERIFY(!facades->bigBuilder.currentBuilder());
    Scan scan(QStringLiteral("c5"));
    emit facades->api.currentScanChanged(&scan);
    // At once, before anything else hears of the scan.
    QVERIFY(facades->bigBuilder.currentBuilder());
    QCOMPARE(facades->bigBuilder.currentBuilder()->containerId(), QStringLiteral("c5"));
}

void TestFacades::uploadsGoToTheServiceWhichLetsTheBuilderGo() {
    QSignalSpy finished(&facades->bigBuilder, &BigBuilderThread::finished);
    facades->bigBuilder.start(QStringLiteral("c1"));
    const QString dir = facades->bigBuilder.currentBuilder()->folderPath();
    // The container is unknown to the service client, which says so for each file it is handed:
    // the snapshot and the descriptor.
    for (int i = 0; i < 2; ++i)
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("Cannot find scan for container ID")));
    facades->bigBuilder.addSnapshot(cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(90)));
    facades->bigBuilder.finish(QVariant(), QVariant());
    QTRY_COMPARE(finished.size(), 1);
    QCoreApplication::processEvents();
    QVERIFY(QDir(dir).exists());

    emit facades->api.uploadFinished(QStringLiteral("c1"));
    QTRY_VERIFY(!QDir(dir).exists());
    QVERIFY(!facades->bigBuilder.builderOf(QStringLiteral("c1")));
}

QTEST_GUILESS_MAIN(TestFacades)
#include "tst_facades.moc"
