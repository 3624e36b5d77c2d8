// The program's wiring of its four facades: what goes from one room to another goes through it,
// and the scans that last across runs: recorded as the service confirms them, taken up at start.

#include "program/facades.h"

#include "mosaic/bigbuilder.h"
#include "mosaic/scanjournal.h"
#include "service/scan.h"
#include "shell/settings.h"

#include "tst_bigbuilder_util.h"

#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace fixture;

class TestFacades : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void framesReachTheLiveBuilderOnlyWhileLoggedIn();
    void aNewScanStartsItsBuilder();
    void uploadsGoToTheServiceAndTheScanLastsUntilSaved();
    void whatTheServiceConfirmsReachesTheJournal();
    void unfinishedScanTakenUpAtStart();
    void finishedScanTakenUpAtStart();
    void foldersWithNothingToKeepRemovedAtStart();

private:
    // Publishes one camera frame as the camera worker would.
    void publishFrame();
    // The program starts again on the same scans folder.
    void restart();
    // A scan an earlier run left: two parts, the first archived; with `finish`, finished.
    void leaveScan(const QString &containerId, bool finish);
    std::optional<JournalState> journalOf(const QString &containerId) const;

    std::unique_ptr<QTemporaryDir> scans;
    std::unique_ptr<Settings> settings;
    std::unique_ptr<Facades> facades;
};

void TestFacades::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("MirevaFacadesTest"));
}

void TestFacades::init() {
    scans = std::make_unique<QTemporaryDir>();
    settings = std::make_unique<Settings>(nullptr, QStringList{});
    // Nothing listens there: the service client never reaches a server in these tests.
    settings->setApiUrl(QUrl(QStringLiteral("http://127.0.0.1:9/")));
    settings->setApiToken(QString());
    settings->setMpp(QStringLiteral("0.5"));
    restart();
}

void TestFacades::restart() {
    facades.reset();
    // No camera plug-ins: the frames come from the test.
    Facades::Options options;
    options.cameraPlugins = QStringList{};
    options.scansFolder = scans->path();
    facades = std::make_unique<Facades>(settings.get(), options);
}

void TestFacades::cleanup() {
    facades.reset();
    settings.reset();
    scans.reset();
}

void TestFacades::leaveScan(const QString &containerId, bool finish) {
    BigBuilder::Storage storage;
    storage.folder = scans->filePath(containerId);
    storage.info.owner = QStringLiteral("ada@example.org");
    storage.info.startedAt = QDateTime(QDate(2024, 5, 3), QTime(10, 42), Qt::UTC);
    storage.info.mpp = QStringLiteral("0.25");
    BigBuilder builder(containerId, storage);
    const cv::Mat frame = texture(cv::Size(220, 160));
    builder.storeNewFrame(frame, gridCells(2, 1, 64));
    builder.finishImage();
    builder.storeNewFrame(frame, gridCells(3, 1, 64, 4, 5));
    if (finish)
        builder.finish(storage.info.mpp, QVariant());
}

std::optional<JournalState> TestFacades::journalOf(const QString &containerId) const {
    ScanJournal journal(scans->filePath(containerId), ScanJournal::Mode::OpenExisting);
    return journal.read();
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

void TestFacades::uploadsGoToTheServiceAndTheScanLastsUntilSaved() {
    QSignalSpy finished(&facades->bigBuilder, &BigBuilderThread::finished);
    facades->bigBuilder.start(QStringLiteral("c1"));
    const QString dir = facades->bigBuilder.currentBuilder()->folderPath();
    QCOMPARE(dir, scans->filePath("c1"));
    // The container is unknown to the service client, which says so for each file it is handed:
    // the snapshot and the descriptor.
    for (int i = 0; i < 2; ++i)
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("Cannot find scan for container ID")));
    facades->bigBuilder.addSnapshot(cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(90)));
    facades->bigBuilder.finish(QVariant(), QVariant());
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY(!facades->bigBuilder.builderOf(QStringLiteral("c1")));
    // The whole container uploaded is not the end of the scan: it is kept until it is saved.
    emit facades->api.uploadFinished(QStringLiteral("c1"));
    QCoreApplication::processEvents();
    QVERIFY(QFile::exists(dir + "/scan.isd"));
    emit facades->api.scanSaved(QStringLiteral("c1"), QStringLiteral("http://x/1"));
    QTRY_VERIFY(!QDir(dir).exists());
}

void TestFacades::whatTheServiceConfirmsReachesTheJournal() {
    leaveScan(QStringLiteral("c1"), true);
    emit facades->api.fileUploaded(QStringLiteral("c1"), QStringLiteral("00000.dat"),
                                   scans->filePath("c1/00000.dat"), QStringLiteral("e0"));
    emit facades->api.saveRequested(QStringLiteral("c1"), QStringLiteral("Slide 7"));
    std::optional<JournalState> state = journalOf(QStringLiteral("c1"));
    QVERIFY(state.has_value());
    QCOMPARE(state->files.at(0).containerPath, QStringLiteral("00000.dat"));
    QCOMPARE(state->files.at(0).etag, QStringLiteral("e0"));
    QVERIFY(state->files.at(1).etag.isEmpty());
    QCOMPARE(state->saveName, QStringLiteral("Slide 7"));

    // A discarded scan's folder goes, and nothing more is recorded for it.
    emit facades->api.scanDiscarded(QStringLiteral("c1"));
    QTRY_VERIFY(!QDir(scans->filePath("c1")).exists());
    emit facades->api.fileUploaded(QStringLiteral("c1"), QStringLiteral("scan.isd"),
                                   scans->filePath("c1/scan.isd"), QStringLiteral("e1"));
    QVERIFY(!QDir(scans->filePath("c1")).exists());
}

void TestFacades::unfinishedScanTakenUpAtStart() {
    leaveScan(QStringLiteral("c1"), false);
    settings->setMpp(QStringLiteral("9")); // the calibration of now is not the scan's
    // The builder closes the scan in its own thread: what it asks for arrives after this.
    restart();
    auto requests =
        std::make_unique<QSignalSpy>(&facades->bigBuilder, &BigBuilderThread::uploadRequested);
    QCOMPARE(facades->recovered, QStringList{QStringLiteral("c1")});
    QCOMPARE(facades->api.scans().size(), 1);
    Scan *scan = facades->api.scans().first();
    QVERIFY(scan->recovered());
    QCOMPARE(scan->owner(), QStringLiteral("ada@example.org"));
    QCOMPARE(scan->startedAt(), QDateTime(QDate(2024, 5, 3), QTime(10, 42), Qt::UTC));
    QCOMPARE(facades->api.currentScan(), nullptr);
    // Closed as Finish would: the pending cells archived, then the descriptor.
    QTRY_COMPARE(requests->size(), 2);
    QCOMPARE(requests->at(0).at(1).toString(), QStringLiteral("00001.dat"));
    QCOMPARE(requests->at(1).at(1).toString(), QStringLiteral("scan.isd"));
    QVERIFY(requests->at(1).at(3).toBool());
    const QByteArray isd = fileBytes(scans->filePath("c1/scan.isd"));
    QVERIFY2(isd.contains("\"mpp\":0.25"), isd.constData());
    // The archive asked for before and the two made now wait for their owner to log in.
    QTRY_COMPARE(scan->uploading(), 3);
    QCOMPARE(scan->status(), Scan::UPLOADING);
    QVERIFY(scan->waitingForLogIn());
    QCOMPARE(journalOf(QStringLiteral("c1"))->files.size(), 3);
}

void TestFacades::finishedScanTakenUpAtStart() {
    leaveScan(QStringLiteral("c1"), true);
    {
        ScanJournal journal(scans->filePath("c1"));
        QVERIFY(journal.confirmUpload(QStringLiteral("00000.dat"), QStringLiteral("e0")));
        QVERIFY(journal.setSaveName(QStringLiteral("Slide 7")));
    }
    restart();
    auto spy =
        std::make_unique<QSignalSpy>(&facades->bigBuilder, &BigBuilderThread::uploadRequested);
    QCOMPARE(facades->recovered, QStringList{QStringLiteral("c1")});
    Scan *scan = facades->api.scans().first();
    QCOMPARE(scan->uploaded(), 1);
    QCOMPARE(scan->uploading(), 2);
    QCOMPARE(scan->status(), Scan::UPLOADING);
    // The name asked for before is used by itself, once the scan is uploaded.
    QCOMPARE(scan->saveName(), QStringLiteral("Slide 7"));
    QVERIFY(scan->saving());
    // Nothing is built again.
    QCoreApplication::processEvents();
    QVERIFY(spy->isEmpty());
    QVERIFY(!facades->bigBuilder.builderOf(QStringLiteral("c1")));
}

void TestFacades::foldersWithNothingToKeepRemovedAtStart() {
    leaveScan(QStringLiteral("saved"), true);
    leaveScan(QStringLiteral("savedWithoutPage"), true);
    leaveScan(QStringLiteral("discarded"), true);
    {
        ScanJournal saved(scans->filePath("saved"));
        QVERIFY(saved.setSaved(QStringLiteral("http://x/1")));
        // Saved, with a page address the program refused: saved all the same, not again.
        ScanJournal withoutPage(scans->filePath("savedWithoutPage"));
        QVERIFY(withoutPage.setSaveName(QStringLiteral("Slide")));
        QVERIFY(withoutPage.setSaved(QString()));
        ScanJournal discarded(scans->filePath("discarded"));
        QVERIFY(discarded.setDiscarded());
        // Started, but not a cell stored.
        ScanJournal empty(scans->filePath("empty"));
        QVERIFY(empty.begin({QStringLiteral("empty"), {}, {}, {}, {}}));
    }
    // A removal the last run did not live to finish: renamed, some files already gone.
    leaveScan(QStringLiteral("cut"), true);
    QVERIFY(QDir().rename(scans->filePath("cut"), scans->filePath("cut.removed")));
    QVERIFY(QFile::remove(scans->filePath("cut.removed/00000.dat")));
    // Not a scan folder of the program's: left alone.
    QVERIFY(QDir().mkpath(scans->filePath("other")));
    QVERIFY(QFile(scans->filePath("other/keep.txt")).open(QIODevice::WriteOnly));
    restart();
    QVERIFY(facades->recovered.isEmpty());
    QVERIFY(facades->api.scans().isEmpty());
    for (const char *gone : {"saved", "savedWithoutPage", "discarded", "empty", "cut.removed"})
        QTRY_VERIFY2(!QDir(scans->filePath(gone)).exists(), gone);
    QVERIFY(QFile::exists(scans->filePath("other/keep.txt")));
}

QTEST_GUILESS_MAIN(TestFacades)
#include "tst_facades.moc"
