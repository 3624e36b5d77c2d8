// The scan package: archives, photos, the descriptor "scan.isd" and what finish leaves on disk.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "mosaic/bigbuilder.h"
#include "mosaic/zipwriter.h"
#include "tst_bigbuilder_util.h"

using namespace fixture;

namespace {

QString upload(const QSignalSpy &spy, int index) {
    return spy.at(index).at(1).toString() + (spy.at(index).at(3).toBool() ? " finish" : "");
}

QStringList uploads(const QSignalSpy &spy) {
    QStringList result;
    for (int i = 0; i < spy.size(); ++i)
        result.append(upload(spy, i));
    return result;
}

// The scan's files, without the journal's.
QStringList filesIn(const QString &dir) {
    QStringList files = QDir(dir).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    files.removeIf([](const QString &name) { return name.startsWith("journal.sqlite"); });
    files.sort();
    return files;
}

bool writeFile(const QString &path, const QByteArray &data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

class TestBigBuilderPackage : public QObject {
    Q_OBJECT

private slots:
    void descriptorExample();
    void layout_data();
    void layout();
    void variants_data();
    void variants();
    void archiveName_data();
    void archiveName();
    void archiveEntriesStoredWithCellContents();
    void zipFilesNamesEntries_data();
    void zipFilesNamesEntries();
    void zipFilesFailures();
    void zipFailureKeepsCellsPending();
    void unreadableCellFailsArchiveAndStaysPending();
    void pendingCellsWithoutFilesSendNoArchive();
    void snapshotFirstAction();
    void emptySnapshotRefused();
    void finishKeepsFilesStillToUpload();
    void finishAfterFinishImageSendsOnlyDescriptor();
    void finishArchivesPendingCellsFirst();
};

void TestBigBuilderPackage::descriptorExample() {
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    const cv::Mat frame = texture(cv::Size(800, 400));
    builder.storeNewFrame(frame,
                          {cell(Point(0, 0), cv::Rect(8, 8, 384, 384), cv::Point(0, 0)),
                           cell(Point(1, 0), cv::Rect(392, 8, 384, 384), cv::Point(384, 0))});
    builder.finishImage();
    builder.addSnapshot(frame);
    builder.finish(QString("0.25"), QString("40"));

    QCOMPARE(uploads(spy), QStringList({"00000.dat", "snapshots/2.jpg", "scan.isd finish"}));
    QCOMPARE(spy.at(2).at(2).toString(), builder.folderPath() + "/scan.isd");
    QCOMPARE(
        fileBytes(builder.folderPath() + "/scan.isd"),
        QByteArray(
            R"({"images":[{"height":384,"parts":[[0,0,"00000.dat/0.jpg"],[384,0,"00000.dat/1.jpg"]],)"
            R"("type":"stitched","width":768},{"path":"snapshots/2.jpg","rois":[{}],"type":"single"}],)"
            R"("layout":"horizontal","magnification":40.0,"mpp":0.25,"version":"1.0"})"));
}

void TestBigBuilderPackage::layout_data() {
    QTest::addColumn<int>("photos");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none") << 0 << "horizontal";
    QTest::newRow("four") << 4 << "horizontal";
    QTest::newRow("five") << 5 << "wrapped";
}

void TestBigBuilderPackage::layout() {
    QFETCH(int, photos);
    QFETCH(QString, expected);
    BigBuilder builder("c1");
    const cv::Mat photo = texture(cv::Size(64, 48));
    for (int i = 0; i < photos; ++i)
        builder.addSnapshot(photo);
    builder.finish(QVariant(), QVariant());
    const nlohmann::json document =
        nlohmann::json::parse(fileBytes(builder.folderPath() + "/scan.isd").toStdString());
    QCOMPARE(QString::fromStdString(document.at("layout").get<std::string>()), expected);
    QCOMPARE(document.at("images").size(), std::size_t(photos));
}

void TestBigBuilderPackage::variants_data() {
    QTest::addColumn<QVariant>("mpp");
    QTest::addColumn<QVariant>("magnification");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray head = R"({"images":[],"layout":"horizontal",)";
    QTest::newRow("invalid: left out") << QVariant() << QVariant() << head + R"("version":"1.0"})";
    QTest::newRow("empty and not a number: 0.0")
        << QVariant(QString("")) << QVariant(QString("abc"))
        << head + R"("magnification":0.0,"mpp":0.0,"version":"1.0"})";
    QTest::newRow("numbers") << QVariant(0.5) << QVariant(20)
                             << head + R"("magnification":20.0,"mpp":0.5,"version":"1.0"})";
    QTest::newRow("texts") << QVariant(QString("0.125")) << QVariant(QString("100"))
                           << head + R"("magnification":100.0,"mpp":0.125,"version":"1.0"})";
    QTest::newRow("only one valid") << QVariant() << QVariant(QString("10"))
                                    << head + R"("magnification":10.0,"version":"1.0"})";
    QTest::newRow("not finite: 0.0") << QVariant(QString("inf")) << QVariant(QString("nan"))
                                     << head + R"("magnification":0.0,"mpp":0.0,"version":"1.0"})";
}

void TestBigBuilderPackage::variants() {
    QFETCH(QVariant, mpp);
    QFETCH(QVariant, magnification);
    QFETCH(QByteArray, expected);
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.finish(mpp, magnification);
    QCOMPARE(uploads(spy), QStringList({"scan.isd finish"}));
    QCOMPARE(fileBytes(builder.folderPath() + "/scan.isd"), expected);
}

void TestBigBuilderPackage::archiveName_data() {
    QTest::addColumn<int>("counter");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first") << 0 << "00000.dat";
    QTest::newRow("42") << 42 << "00042.dat";
    QTest::newRow("last of five digits") << 99999 << "99999.dat";
    QTest::newRow("100000") << 100000 << "100000.dat";
}

void TestBigBuilderPackage::archiveName() {
    QFETCH(int, counter);
    QFETCH(QString, expected);
    QCOMPARE(BigBuilder::archiveName(counter), expected);
}

void TestBigBuilderPackage::archiveEntriesStoredWithCellContents() {
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.storeNewFrame(texture(cv::Size(220, 160)), gridCells(6, 2, 64));
    QHash<QString, QByteArray> files;
    for (const auto &[id, cellRecord] : builder.cells())
        files.insert(QFileInfo(cellRecord.path).fileName(), fileBytes(cellRecord.path));
    builder.finishImage();

    QCOMPARE(spy.size(), 1);
    bool ok = false;
    const QList<ZipEntry> entries = readZip(spy.at(0).at(2).toString(), &ok);
    QVERIFY(ok);
    // Point order: (0,0) (0,1) (1,0) (1,1) (2,0) (2,1) were stored as 0..5, column by column.
    QCOMPARE(names(entries), QStringList({"0.jpg", "1.jpg", "2.jpg", "3.jpg", "4.jpg", "5.jpg"}));
    for (const ZipEntry &entry : entries) {
        QCOMPARE(entry.method, int(ZIP_CM_STORE));
        QVERIFY(!entry.data.isEmpty());
        QCOMPARE(entry.data, files.value(entry.name));
    }
}

void TestBigBuilderPackage::zipFilesNamesEntries_data() {
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("files in the base folder")
        << QStringList{"0.jpg", "12.jpg"} << QStringList{"0.jpg", "12.jpg"};
    QTest::newRow("sub-folder keeps its relative path")
        << QStringList{"sub/7.jpg"} << QStringList{"sub/7.jpg"};
    QTest::newRow("backslashes become slashes")
        << QStringList{"a\\b.jpg"} << QStringList{"a/b.jpg"};
    QTest::newRow("UTF-8 names") << QStringList{"próbka ž.jpg"} << QStringList{"próbka ž.jpg"};
    QTest::newRow("no files") << QStringList{} << QStringList{};
}

void TestBigBuilderPackage::zipFilesNamesEntries() {
    QFETCH(QStringList, files);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("sub");
    QStringList paths;
    for (const QString &file : files) {
        paths.append(dir.filePath(file));
        QVERIFY(writeFile(paths.last(), file.toUtf8()));
    }
    QVERIFY(zipFiles(paths, dir.path(), dir.filePath("out.dat")));
    const QList<ZipEntry> entries = readZip(dir.filePath("out.dat"));
    QCOMPARE(names(entries), expected);
    for (int i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries[i].data, files[i].toUtf8());
        QCOMPARE(entries[i].method, int(ZIP_CM_STORE));
    }
}

void TestBigBuilderPackage::zipFilesFailures() {
    QTemporaryDir dir;
    const QString a = dir.filePath("a.jpg");
    QVERIFY(writeFile(a, "aaaa"));

    // The archive exists already: never overwritten.
    const QString existing = dir.filePath("existing.dat");
    QVERIFY(writeFile(existing, "old"));
    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QString("Failed to create zip file \"%1\"").arg(existing)));
    QVERIFY(!zipFiles({a}, dir.path(), existing));
    QCOMPARE(fileBytes(existing), QByteArray("old"));

    // Two files under one entry name.
    const QString twice = dir.filePath("twice.dat");
    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QString("Failed to add file \"%1\" to \"%2\"").arg(a, twice)));
    QVERIFY(!zipFiles({a, a}, dir.path(), twice));

    // A file that cannot be read: the archive is not written and not reported as written.
    const QString missing = dir.filePath("missing.jpg");
    const QString broken = dir.filePath("broken.dat");
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QString("^Failed to write zip file \"%1\"").arg(broken)));
    QVERIFY(!zipFiles({a, missing}, dir.path(), broken));
    QVERIFY(!QFile::exists(broken));
}

void TestBigBuilderPackage::zipFailureKeepsCellsPending() {
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    // A folder in the archive's way (a file would be taken for a leftover and removed).
    const QString blocked = builder.folderPath() + "/00000.dat";
    QVERIFY(QDir().mkpath(blocked));

    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QString("Failed to create zip file \"%1\"").arg(blocked)));
    QTest::ignoreMessage(QtWarningMsg, "Failed to create zip file");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No more cells are stored"));
    builder.storeNewFrame(texture(cv::Size(400, 360)), gridCells(101, 10, 32));
    QCOMPARE(spy.size(), 0);
    QVERIFY(builder.hasStorageFailed());
    QCOMPARE(builder.pending().size(), std::size_t(101));
    for (const auto &[id, cellRecord] : builder.cells())
        QVERIFY(cellRecord.containerPath.isEmpty()); // the failed archive is never named

    // The next archive takes them, under a new number.
    builder.finishImage();
    QCOMPARE(uploads(spy), QStringList({"00001.dat"}));
    QVERIFY(builder.pending().empty());
    QCOMPARE(readZip(builder.folderPath() + "/00001.dat").size(), 101);
    QCOMPARE(builder.images().at(0).at("parts").size(), std::size_t(101));
    QCOMPARE(builder.images().at(0).at("parts").at(0).at(2).get<std::string>(),
             std::string("00001.dat/0.jpg"));
}

void TestBigBuilderPackage::unreadableCellFailsArchiveAndStaysPending() {
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.storeNewFrame(texture(cv::Size(220, 160)), gridCells(3, 2, 64));
    // Cell 1.jpg turns into something that exists but cannot be read as a file.
    const QString odd = builder.cells().at(Point(0, 1)).path;
    QVERIFY(QFile::remove(odd));
    QVERIFY(QDir().mkdir(odd));

    const QString archive = builder.folderPath() + "/00000.dat";
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QString("^Failed to write zip file \"%1\"").arg(archive)));
    QTest::ignoreMessage(QtWarningMsg, "Failed to create zip file");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No more cells are stored"));
    QTest::ignoreMessage(QtWarningMsg, "3 cells of the part were not archived");
    builder.finishImage();
    QCOMPARE(spy.size(), 0);
    QVERIFY(!QFile::exists(archive));
    // The part's entry names no cell of the archive that was never written, but keeps its size.
    QCOMPARE(QString::fromStdString(BigBuilder::serialise(builder.images().at(0))),
             QString(R"({"height":128,"parts":[],"type":"stitched","width":128})"));
    // The closed part's cells cannot join a later archive: no entry would name them.
    QVERIFY(builder.pending().empty());
}

void TestBigBuilderPackage::pendingCellsWithoutFilesSendNoArchive() {
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.storeNewFrame(texture(cv::Size(220, 160)), gridCells(1, 1, 64));
    const QString path = builder.cells().at(Point(0, 0)).path;
    QVERIFY(QFile::remove(path));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QString("File \"%1\" does not exist").arg(path)));
    builder.finishImage();
    QCOMPARE(spy.size(), 0);
    QCOMPARE(builder.archiveCounter(), 0);
    QVERIFY(builder.pending().empty());
}

void TestBigBuilderPackage::snapshotFirstAction() {
    BigBuilder builder("c7");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.addSnapshot(texture(cv::Size(64, 48)));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QString("c7"));
    QCOMPARE(spy.at(0).at(1).toString(), QString("snapshots/0.jpg"));
    QCOMPARE(spy.at(0).at(2).toString(), builder.folderPath() + "/0.jpg");
    QCOMPARE(spy.at(0).at(3).toBool(), false);
    QVERIFY(QFile::exists(builder.folderPath() + "/0.jpg"));
    QCOMPARE(BigBuilder::serialise(builder.images()),
             std::string(R"([{"path":"snapshots/0.jpg","rois":[{}],"type":"single"}])"));
}

void TestBigBuilderPackage::emptySnapshotRefused() {
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    QTest::ignoreMessage(QtWarningMsg, "Cannot add an empty snapshot");
    builder.addSnapshot(cv::Mat());
    QCOMPARE(spy.size(), 0);
    QVERIFY(builder.images().empty());
    QCOMPARE(builder.imageCounter(), 0);
}

void TestBigBuilderPackage::finishKeepsFilesStillToUpload() {
    BigBuilder builder("c1");
    const cv::Mat frame = texture(cv::Size(220, 160));
    builder.storeNewFrame(frame, gridCells(2, 1, 64)); // 0.jpg, 1.jpg
    builder.finishImage();                             // 00000.dat
    builder.addSnapshot(frame);                        // 2.jpg, uploaded from its own file
    builder.storeNewFrame(frame, gridCells(1, 1, 64)); // 3.jpg
    builder.finish(QString("0.5"), QString("20"));     // 00001.dat, scan.isd

    // Archived cell files go; the photo, the archives and the descriptor stay for their uploads.
    QCOMPARE(filesIn(builder.folderPath()),
             QStringList({"00000.dat", "00001.dat", "2.jpg", "scan.isd"}));
}

void TestBigBuilderPackage::finishAfterFinishImageSendsOnlyDescriptor() {
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.storeNewFrame(texture(cv::Size(220, 160)), gridCells(2, 1, 64));
    builder.finishImage();
    spy.clear();
    builder.finish(QVariant(), QVariant());
    QCOMPARE(uploads(spy), QStringList({"scan.isd finish"}));
    QCOMPARE(builder.images().size(), std::size_t(1));
}

void TestBigBuilderPackage::finishArchivesPendingCellsFirst() {
    BigBuilder builder("c1");
    QSignalSpy spy(&builder, &BigBuilder::uploadFile);
    builder.storeNewFrame(texture(cv::Size(220, 160)), gridCells(2, 1, 64));
    builder.finish(QVariant(), QVariant());
    QCOMPARE(uploads(spy), QStringList({"00000.dat", "scan.isd finish"}));
    QVERIFY(builder.cells().empty());
    QCOMPARE(
        fileBytes(builder.folderPath() + "/scan.isd"),
        QByteArray(
            R"({"images":[{"height":64,"parts":[[0,0,"00000.dat/0.jpg"],[64,0,"00000.dat/1.jpg"]],)"
            R"("type":"stitched","width":128}],"layout":"horizontal","version":"1.0"})"));
}

QTEST_GUILESS_MAIN(TestBigBuilderPackage)
#include "tst_bigbuilder_package.moc"
