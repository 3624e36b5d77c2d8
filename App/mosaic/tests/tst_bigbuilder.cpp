// The full-resolution cell store: storing, replacing and erasing cells, parts, the alignment
// offset and the stitched entries of a part.

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgproc.hpp>

#include "mosaic/bigbuilder.h"
#include "mosaic/imageio.h"
#include "tst_bigbuilder_util.h"

using namespace fixture;

namespace {

QString fileName(const QString &path) {
    return QFileInfo(path).fileName();
}

// Writes image (RGB) as a lossless file the builder can load as a stored cell.
QString writePng(const QTemporaryDir &dir, const QString &name, const cv::Mat &rgb) {
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    const QString path = dir.filePath(name);
    saveImage(bgr, path);
    return path;
}

CellRecord record(const QString &path, cv::Rect rect, double score,
                  const QString &containerPath = {}) {
    CellRecord result;
    result.path = path;
    result.containerPath = containerPath;
    result.rect = rect;
    result.score = score;
    return result;
}

} // namespace

class TestBigBuilder : public QObject {
    Q_OBJECT

private slots:
    void sameCellStoredTwice();
    void eraseKeepsOtherCellsAndForgetsUnknown();
    void eraseAfterArchiving();
    void pendingArchivedAfterFrame();
    void finishImageWithNothingStored();
    void fileNamesCountAcrossParts();
    void saveToTempSwapsChannels();
    void loadCachedDecodesOnceAndShares();
    void imageCacheDropsLeastRecentlyUsed();
    void anchorChoice_data();
    void anchorChoice();
    void offsetRecovered_data();
    void offsetRecovered();
    void borderCellKeepsClampedOffset();
    void templateFailuresGiveZeroOffset();
    void stitchedImage_data();
    void stitchedImage();
};

void TestBigBuilder::sameCellStoredTwice() {
    BigBuilder builder("c1");
    const cv::Mat frame = texture(cv::Size(400, 300));
    const QList<FrameCellInfo> cells{
        cell(Point(1, 1), cv::Rect(50, 50, 64, 64), cv::Point(64, 64))};

    builder.storeNewFrame(frame, cells);
    const QString first = builder.cells().at(Point(1, 1)).path;
    QCOMPARE(fileName(first), QString("0.jpg"));
    QVERIFY(QFile::exists(first));

    builder.storeNewFrame(frame, cells);
    const CellRecord &second = builder.cells().at(Point(1, 1));
    QVERIFY(!QFile::exists(first));
    QCOMPARE(fileName(second.path), QString("1.jpg"));
    QVERIFY(QFile::exists(second.path));
    QCOMPARE(builder.imageCounter(), 2);
    QCOMPARE(builder.pending().size(), std::size_t(1));
    QCOMPARE(builder.cells().size(), std::size_t(1));
    QCOMPARE(second.rect, cv::Rect(64, 64, 64, 64));
    QVERIFY(second.score > 0);
}

void TestBigBuilder::eraseKeepsOtherCellsAndForgetsUnknown() {
    BigBuilder builder("c1");
    builder.storeNewFrame(texture(cv::Size(200, 100)), gridCells(2, 1, 64));
    const QString erased = builder.cells().at(Point(0, 0)).path;

    builder.eraseFrame(Point(7, 7)); // never stored: nothing happens
    QCOMPARE(builder.cells().size(), std::size_t(2));

    builder.eraseFrame(Point(0, 0));
    QVERIFY(!QFile::exists(erased));
    QCOMPARE(builder.cells().size(), std::size_t(1));
    QCOMPARE(builder.pending(), BigBuilder::PointSet{Point(1, 0)});
    builder.eraseFrame(Point(0, 0)); // twice: still nothing else goes
    QCOMPARE(builder.cells().size(), std::size_t(1));
}

void TestBigBuilder::eraseAfterArchiving() {
    BigBuilder builder("c1");
    QSignalSpy uploads(&builder, &BigBuilder::uploadFile);
    builder.storeNewFrame(texture(cv::Size(400, 360)), gridCells(101, 10, 32));
    QCOMPARE(uploads.size(), 1);
    const QString archive = uploads.at(0).at(2).toString();
    const QString erased = builder.cells().at(Point(0, 0)).path;

    builder.eraseFrame(Point(0, 0));
    QVERIFY(!QFile::exists(erased));
    builder.finishImage();

    QCOMPARE(uploads.size(), 1); // nothing was pending any more
    QCOMPARE(builder.images().size(), std::size_t(1));
    const nlohmann::json &parts = builder.images().at(0).at("parts");
    QCOMPARE(parts.size(), std::size_t(100));
    for (const auto &part : parts)
        QVERIFY(part.at(2).get<std::string>() != "00000.dat/0.jpg");
    // The archive already sent keeps the erased cell's image.
    QVERIFY(names(readZip(archive)).contains("0.jpg"));
}

void TestBigBuilder::pendingArchivedAfterFrame() {
    BigBuilder builder("c1");
    QSignalSpy uploads(&builder, &BigBuilder::uploadFile);
    const cv::Mat frame = texture(cv::Size(400, 360));
    builder.storeNewFrame(frame, gridCells(100, 10, 32));
    QCOMPARE(builder.pending().size(), std::size_t(100));
    QCOMPARE(uploads.size(), 0);

    builder.storeNewFrame(frame,
                          {cell(Point(10, 0), cv::Rect(4 + 320, 4, 32, 32), cv::Point(320, 0))});
    QVERIFY(builder.pending().empty());
    QCOMPARE(uploads.size(), 1);
    QCOMPARE(uploads.at(0).at(0).toString(), QString("c1"));
    QCOMPARE(uploads.at(0).at(1).toString(), QString("00000.dat"));
    QCOMPARE(uploads.at(0).at(2).toString(), builder.folderPath() + "/00000.dat");
    QCOMPARE(uploads.at(0).at(3).toBool(), false);
    QCOMPARE(readZip(builder.folderPath() + "/00000.dat").size(), 101);
    for (const auto &[id, cellRecord] : builder.cells())
        QCOMPARE(cellRecord.containerPath, "00000.dat/" + fileName(cellRecord.path));
}

void TestBigBuilder::finishImageWithNothingStored() {
    BigBuilder builder("c1");
    QSignalSpy uploads(&builder, &BigBuilder::uploadFile);
    builder.finishImage();
    builder.finishImage();
    QVERIFY(builder.images().empty());
    QCOMPARE(uploads.size(), 0);
    QCOMPARE(builder.archiveCounter(), 0);

    builder.storeNewFrame(texture(cv::Size(200, 100)), gridCells(1, 1, 64));
    builder.finishImage();
    builder.finishImage();
    QCOMPARE(builder.images().size(), std::size_t(1));
    QCOMPARE(uploads.size(), 1);
    QVERIFY(builder.cells().empty());
}

void TestBigBuilder::fileNamesCountAcrossParts() {
    BigBuilder builder("c1");
    QSignalSpy uploads(&builder, &BigBuilder::uploadFile);
    const cv::Mat frame = texture(cv::Size(200, 100));

    builder.storeNewFrame(frame, gridCells(2, 1, 64));
    builder.finishImage();
    builder.addSnapshot(frame);
    // The next part keys its cells afresh: the same cell ID is a new cell there.
    builder.storeNewFrame(frame, gridCells(1, 1, 64));
    builder.finishImage();

    QCOMPARE(builder.imageCounter(), 4);
    QCOMPARE(uploads.size(), 3);
    QCOMPARE(uploads.at(0).at(1).toString(), QString("00000.dat"));
    QCOMPARE(uploads.at(1).at(1).toString(), QString("snapshots/2.jpg"));
    QCOMPARE(uploads.at(2).at(1).toString(), QString("00001.dat"));
    QCOMPARE(names(readZip(uploads.at(0).at(2).toString())), QStringList({"0.jpg", "1.jpg"}));
    QCOMPARE(names(readZip(uploads.at(2).at(2).toString())), QStringList({"3.jpg"}));
    QCOMPARE(
        BigBuilder::serialise(builder.images()),
        std::string(
            R"([{"height":64,"parts":[[0,0,"00000.dat/0.jpg"],[64,0,"00000.dat/1.jpg"]],)"
            R"("type":"stitched","width":128},)"
            R"({"path":"snapshots/2.jpg","rois":[{}],"type":"single"},)"
            R"({"height":64,"parts":[[0,0,"00001.dat/3.jpg"]],"type":"stitched","width":64}])"));
}

void TestBigBuilder::saveToTempSwapsChannels() {
    BigBuilder builder("c1");
    const cv::Mat red(32, 48, CV_8UC3, cv::Scalar(255, 0, 0)); // R, G, B
    const QString expected = builder.folderPath() + "/0.jpg";
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QString("Saving image to \"%1\"").arg(expected)));
    QCOMPARE(builder.saveToTemp(red), expected);
    QCOMPARE(builder.imageCounter(), 1);

    const cv::Mat file = loadImage(expected); // B, G, R
    QCOMPARE(file.size(), red.size());
    const cv::Scalar mean = cv::mean(file);
    QVERIFY(mean[0] < 5 && mean[1] < 5 && mean[2] > 250);
    QCOMPARE(fileName(builder.saveToTemp(red)), QString("1.jpg"));
}

void TestBigBuilder::loadCachedDecodesOnceAndShares() {
    QTemporaryDir dir;
    BigBuilder builder("c1");
    const cv::Mat rgb(20, 30, CV_8UC3, cv::Scalar(10, 20, 200));
    const QString path = writePng(dir, "cell.png", rgb);

    const cv::Mat first = builder.loadCached(path);
    QCOMPARE(cv::norm(first, rgb, cv::NORM_INF), 0.0);
    QVERIFY(builder.cache().contains(path));
    QFile::remove(path); // a hit never touches the file
    const cv::Mat second = builder.loadCached(path);
    QCOMPARE(second.data, first.data);

    const QString missing = dir.filePath("missing.jpg");
    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QString("File \"%1\" does not exist").arg(missing)));
    QVERIFY(builder.loadCached(missing).empty());
    QVERIFY(!builder.cache().contains(missing));
}

void TestBigBuilder::imageCacheDropsLeastRecentlyUsed() {
    const cv::Mat image(2, 2, CV_8UC3, cv::Scalar::all(1));
    ImageCache cache(3);
    cache.insert("a", image);
    cache.insert("b", image);
    cache.insert("c", image);
    cv::Mat found;
    QVERIFY(cache.find("a", found)); // a becomes the most recent
    cache.insert("d", image);        // b is the least recent now
    QCOMPARE(cache.paths(), QStringList({"d", "a", "c"}));
    QVERIFY(!cache.find("b", found));

    const cv::Mat other(3, 3, CV_8UC3, cv::Scalar::all(2));
    cache.insert("c", other); // same path: replaced, not added
    QCOMPARE(cache.paths(), QStringList({"c", "d", "a"}));
    QVERIFY(cache.find("c", found));
    QCOMPARE(found.data, other.data);

    ImageCache full;
    QCOMPARE(full.capacity(), std::size_t(100));
    for (int i = 0; i <= 100; ++i)
        full.insert(QString::number(i), image);
    QCOMPARE(full.size(), std::size_t(100));
    QVERIFY(!full.contains("0"));
    QVERIFY(full.contains("1") && full.contains("100"));
}

void TestBigBuilder::anchorChoice_data() {
    QTest::addColumn<double>("scoreA");
    QTest::addColumn<double>("scoreB");
    QTest::addColumn<bool>("aFirst");
    QTest::addColumn<bool>("store");
    QTest::addColumn<cv::Point>("expected");

    // Matching A's stored image gives (1, 0), B's gives (0, 2).
    QTest::newRow("equal scores: the first in the list")
        << 12.5 << 12.5 << true << true << cv::Point(1, 0);
    QTest::newRow("equal scores, other order") << 12.5 << 12.5 << false << true << cv::Point(0, 2);
    QTest::newRow("larger score later in the list")
        << 3.0 << 7.0 << true << true << cv::Point(0, 2);
    QTest::newRow("score zero never anchors") << 0.0 << 0.0 << true << true << cv::Point(0, 0);
    QTest::newRow("zero beside a positive score") << 0.0 << 4.0 << true << true << cv::Point(0, 2);
    QTest::newRow("store flag plays no part") << 12.5 << 3.0 << true << false << cv::Point(1, 0);
}

void TestBigBuilder::anchorChoice() {
    QFETCH(double, scoreA);
    QFETCH(double, scoreB);
    QFETCH(bool, aFirst);
    QFETCH(bool, store);
    QFETCH(cv::Point, expected);

    QTemporaryDir dir;
    const cv::Mat frame = texture(cv::Size(400, 300));
    const cv::Rect rectA(50, 50, 64, 64);
    const cv::Rect rectB(200, 100, 64, 64);
    BigBuilder builder("c1");
    builder.storeCell(Point(0, 0), record(writePng(dir, "a.png", frame(rectA + cv::Point(1, 0))),
                                          cv::Rect(0, 0, 64, 64), scoreA));
    builder.storeCell(Point(1, 0), record(writePng(dir, "b.png", frame(rectB + cv::Point(0, 2))),
                                          cv::Rect(64, 0, 64, 64), scoreB));

    const FrameCellInfo a = cell(Point(0, 0), rectA, cv::Point(0, 0), store);
    const FrameCellInfo b = cell(Point(1, 0), rectB, cv::Point(64, 0), store);
    const FrameCellInfo unknown =
        cell(Point(5, 5), cv::Rect(300, 200, 64, 64), cv::Point(320, 320));
    const QList<FrameCellInfo> cells =
        aFirst ? QList<FrameCellInfo>{unknown, a, b} : QList<FrameCellInfo>{unknown, b, a};
    QCOMPARE(builder.alignmentOffset(frame, cells), expected);
    if (expected == cv::Point(0, 0))
        QCOMPARE(builder.cache().size(), std::size_t(0)); // no anchor, nothing matched
}

void TestBigBuilder::offsetRecovered_data() {
    QTest::addColumn<cv::Point>("shift");
    QTest::newRow("(2, -1)") << cv::Point(2, -1);
    QTest::newRow("none") << cv::Point(0, 0);
    QTest::newRow("(-3, 3)") << cv::Point(-3, 3);
    QTest::newRow("(3, -3)") << cv::Point(3, -3);
    QTest::newRow("(-1, 2)") << cv::Point(-1, 2);
}

void TestBigBuilder::offsetRecovered() {
    QFETCH(cv::Point, shift);

    // Mosaic coordinates are the world image's pixels; frames are cut from it.
    const cv::Mat world = texture(cv::Size(1000, 800), 7);
    const cv::Point origin1(100, 100);
    const cv::Point origin2(140, 130);
    const cv::Size cellSize(160, 160);
    const QList<cv::Point> positions{{250, 250}, {410, 250}, {570, 250}};

    BigBuilder builder("c1");
    QList<FrameCellInfo> first;
    for (int k = 0; k < 2; ++k)
        first.append(cell(Point(k, 0), cv::Rect(positions[k] - origin1, cellSize), positions[k]));
    builder.storeNewFrame(world(cv::Rect(origin1, cv::Size(600, 500))).clone(), first);

    // The second frame's placement is off by shift: each cell's content lies at rect + shift.
    const cv::Mat frame2 = world(cv::Rect(origin2, cv::Size(600, 500))).clone();
    QList<FrameCellInfo> second;
    for (int k = 0; k < 3; ++k)
        second.append(
            cell(Point(k, 0), cv::Rect(positions[k] - origin2 - shift, cellSize), positions[k]));
    QCOMPARE(builder.alignmentOffset(frame2, second), shift);

    builder.storeNewFrame(frame2, second);
    QCOMPARE(builder.cells().size(), std::size_t(3));
    for (int k = 0; k < 3; ++k) {
        const CellRecord &stored = builder.cells().at(Point(k, 0));
        QCOMPARE(stored.rect, cv::Rect(positions[k], cellSize));
        QCOMPARE(placeOf(readRgb(stored.path), world, cv::Rect(positions[k], cellSize)),
                 cv::Point(0, 0));
    }
}

void TestBigBuilder::borderCellKeepsClampedOffset() {
    const cv::Mat world = texture(cv::Size(1000, 800), 9);
    const cv::Point origin1(100, 100);
    const cv::Point origin2(140, 130);
    const cv::Size cellSize(160, 160);
    const cv::Point anchorPosition(250, 250);
    const cv::Point shift(3, -2);

    BigBuilder builder("c1");
    builder.storeNewFrame(
        world(cv::Rect(origin1, cv::Size(600, 500))).clone(),
        {cell(Point(1, 1), cv::Rect(anchorPosition - origin1, cellSize), anchorPosition)});

    const cv::Mat frame2 = world(cv::Rect(origin2, cv::Size(600, 500))).clone();
    // One pixel from the right and the top edge: only (1, -1) of the correction fits.
    const cv::Rect border(600 - 160 - 1, 1, 160, 160);
    const cv::Rect outside(700, 0, 160, 160);
    const QList<FrameCellInfo> cells{
        cell(Point(1, 1), cv::Rect(anchorPosition - origin2 - shift, cellSize), anchorPosition),
        cell(Point(8, 8), outside, cv::Point(2000, 0)),
        cell(Point(9, 0), border, cv::Point(580, 130)),
    };
    QTest::ignoreMessage(QtWarningMsg, "Cell 8 8 lies outside the frame");
    builder.storeNewFrame(frame2, cells);

    QCOMPARE(builder.cells().size(), std::size_t(2));
    QVERIFY(!builder.cells().count(Point(8, 8)));
    const CellRecord &anchor = builder.cells().at(Point(1, 1));
    QCOMPARE(placeOf(readRgb(anchor.path), world, cv::Rect(anchorPosition, cellSize)),
             cv::Point(0, 0));
    const CellRecord &edge = builder.cells().at(Point(9, 0));
    QCOMPARE(edge.rect, cv::Rect(580, 130, 160, 160));
    // Within the frame only: the place found is relative to the clamped cut.
    QCOMPARE(placeOf(readRgb(edge.path), frame2, border + cv::Point(1, -1)), cv::Point(0, 0));
}

void TestBigBuilder::templateFailuresGiveZeroOffset() {
    QTemporaryDir dir;
    const cv::Mat frame = texture(cv::Size(400, 300));
    const QList<FrameCellInfo> cells{cell(Point(0, 0), cv::Rect(50, 50, 64, 64), cv::Point(0, 0))};

    {
        // The anchor's file was never written and is not cached.
        BigBuilder builder("c1");
        const QString missing = dir.filePath("never.jpg");
        builder.storeCell(Point(0, 0), record(missing, cv::Rect(0, 0, 64, 64), 5.0));
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QString("File \"%1\" does not exist").arg(missing)));
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QString("Template image \"%1\" is empty").arg(missing)));
        QCOMPARE(builder.alignmentOffset(frame, cells), cv::Point(0, 0));
    }
    {
        // The search window would reach outside the frame.
        BigBuilder builder("c1");
        builder.storeCell(Point(0, 0), record(writePng(dir, "a.png", frame(cv::Rect(1, 1, 64, 64))),
                                              cv::Rect(0, 0, 64, 64), 5.0));
        QTest::ignoreMessage(QtDebugMsg, "An error occured while matching template");
        QCOMPARE(builder.alignmentOffset(
                     frame, {cell(Point(0, 0), cv::Rect(1, 1, 64, 64), cv::Point(0, 0))}),
                 cv::Point(0, 0));
    }
    {
        // The stored image is larger than the search window.
        BigBuilder builder("c1");
        builder.storeCell(Point(0, 0),
                          record(writePng(dir, "big.png", frame(cv::Rect(40, 40, 100, 100))),
                                 cv::Rect(0, 0, 100, 100), 5.0));
        QTest::ignoreMessage(QtDebugMsg, "An error occured while matching template");
        QCOMPARE(builder.alignmentOffset(frame, cells), cv::Point(0, 0));
        // The frame is still stored, at the live builder's placement.
        QTest::ignoreMessage(QtDebugMsg, "An error occured while matching template");
        builder.storeNewFrame(frame, cells);
        QCOMPARE(
            placeOf(readRgb(builder.cells().at(Point(0, 0)).path), frame, cv::Rect(50, 50, 64, 64)),
            cv::Point(0, 0));
    }
}

void TestBigBuilder::stitchedImage_data() {
    // Records as "i j x y width height containerPath" separated by ";" (containerPath may be "-").
    QTest::addColumn<QString>("records");
    QTest::addColumn<QString>("expected");
    QTest::newRow("two records")
        << "0 0 0 0 384 384 00000.dat/0.jpg; 1 0 384 0 384 380 00000.dat/1.jpg"
        << R"({"height":384,"parts":[[0,0,"00000.dat/0.jpg"],[384,0,"00000.dat/1.jpg"]],"type":"stitched","width":768})";
    QTest::newRow("single cell part")
        << "3 2 1152 768 384 384 00003.dat/7.jpg"
        << R"({"height":384,"parts":[[0,0,"00003.dat/7.jpg"]],"type":"stitched","width":384})";
    QTest::newRow("unarchived cell counts for the size only")
        << "0 0 0 0 100 100 -; 1 0 100 0 100 120 00000.dat/1.jpg"
        << R"({"height":120,"parts":[[100,0,"00000.dat/1.jpg"]],"type":"stitched","width":200})";
    QTest::newRow("point order: x first, then y")
        << "1 0 100 0 100 100 00000.dat/2.jpg; 0 5 0 500 100 100 00000.dat/1.jpg; 0 1 0 100 100 "
           "100 00000.dat/3.jpg"
        << R"({"height":600,"parts":[[0,100,"00000.dat/3.jpg"],[0,500,"00000.dat/1.jpg"],[100,0,"00000.dat/2.jpg"]],"type":"stitched","width":200})";
    QTest::newRow("negative coordinates")
        << "-2 -1 -768 -384 384 384 00000.dat/0.jpg; 0 0 0 0 384 384 00000.dat/1.jpg"
        << R"({"height":768,"parts":[[0,0,"00000.dat/0.jpg"],[768,384,"00000.dat/1.jpg"]],"type":"stitched","width":1152})";
}

void TestBigBuilder::stitchedImage() {
    QFETCH(QString, records);
    QFETCH(QString, expected);

    BigBuilder builder("c1");
    for (const QString &text : records.split(';')) {
        const QStringList f = text.trimmed().split(' ');
        builder.storeCell(Point(f[0].toInt(), f[1].toInt()),
                          record("/nonexistent/x.jpg",
                                 cv::Rect(f[2].toInt(), f[3].toInt(), f[4].toInt(), f[5].toInt()),
                                 1.0, f[6] == "-" ? QString() : f[6]));
    }
    QCOMPARE(QString::fromStdString(BigBuilder::serialise(builder.stitchedImage())), expected);
}

QTEST_GUILESS_MAIN(TestBigBuilder)
#include "tst_bigbuilder.moc"
