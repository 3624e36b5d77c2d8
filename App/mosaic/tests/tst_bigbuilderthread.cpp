// The full-resolution facade: one builder per scan, commands forwarded to the current builder
// only, upload requests handed on as the builders make them, a scan left open closed rather than
// dropped, a scan taken up again from its folder, and the folder kept until the scan is removed.

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "mosaic/bigbuilder.h"
#include "mosaic/bigbuilderthread.h"
#include "tst_bigbuilder_util.h"

using namespace fixture;

class TestBigBuilderThread : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandsDroppedWithoutBuilder();
    void aNewScanClosesTheOpenOne();
    void commandsReachCurrentBuilder();
    void builderGoesAtItsFinishItsFolderStays();
    void finishRequestEndsItsSenderOnly();
    void resumeClosesAScanOfAnEarlierRun();
    void storageFailureReported();
    void stopKeepsTheScans();
    void temporaryFoldersGoWithTheirScans();

private:
    // Waits until the builder has run every command queued before this call.
    static void drain(BigBuilder *builder);
    // The files handed on for upload so far, as "container:file" with a "!" on the last one.
    QStringList handedOn() const;

    // A facade over the scans folder, as the program makes it.
    void makeFacade(BigBuilderThread::Options options);
    ScanInfo info(const QString &containerId) const;

    std::unique_ptr<QTemporaryDir> scans;
    BigBuilderThread *facade = nullptr;
    std::unique_ptr<QSignalSpy> uploads;
    cv::Mat frame;
};

void TestBigBuilderThread::initTestCase() {
    frame = texture(cv::Size(220, 160));
}

void TestBigBuilderThread::init() {
    scans = std::make_unique<QTemporaryDir>();
    QVERIFY(scans->isValid());
    BigBuilderThread::Options options;
    options.scansFolder = scans->path();
    makeFacade(options);
}

void TestBigBuilderThread::makeFacade(BigBuilderThread::Options options) {
    uploads.reset();
    if (facade) {
        facade->stop();
        delete facade;
    }
    facade = new BigBuilderThread(std::move(options));
    uploads = std::make_unique<QSignalSpy>(facade, &BigBuilderThread::uploadRequested);
}

void TestBigBuilderThread::cleanup() {
    uploads.reset();
    facade->stop();
    delete facade;
    facade = nullptr;
    scans.reset();
}

ScanInfo TestBigBuilderThread::info(const QString &containerId) const {
    ScanInfo scan;
    scan.containerId = containerId;
    scan.owner = "ada@example.org";
    scan.mpp = QString("0.5");
    scan.magnification = QString("20");
    return scan;
}

void TestBigBuilderThread::drain(BigBuilder *builder) {
    QMetaObject::invokeMethod(
        builder, [] {}, Qt::BlockingQueuedConnection);
}

QStringList TestBigBuilderThread::handedOn() const {
    QStringList files;
    for (const QList<QVariant> &request : *uploads) {
        const QString file = request.at(2).toString();
        files << request.at(0).toString() + ":" + file.mid(file.lastIndexOf('/') + 1) +
                     (request.at(3).toBool() ? "!" : "");
    }
    return files;
}

void TestBigBuilderThread::commandsDroppedWithoutBuilder() {
    QSignalSpy finished(facade, &BigBuilderThread::finished);
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->eraseFrame(Point(0, 0));
    facade->finishImage();
    facade->addSnapshot(frame);
    facade->finish(QString("0.25"), QString("40"));
    facade->resume("nobody"); // no folder, nothing to take up
    facade->removeScan("nobody");
    QCoreApplication::processEvents();
    QVERIFY(!facade->currentBuilder());
    QCOMPARE(finished.size(), 0);
    QCOMPARE(uploads->size(), 0);
}

void TestBigBuilderThread::aNewScanClosesTheOpenOne() {
    QSignalSpy finished(facade, &BigBuilderThread::finished);
    facade->start(info("c1"));
    BigBuilder *first = facade->currentBuilder();
    QVERIFY(first);
    QVERIFY(first->thread() != QThread::currentThread());
    QCOMPARE(first->folderPath(), scans->filePath("c1"));
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    drain(first);

    // The open scan is finished as "Finish" would, with the calibration it was started with;
    // its cells reach the service.
    facade->start(info("c2"));
    QCOMPARE(facade->currentBuilder()->containerId(), QString("c2"));
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toString(), QString("c1"));
    QCOMPARE(handedOn(), QStringList({"c1:00000.dat", "c1:scan.isd!"}));
    QCOMPARE(names(readZip(scans->filePath("c1/00000.dat"))), QStringList({"0.jpg", "1.jpg"}));
    const nlohmann::json isd =
        nlohmann::json::parse(fileBytes(scans->filePath("c1/scan.isd")).toStdString());
    QCOMPARE(isd.at("mpp").get<double>(), 0.5);
    QCOMPARE(isd.at("magnification").get<double>(), 20.0);
    QCOMPARE(isd.at("images").at(0).at("parts").size(), std::size_t(2));
    QVERIFY(!facade->builderOf("c1"));
}

void TestBigBuilderThread::commandsReachCurrentBuilder() {
    facade->start("c1");
    BigBuilder *builder = facade->currentBuilder();
    QSignalSpy requests(builder, &BigBuilder::uploadFile);
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->eraseFrame(Point(1, 0));
    facade->addSnapshot(frame);
    facade->finishImage();
    drain(builder);
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).at(1).toString(), QString("snapshots/2.jpg"));
    QCOMPARE(requests.at(1).at(1).toString(), QString("00000.dat"));
    QCOMPARE(names(readZip(builder->folderPath() + "/00000.dat")), QStringList({"0.jpg"}));
    // Handed on as they come, with the builder's folder and the file's full path.
    QTRY_COMPARE(handedOn(), QStringList({"c1:2.jpg", "c1:00000.dat"}));
    QCOMPARE(uploads->at(0).at(1).toString(), QString("snapshots/2.jpg"));
    QCOMPARE(uploads->at(0).at(2).toString(), builder->folderPath() + "/2.jpg");
}

void TestBigBuilderThread::builderGoesAtItsFinishItsFolderStays() {
    QSignalSpy finished(facade, &BigBuilderThread::finished);
    facade->start(info("c1"));
    BigBuilder *builder = facade->currentBuilder();
    const QString dir = builder->folderPath();
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->addSnapshot(frame);
    facade->finish(QString("0.25"), QString("40"));
    QTRY_COMPARE(finished.size(), 1);
    // The descriptor goes last, and only it finishes the container.
    QTRY_COMPARE(handedOn(), QStringList({"c1:2.jpg", "c1:00000.dat", "c1:scan.isd!"}));
    QCOMPARE(finished.at(0).at(0).toString(), QString("c1"));
    QVERIFY(!facade->currentBuilder());
    QVERIFY(!facade->builderOf("c1"));

    // New commands are dropped until another scan starts.
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    QVERIFY(!facade->currentBuilder());

    // What the uploads read stays until the scan is removed; removing another scan leaves it.
    facade->removeScan("someone else");
    facade->resume("c1"); // finished already: it closes to the same descriptor
    QTRY_COMPARE(handedOn().size(), 4);
    QCOMPARE(handedOn().last(), QString("c1:scan.isd!"));
    for (const char *file : {"/2.jpg", "/00000.dat", "/scan.isd", "/journal.sqlite"})
        QVERIFY2(QFile::exists(dir + file), file);

    facade->removeScan("c1");
    QTRY_VERIFY(!QDir(dir).exists());
}

void TestBigBuilderThread::finishRequestEndsItsSenderOnly() {
    QSignalSpy finished(facade, &BigBuilderThread::finished);
    facade->start(info("c1"));
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->finish(QVariant(), QVariant());
    // A new scan becomes current before the old builder's last request reaches the facade.
    facade->start(info("c2"));
    BigBuilder *current = facade->currentBuilder();
    QCOMPARE(current->containerId(), QString("c2"));

    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toString(), QString("c1"));
    QCOMPARE(facade->currentBuilder(), current);
    QCOMPARE(facade->builderOf("c2"), current);
    // Told to finish once: not closed a second time by the new scan.
    QCOMPARE(handedOn(), QStringList({"c1:00000.dat", "c1:scan.isd!"}));
    QVERIFY(QFile::exists(scans->filePath("c1/scan.isd")));

    // The new builder still takes commands.
    QSignalSpy requests(current, &BigBuilder::uploadFile);
    facade->addSnapshot(frame);
    drain(current);
    QCOMPARE(requests.size(), 1);
    QTRY_COMPARE(handedOn().last(), QString("c2:0.jpg"));
}

void TestBigBuilderThread::resumeClosesAScanOfAnEarlierRun() {
    facade->start(info("c1"));
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->finishImage();
    facade->storeNewFrame(frame, gridCells(3, 1, 64, 4, 5));
    drain(facade->currentBuilder());
    QTRY_COMPARE(handedOn(), QStringList({"c1:00000.dat"}));

    // The program ends with the scan open; the next run takes it up.
    BigBuilderThread::Options options;
    options.scansFolder = scans->path();
    makeFacade(options);
    QSignalSpy finished(facade, &BigBuilderThread::finished);
    facade->resume("c1");
    QVERIFY(!facade->currentBuilder());
    QTRY_COMPARE(finished.size(), 1);
    // The second part's pending cells are archived under the next number, then the descriptor.
    QCOMPARE(handedOn(), QStringList({"c1:00001.dat", "c1:scan.isd!"}));
    QCOMPARE(names(readZip(scans->filePath("c1/00001.dat"))),
             QStringList({"2.jpg", "3.jpg", "4.jpg"}));
    const nlohmann::json isd =
        nlohmann::json::parse(fileBytes(scans->filePath("c1/scan.isd")).toStdString());
    QCOMPARE(isd.at("mpp").get<double>(), 0.5);
    QCOMPARE(isd.at("images").size(), std::size_t(2));
    QCOMPARE(isd.at("images").at(0).at("parts").size(), std::size_t(2));
    QCOMPARE(isd.at("images").at(1).at("parts").size(), std::size_t(3));
    QCOMPARE(isd.at("images").at(1).at("parts").at(0).at(2).get<std::string>(),
             std::string("00001.dat/2.jpg"));
}

void TestBigBuilderThread::storageFailureReported() {
    // A disk with 10 MiB free keeps a 64 MiB reserve from being met.
    BigBuilderThread::Options options;
    options.scansFolder = scans->path();
    options.freeSpace = [](const QString &) {
        return qint64(10) << 20;
    };
    makeFacade(options);
    QSignalSpy failed(facade, &BigBuilderThread::storageFailed);
    facade->start(info("c1"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No more cells are stored"));
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->finish(QVariant(), QVariant());
    QTRY_COMPARE(handedOn(), QStringList({"c1:scan.isd!"}));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), QString("c1"));
    QVERIFY(failed.at(0).at(1).toString().contains("10 MiB free"));
}

void TestBigBuilderThread::stopKeepsTheScans() {
    facade->start(info("c1"));
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    const QString dir = facade->currentBuilder()->folderPath();
    facade->stop();
    QVERIFY(!facade->currentBuilder());
    QVERIFY(QFile::exists(dir + "/journal.sqlite"));
    QVERIFY(QFile::exists(dir + "/0.jpg"));
    facade->storeNewFrame(frame, gridCells(2, 1, 64)); // dropped, no builder
    QVERIFY(!facade->currentBuilder());
}

void TestBigBuilderThread::temporaryFoldersGoWithTheirScans() {
    makeFacade({});
    facade->start(info("c1"));
    BigBuilder *builder = facade->currentBuilder();
    const QString dir = builder->folderPath();
    QVERIFY(!dir.startsWith(scans->path()));
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->finish(QVariant(), QVariant());
    QTRY_COMPARE(handedOn(), QStringList({"c1:00000.dat", "c1:scan.isd!"}));
    // The files its uploads read live with the builder, until the scan goes.
    QCOMPARE(facade->builderOf("c1"), builder);
    QVERIFY(QFile::exists(dir + "/00000.dat"));
    facade->removeScan("c1");
    QTRY_VERIFY(!QDir(dir).exists());
}

QTEST_MAIN(TestBigBuilderThread)
#include "tst_bigbuilderthread.moc"
