// The scan folder and its journal: files are whole or absent, the journal reads back what was
// recorded (also from two threads at once), and a builder made again on a folder goes on exactly
// where the last one stopped: after any command, the scan it finishes is the scan an uninterrupted
// builder makes. Leftovers of a write the journal never recorded are removed, a damaged cell is
// left out, and a folder that takes no more stops the storing of cells without harming the rest.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>
#include <QtTest>

#include <functional>
#include <memory>

#include "mosaic/bigbuilder.h"
#include "mosaic/scanfolder.h"
#include "mosaic/scanjournal.h"
#include "tst_bigbuilder_util.h"

using namespace fixture;

namespace {

BigBuilder::Storage storageIn(const QString &folder) {
    BigBuilder::Storage storage;
    storage.folder = folder;
    storage.info.owner = "ada@example.org";
    storage.info.mpp = QString("0.25");
    storage.info.magnification = QString("40");
    return storage;
}

// The commands of a small scan, in order: two parts, an erased cell, a photo, and a frame of
// more than 100 cells that makes an archive on its own.
std::vector<std::function<void(BigBuilder &)>> scanCommands(const cv::Mat &frame,
                                                            const cv::Mat &wide) {
    return {
        [frame](BigBuilder &b) { b.storeNewFrame(frame, gridCells(4, 2, 64)); },
        [frame](BigBuilder &b) { b.storeNewFrame(frame, gridCells(4, 2, 64, 6)); },
        [](BigBuilder &b) { b.eraseFrame(Point(1, 1)); },
        [frame](BigBuilder &b) { b.addSnapshot(frame); },
        [](BigBuilder &b) { b.finishImage(); },
        [wide](BigBuilder &b) { b.storeNewFrame(wide, gridCells(104, 8, 40)); },
        [frame](BigBuilder &b) { b.storeNewFrame(frame, gridCells(3, 1, 64, 4, 20)); },
        [](BigBuilder &b) { b.close(); },
    };
}

// A finished scan as the service would receive it: the descriptor, and for every archive its
// entries with the MD5 of their bytes.
QStringList package(const QString &folder) {
    QStringList lines{QString::fromUtf8(fileBytes(folder + "/scan.isd"))};
    QStringList archives = QDir(folder).entryList({"*.dat"}, QDir::Files, QDir::Name);
    for (const QString &archive : archives)
        for (const ZipEntry &entry : readZip(folder + "/" + archive))
            lines << archive + "/" + entry.name + " " + scanfolder::md5Hex(entry.data);
    return lines;
}

QStringList uploads(const QSignalSpy &spy) {
    QStringList result;
    for (const QList<QVariant> &request : spy)
        result << request.at(1).toString() + (request.at(3).toBool() ? "!" : "");
    return result;
}

} // namespace

class TestScanFolder : public QObject {
    Q_OBJECT

private slots:
    void writeAtomically_data();
    void writeAtomically();
    void journalReadsBackWhatItRecorded();
    void journalWrittenFromTwoThreads();
    void journalOfANewerVersionRefused();
    void builderGoesOnWhereItStopped_data();
    void builderGoesOnWhereItStopped();
    void leftoversRemoved();
    void damagedCellLeftOut();
    void anotherContainersFolderRefused();
    void folderThatCannotBeMade();
    void cellThatCannotBeWrittenStopsStoring();
    void fullDiskStopsStoringAndFinishes();
};

void TestScanFolder::writeAtomically_data() {
    QTest::addColumn<QString>("target"); // relative to a fresh folder
    QTest::addColumn<bool>("existing");
    QTest::addColumn<bool>("sync");
    QTest::addColumn<bool>("ok");
    QTest::newRow("new file") << "a.jpg" << false << false << true;
    QTest::newRow("replaces, synced") << "a.jpg" << true << true << true;
    QTest::newRow("folder missing") << "missing/a.jpg" << false << false << false;
}

void TestScanFolder::writeAtomically() {
    QFETCH(QString, target);
    QFETCH(bool, existing);
    QFETCH(bool, sync);
    QFETCH(bool, ok);
    QTemporaryDir dir;
    const QString path = dir.filePath(target);
    if (existing) {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old content that is longer");
    }
    QString error;
    QCOMPARE(scanfolder::writeAtomically(path, QByteArray("new"), sync, &error), ok);
    QCOMPARE(error.isEmpty(), ok);
    QCOMPARE(fileBytes(path), ok ? QByteArray("new") : QByteArray());
    QVERIFY(!QFile::exists(path + scanfolder::partialSuffix));
}

void TestScanFolder::journalReadsBackWhatItRecorded() {
    QTemporaryDir dir;
    const QString folder = dir.filePath("c1");
    {
        ScanJournal journal(folder);
        QVERIFY2(journal.isOpen(), qPrintable(journal.errorString()));
        ScanInfo info;
        info.containerId = "c1";
        info.owner = "ada@example.org";
        info.startedAt = QDateTime(QDate(2024, 5, 3), QTime(10, 42, 7, 250), Qt::UTC);
        info.mpp = QString("0.25");
        QVERIFY(journal.begin(info));
        // A second begin fills only what is still empty.
        ScanInfo later = info;
        later.owner = "eve@example.org";
        later.magnification = QString("40");
        QVERIFY(journal.begin(later));

        JournalCell a{0, 0, 1, 2, 64, 128, 64, 64, 12.5, 1000, "aa", {}};
        JournalCell b{1, 0, 2, 2, 128, 128, 64, 60, 3.0, 900, "bb", {}};
        QVERIFY(journal.storeCells({a, b}, 2));
        JournalCell newerA{2, 0, 1, 2, 64, 128, 64, 64, 14.0, 1100, "cc", {}};
        QVERIFY(journal.storeCells({newerA}, 3));
        QVERIFY(journal.addArchive({"00000.dat", "00000.dat", 2100, "zz", false, {}}, {1, 2}, 1));
        QVERIFY(journal.eraseCell(0, 2, 2));
        QVERIFY(journal.closePart(QByteArray(R"({"type":"stitched"})"), 1));
        QVERIFY(journal.addSnapshot(QByteArray(R"({"type":"single"})"),
                                    {"snapshots/3.jpg", "3.jpg", 500, "pp", false, {}}, 4));
        QVERIFY(journal.finish({"scan.isd", "scan.isd", 80, "ii", true, {}}, QString("0.3"),
                               QVariant()));
        QVERIFY(journal.confirmUpload("00000.dat", "zz"));
        QVERIFY(journal.setSaveName("Slide 7"));
    }
    ScanJournal again(folder, ScanJournal::Mode::OpenExisting);
    const std::optional<JournalState> state = again.read();
    QVERIFY(state.has_value());
    QCOMPARE(state->info.containerId, QString("c1"));
    QCOMPARE(state->info.owner, QString("ada@example.org"));
    QCOMPARE(state->info.startedAt, QDateTime(QDate(2024, 5, 3), QTime(10, 42, 7, 250), Qt::UTC));
    // The finish's calibration holds: a value it does not give is gone.
    QCOMPARE(state->info.mpp.toString(), QString("0.3"));
    QVERIFY(!state->info.magnification.isValid());
    QCOMPARE(state->part, 1);
    QCOMPARE(state->imageCounter, 4);
    QCOMPARE(state->archiveCounter, 1);
    // Replaced and erased cells are not stored any more.
    QCOMPARE(state->cells.size(), 1);
    QCOMPARE(state->cells[0].image, 2);
    QCOMPARE(state->cells[0].archive, QString("00000.dat"));
    QCOMPARE(state->cells[0].score, 14.0);
    QCOMPARE(state->images, QList<QByteArray>({R"({"type":"stitched"})", R"({"type":"single"})"}));
    QCOMPARE(state->files.size(), 3);
    QCOMPARE(state->files[0].containerPath, QString("00000.dat"));
    QCOMPARE(state->files[0].etag, QString("zz"));
    QCOMPARE(state->files[1].localName, QString("3.jpg"));
    QVERIFY(state->files[1].etag.isEmpty());
    QVERIFY(state->files[2].finish);
    QVERIFY(state->finished);
    QVERIFY(!state->allConfirmed());
    QCOMPARE(state->saveName, QString("Slide 7"));
    QVERIFY(!state->discarded);

    QVERIFY(again.confirmUpload("snapshots/3.jpg", "pp"));
    QVERIFY(again.confirmUpload("scan.isd", "ii"));
    QVERIFY(again.read()->allConfirmed());
}

void TestScanFolder::journalWrittenFromTwoThreads() {
    QTemporaryDir dir;
    const QString folder = dir.filePath("c1");
    const int records = 150;
    ScanJournal main(folder);
    QVERIFY(main.begin({"c1", {}, {}, {}, {}}));
    for (int k = 0; k < records; ++k)
        QVERIFY(main.addSnapshot("{}", {QString("snapshots/%1.jpg").arg(k), "x", 1, "m", false, {}},
                                 k + 1));

    // The builder's thread stores cells while this one confirms uploads, each in transactions
    // of its own: nothing is lost and nothing fails for being busy.
    bool cellsOk = true;
    std::unique_ptr<QThread> builderThread(QThread::create([&] {
        ScanJournal journal(folder);
        for (int k = 0; k < records && cellsOk; ++k)
            cellsOk = journal.storeCells({{k, 0, k, 0, 0, 0, 8, 8, 1.0, 10, "m", {}}}, k + 1);
    }));
    builderThread->start();
    for (int k = 0; k < records; ++k)
        QVERIFY(main.confirmUpload(QString("snapshots/%1.jpg").arg(k), "e"));
    QVERIFY(builderThread->wait(30000));
    QVERIFY(cellsOk);
    const std::optional<JournalState> state = main.read();
    QCOMPARE(state->cells.size(), records);
    for (const JournalFile &file : state->files)
        QCOMPARE(file.etag, QString("e"));
}

void TestScanFolder::journalOfANewerVersionRefused() {
    QTemporaryDir dir;
    {
        ScanJournal journal(dir.path());
        QVERIFY(journal.isOpen());
    }
    {
        // A later version of the program wrote it.
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(dir.filePath(ScanJournal::fileName));
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec("UPDATE scan SET value = 99 WHERE key = 'version'"));
        db.close();
    }
    QSqlDatabase::removeDatabase("newer");
    ScanJournal journal(dir.path(), ScanJournal::Mode::OpenExisting);
    QVERIFY(!journal.isOpen());
    QVERIFY(journal.errorString().contains("newer version"));
    QVERIFY(!journal.read().has_value());
}

void TestScanFolder::builderGoesOnWhereItStopped_data() {
    QTest::addColumn<int>("stopAfter");
    const cv::Mat frame = texture(cv::Size(220, 160));
    const int count = int(scanCommands(frame, frame).size()) - 1;
    for (int k = 0; k < count; ++k)
        QTest::addRow("after command %d", k + 1) << k + 1;
}

void TestScanFolder::builderGoesOnWhereItStopped() {
    QFETCH(int, stopAfter);
    const cv::Mat frame = texture(cv::Size(220, 160), 3);
    const cv::Mat wide = texture(cv::Size(560, 340), 4);
    const auto commands = scanCommands(frame, wide);
    QTemporaryDir dir;

    // One builder runs the whole scan.
    QStringList whole;
    {
        BigBuilder builder("c1", storageIn(dir.filePath("whole")));
        QSignalSpy spy(&builder, &BigBuilder::uploadFile);
        for (const auto &command : commands)
            command(builder);
        whole = uploads(spy);
    }
    // Another is dropped after some command, and a new one on the same folder does the rest.
    QStringList interrupted;
    {
        auto first = std::make_unique<BigBuilder>("c1", storageIn(dir.filePath("cut")));
        QSignalSpy spy(first.get(), &BigBuilder::uploadFile);
        for (int k = 0; k < stopAfter; ++k)
            commands[size_t(k)](*first);
        interrupted = uploads(spy);
        first.reset();
        BigBuilder second("c1", storageIn(dir.filePath("cut")));
        QVERIFY(second.open());
        QSignalSpy spyAfter(&second, &BigBuilder::uploadFile);
        for (size_t k = size_t(stopAfter); k < commands.size(); ++k)
            commands[k](second);
        interrupted += uploads(spyAfter);
    }
    QCOMPARE(interrupted, whole);
    QCOMPARE(whole.last(), QString("scan.isd!"));
    const QStringList expected = package(dir.filePath("whole"));
    QVERIFY(expected.size() > 100);
    QCOMPARE(package(dir.filePath("cut")), expected);
    // The calibration the scan was started with went into the descriptor.
    QVERIFY(expected.first().contains(R"("magnification":40.0,"mpp":0.25)"));
}

void TestScanFolder::leftoversRemoved() {
    QTemporaryDir dir;
    const QString folder = dir.filePath("c1");
    const cv::Mat frame = texture(cv::Size(220, 160));
    {
        BigBuilder builder("c1", storageIn(folder));
        builder.storeNewFrame(frame, gridCells(2, 1, 64));
        builder.finishImage();
        builder.storeNewFrame(frame, gridCells(1, 1, 64, 4, 5)); // 2.jpg, pending
    }
    // Files of writes the program did not live to record, and one that is not the builder's.
    const QStringList leftovers{"3.jpg",    "4.jpg.part",   "00001.dat", "00001.dat.Ab3xZ9",
                                "scan.isd", "scan.isd.part"};
    for (const QString &name : leftovers)
        QVERIFY(scanfolder::writeAtomically(folder + "/" + name, "x", false));
    QVERIFY(scanfolder::writeAtomically(folder + "/notes.txt", "mine", false));

    BigBuilder builder("c1", storageIn(folder));
    QVERIFY(builder.open());
    QStringList files = QDir(folder).entryList(QDir::Files, QDir::Name);
    files.removeIf([](const QString &name) { return name.startsWith("journal.sqlite"); });
    // The archived cells of the closed part stay until the finish, as they would have.
    QCOMPARE(files, QStringList({"0.jpg", "00000.dat", "1.jpg", "2.jpg", "notes.txt"}));
    QCOMPARE(builder.pending().size(), std::size_t(1));
    QCOMPARE(builder.archiveCounter(), 1);
    QCOMPARE(builder.imageCounter(), 3);
}

void TestScanFolder::damagedCellLeftOut() {
    QTemporaryDir dir;
    const QString folder = dir.filePath("c1");
    const cv::Mat frame = texture(cv::Size(220, 160));
    {
        BigBuilder builder("c1", storageIn(folder));
        builder.storeNewFrame(frame, gridCells(3, 1, 64));
    }
    // A cell whose data never reached the disk before a power cut.
    QFile damaged(folder + "/1.jpg");
    QVERIFY(damaged.open(QIODevice::ReadWrite));
    QVERIFY(damaged.resize(100));
    damaged.close();

    BigBuilder builder("c1", storageIn(folder));
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("1 stored cells of .* are damaged"));
    QVERIFY(builder.open());
    QCOMPARE(builder.cells().size(), std::size_t(2));
    QVERIFY(!builder.cells().count(Point(1, 0)));
    builder.close();
    QCOMPARE(uploads(spy), QStringList({"00000.dat", "scan.isd!"}));
    QCOMPARE(names(readZip(folder + "/00000.dat")), QStringList({"0.jpg", "2.jpg"}));
    ScanJournal journal(folder, ScanJournal::Mode::OpenExisting);
    QCOMPARE(journal.read()->cells.size(), 2);
}

void TestScanFolder::anotherContainersFolderRefused() {
    QTemporaryDir dir;
    const QString folder = dir.filePath("c1");
    {
        BigBuilder builder("c1", storageIn(folder));
        builder.storeNewFrame(texture(cv::Size(220, 160)), gridCells(2, 1, 64));
    }
    BigBuilder builder("c2", storageIn(folder));
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("holds container \"c1\" not \"c2\""));
    QVERIFY(!builder.open());
    builder.storeNewFrame(texture(cv::Size(220, 160)), gridCells(2, 1, 64, 4, 3));
    builder.close();
    QCOMPARE(spy.size(), 0);
    ScanJournal journal(folder, ScanJournal::Mode::OpenExisting);
    QCOMPARE(journal.read()->cells.size(), 2);
}

void TestScanFolder::folderThatCannotBeMade() {
    QTemporaryDir dir;
    QVERIFY(scanfolder::writeAtomically(dir.filePath("file"), "x", false));
    BigBuilder builder("c1", storageIn(dir.filePath("file/c1")));
    QSignalSpy failed(&builder, &BigBuilder::storageFailed);
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No more cells are stored"));
    builder.storeNewFrame(texture(cv::Size(220, 160)), gridCells(2, 1, 64));
    builder.close();
    QCOMPARE(failed.size(), 1);
    QCOMPARE(spy.size(), 0);
}

void TestScanFolder::cellThatCannotBeWrittenStopsStoring() {
    QTemporaryDir dir;
    const QString folder = dir.filePath("c1");
    const cv::Mat frame = texture(cv::Size(220, 160));
    BigBuilder builder("c1", storageIn(folder));
    QSignalSpy failed(&builder, &BigBuilder::storageFailed);
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.storeNewFrame(frame, gridCells(2, 1, 64)); // 0.jpg, 1.jpg
    // The next cell's file cannot be made (a folder is in the way of its temporary name).
    QVERIFY(QDir().mkpath(folder + "/3.jpg.part"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No more cells are stored"));
    builder.storeNewFrame(frame, gridCells(3, 1, 64, 4, 4)); // 2.jpg, then 3.jpg fails
    builder.storeNewFrame(frame, gridCells(2, 1, 64, 4, 8)); // not stored
    QCOMPARE(failed.size(), 1);
    QVERIFY(failed.at(0).at(1).toString().contains("3.jpg"));
    // What was stored before and in the failing frame is intact, and goes out with the finish.
    QCOMPARE(builder.cells().size(), std::size_t(3));
    builder.finish(QString("1"), QString("10"));
    QCOMPARE(uploads(spy), QStringList({"00000.dat", "scan.isd!"}));
    QCOMPARE(names(readZip(folder + "/00000.dat")), QStringList({"0.jpg", "1.jpg", "2.jpg"}));
    ScanJournal journal(folder, ScanJournal::Mode::OpenExisting);
    QCOMPARE(journal.read()->cells.size(), 3);
}

void TestScanFolder::fullDiskStopsStoringAndFinishes() {
    QTemporaryDir dir;
    const QString folder = dir.filePath("c1");
    const cv::Mat frame = texture(cv::Size(220, 160));
    qint64 freeBytes = qint64(1) << 30;
    BigBuilder::Storage storage = storageIn(folder);
    storage.freeSpace = [&freeBytes](const QString &) {
        return freeBytes;
    };
    storage.reserveBytes = qint64(100) << 20;
    BigBuilder builder("c1", std::move(storage));
    QSignalSpy failed(&builder, &BigBuilder::storageFailed);
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.storeNewFrame(frame, gridCells(2, 1, 64));
    builder.addSnapshot(frame);
    // The disk fills up beyond the reserve the finish needs.
    freeBytes = qint64(99) << 20;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No more cells are stored"));
    builder.storeNewFrame(frame, gridCells(2, 1, 64, 4, 5));
    builder.addSnapshot(frame);
    freeBytes = qint64(1) << 30; // it stays stopped for this scan
    builder.storeNewFrame(frame, gridCells(2, 1, 64, 4, 5));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(builder.cells().size(), std::size_t(2));
    builder.finish(QVariant(), QVariant());
    QCOMPARE(uploads(spy), QStringList({"snapshots/2.jpg", "00000.dat", "scan.isd!"}));
    QCOMPARE(names(readZip(folder + "/00000.dat")), QStringList({"0.jpg", "1.jpg"}));
}

QTEST_MAIN(TestScanFolder)
#include "tst_scanfolder.moc"
