// The full-resolution facade: one builder per scan, commands forwarded to the current builder
// only, upload requests handed on as the builders make them, builders parked by the container
// their last upload names, and their files kept until the whole container is reported uploaded.

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
    void twoStartCalls();
    void commandsReachCurrentBuilder();
    void parkedBuilderDeletedOnUploadFinishedOnly();
    void otherParkedBuildersStay();
    void finishRequestParksItsSender();
    void stopDropsCurrentBuilder();

private:
    // Waits until the builder has run every command queued before this call.
    static void drain(BigBuilder *builder);
    // The files handed on for upload so far, as "container:file" with a "!" on the last one.
    QStringList handedOn() const;

    BigBuilderThread *facade = nullptr;
    std::unique_ptr<QSignalSpy> uploads;
    cv::Mat frame;
};

void TestBigBuilderThread::initTestCase() {
    frame = texture(cv::Size(220, 160));
}

void TestBigBuilderThread::init() {
    facade = new BigBuilderThread;
    uploads = std::make_unique<QSignalSpy>(facade, &BigBuilderThread::uploadRequested);
}

void TestBigBuilderThread::cleanup() {
    uploads.reset();
    facade->stop();
    delete facade;
    facade = nullptr;
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
    facade->uploadFinished("nobody");
    QCoreApplication::processEvents();
    QVERIFY(!facade->currentBuilder());
    QCOMPARE(finished.size(), 0);
    QCOMPARE(uploads->size(), 0);
}

void TestBigBuilderThread::twoStartCalls() {
    facade->start("c1");
    BigBuilder *first = facade->currentBuilder();
    QVERIFY(first);
    QCOMPARE(first->thread(), facade->currentBuilder()->thread());
    QVERIFY(first->thread() != QThread::currentThread());
    const QString firstDir = first->tempPath();
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    drain(first);
    QVERIFY(QFile::exists(firstDir + "/0.jpg"));

    facade->start("c2");
    QVERIFY(facade->currentBuilder() != first);
    QCOMPARE(facade->currentBuilder()->containerId(), QString("c2"));
    // The first scan was abandoned: its builder and the cells it had not sent are gone.
    QTRY_VERIFY(!QDir(firstDir).exists());
    QVERIFY(QDir(facade->currentBuilder()->tempPath()).exists());
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
    QCOMPARE(names(readZip(builder->tempPath() + "/00000.dat")), QStringList({"0.jpg"}));
    // Handed on as they come, with the builder's folder and the file's full path.
    QTRY_COMPARE(handedOn(), QStringList({"c1:2.jpg", "c1:00000.dat"}));
    QCOMPARE(uploads->at(0).at(1).toString(), QString("snapshots/2.jpg"));
    QCOMPARE(uploads->at(0).at(2).toString(), builder->tempPath() + "/2.jpg");
}

void TestBigBuilderThread::parkedBuilderDeletedOnUploadFinishedOnly() {
    QSignalSpy finished(facade, &BigBuilderThread::finished);
    facade->start("c1");
    BigBuilder *builder = facade->currentBuilder();
    const QString dir = builder->tempPath();
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->addSnapshot(frame);
    facade->finish(QString("0.25"), QString("40"));
    QTRY_COMPARE(finished.size(), 1);
    // The descriptor goes last, and only it finishes the container.
    QTRY_COMPARE(handedOn(), QStringList({"c1:2.jpg", "c1:00000.dat", "c1:scan.isd!"}));
    QCOMPARE(finished.at(0).at(0).toString(), QString("c1"));
    QVERIFY(!facade->currentBuilder());
    QCOMPARE(facade->parkedBuilders("c1"), QList<BigBuilder *>{builder});

    // Parked: new commands are dropped until another scan starts.
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    drain(builder);
    QVERIFY(!facade->currentBuilder());

    // Until the whole container is uploaded, everything its uploads read stays.
    QCoreApplication::processEvents();
    QVERIFY(QFile::exists(dir + "/2.jpg"));
    QVERIFY(QFile::exists(dir + "/00000.dat"));
    QVERIFY(QFile::exists(dir + "/scan.isd"));
    facade->uploadFinished("someone else");
    QTest::qWait(50);
    QVERIFY(QDir(dir).exists());

    facade->uploadFinished("c1");
    QTRY_VERIFY(!QDir(dir).exists());
    QVERIFY(facade->parkedBuilders("c1").isEmpty());
}

void TestBigBuilderThread::otherParkedBuildersStay() {
    QSignalSpy finished(facade, &BigBuilderThread::finished);
    facade->start("c1");
    const QString dir1 = facade->currentBuilder()->tempPath();
    facade->finish(QVariant(), QVariant());
    QTRY_COMPARE(finished.size(), 1);
    facade->start("c2");
    const QString dir2 = facade->currentBuilder()->tempPath();
    facade->finish(QVariant(), QVariant());
    QTRY_COMPARE(finished.size(), 2);
    QCOMPARE(facade->parkedBuilders("c1").size(), 1);
    QCOMPARE(facade->parkedBuilders("c2").size(), 1);

    facade->uploadFinished("c1");
    QTRY_VERIFY(!QDir(dir1).exists());
    QTest::qWait(50);
    QVERIFY(QDir(dir2).exists());
    QCOMPARE(facade->parkedBuilders("c2").size(), 1);
    facade->uploadFinished("c2");
    QTRY_VERIFY(!QDir(dir2).exists());
}

void TestBigBuilderThread::finishRequestParksItsSender() {
    QSignalSpy finished(facade, &BigBuilderThread::finished);
    facade->start("c1");
    BigBuilder *old = facade->currentBuilder();
    const QString oldDir = old->tempPath();
    facade->storeNewFrame(frame, gridCells(2, 1, 64));
    facade->finish(QVariant(), QVariant());
    // A new scan becomes current before the old builder's last request reaches the facade.
    facade->start("c2");
    BigBuilder *current = facade->currentBuilder();
    QCOMPARE(current->containerId(), QString("c2"));

    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toString(), QString("c1"));
    QCOMPARE(facade->currentBuilder(), current);
    QCOMPARE(facade->parkedBuilders("c1"), QList<BigBuilder *>{old});
    QVERIFY(facade->parkedBuilders("c2").isEmpty());
    // The old scan's descriptor survives until its container is uploaded.
    QVERIFY(QFile::exists(oldDir + "/scan.isd"));

    // The new builder still takes commands.
    QSignalSpy requests(current, &BigBuilder::uploadFile);
    facade->addSnapshot(frame);
    drain(current);
    QCOMPARE(requests.size(), 1);
    QTRY_COMPARE(handedOn().last(), QString("c2:0.jpg"));

    facade->uploadFinished("c1");
    QTRY_VERIFY(!QDir(oldDir).exists());
    QVERIFY(QDir(current->tempPath()).exists());
    QCOMPARE(facade->currentBuilder(), current);
}

void TestBigBuilderThread::stopDropsCurrentBuilder() {
    facade->start("c1");
    const QString dir = facade->currentBuilder()->tempPath();
    facade->stop();
    QVERIFY(!facade->currentBuilder());
    QVERIFY(!QDir(dir).exists());
    facade->storeNewFrame(frame, gridCells(2, 1, 64)); // dropped, no builder
    QVERIFY(!facade->currentBuilder());
}

QTEST_MAIN(TestBigBuilderThread)
#include "tst_bigbuilderthread.moc"
