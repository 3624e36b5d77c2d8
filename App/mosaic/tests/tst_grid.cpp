#include "mosaic/mosaicgrid.h"

#include <QTest>

class TestGrid : public QObject {
    Q_OBJECT

private slots:
    void coveredCells_data();
    void coveredCells();
    void coveredCellsOrderAndOffsets();
    void tooSmallFrameCoversNothing();
    void frameCells();
    void centreWeights_data();
    void centreWeights();
    void regionInsideIsView();
    void regionHalfOutside();
    void regionOfEmptyCanvas();
    void copyRegionOverReusedBuffer_data();
    void copyRegionOverReusedBuffer();
    void includeGrowsByDoubling();
    void includeInsideUsedChangesNothing();
    void growthKeepsDrawnPixels();
    void updateBounds();
    void updateBoundsEmptyDoesNotShrink();
    void floorDivision_data();
    void floorDivision();
};

void TestGrid::coveredCells_data() {
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<int>("cols");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("firstColumn");
    QTest::addColumn<int>("lastColumn");
    QTest::addColumn<int>("firstRow");
    QTest::addColumn<int>("lastRow");
    // Column 0 is not 3 px inside; row 4 would end at 480 > 477.
    QTest::newRow("640x480 at origin") << 0. << 0. << 640 << 480 << 1 << 5 << 1 << 3;
    QTest::newRow("first column at -5") << -5. << 0. << 640 << 480 << 0 << 5 << 1 << 3;
    // 96*0 = 0 lies 3 px inside a frame at -3, so column 0 is the first.
    QTest::newRow("left edge exactly 3 inside") << -3. << -3. << 640 << 480 << 0 << 5 << 0 << 3;
    QTest::newRow("left edge 2 inside") << -2. << -2. << 640 << 480 << 1 << 5 << 1 << 3;
    // Columns need strictly less, rows allow equality: 96*5 = 480 <= 483 - 3.
    QTest::newRow("row end equal") << 0. << 0. << 640 << 483 << 1 << 5 << 1 << 4;
    QTest::newRow("column end equal") << 0. << 0. << 579 << 480 << 1 << 4 << 1 << 3;
    QTest::newRow("column end one more") << 0. << 0. << 580 << 480 << 1 << 5 << 1 << 3;
    QTest::newRow("negative mosaic") << -400.4 << -300.6 << 768 << 640 << -4 << 2 << -3 << 2;
    QTest::newRow("rounded half to even") << 2.5 << 0. << 640 << 480 << 1 << 5 << 1 << 3;
}

void TestGrid::coveredCells() {
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(int, cols);
    QFETCH(int, rows);
    QFETCH(int, firstColumn);
    QFETCH(int, lastColumn);
    QFETCH(int, firstRow);
    QFETCH(int, lastRow);
    const QList<LiveCellInfo> cells = ::coveredCells({x, y}, {cols, rows});
    QCOMPARE(cells.size(), (lastColumn - firstColumn + 1) * (lastRow - firstRow + 1));
    QCOMPARE(cells.first().cell_id, Point(firstColumn, firstRow));
    QCOMPARE(cells.last().cell_id, Point(lastColumn, lastRow));
    for (const LiveCellInfo &cell : cells) {
        // Every cell keeps the margins the full-resolution cut relies on.
        QVERIFY(cell.rect.x >= 2.5);
        QVERIFY(cell.rect.y >= 2.5);
        QVERIFY(cell.rect.x + 96 <= cols - 2.5);
        QVERIFY(cell.rect.y + 96 <= rows - 2.5);
        QVERIFY(cell.store);
    }
}

void TestGrid::coveredCellsOrderAndOffsets() {
    const QList<LiveCellInfo> cells = ::coveredCells({10.25, -7.75}, {640, 480});
    QList<Point> expected;
    for (int i = 1; i <= 5; ++i)
        for (int j = 0; j <= 3; ++j)
            expected.append(Point(i, j));
    QList<Point> ids;
    for (const LiveCellInfo &cell : cells)
        ids.append(cell.cell_id);
    QCOMPARE(ids, expected);
    // Offsets come from the unrounded position.
    QCOMPARE(cells[0].rect, cv::Rect2d(96 - 10.25, 0 + 7.75, 96, 96));
    QCOMPARE(cells[5].rect, cv::Rect2d(192 - 10.25, 96 + 7.75, 96, 96));
}

void TestGrid::tooSmallFrameCoversNothing() {
    for (double x = -200; x <= 200; x += 7.3) {
        for (double y = -150; y <= 150; y += 11.1) {
            QVERIFY(::coveredCells({x, y}, {102, 500}).isEmpty());
            QVERIFY(::coveredCells({x, y}, {500, 101}).isEmpty());
        }
    }
    // The smallest sizes that can cover a cell do so somewhere.
    QCOMPARE(::coveredCells({-3, -3}, {103, 102}).size(), 1);
}

void TestGrid::frameCells() {
    const QList<LiveCellInfo> live = ::coveredCells({0, 0}, {640, 480});
    const QList<FrameCellInfo> full = toFrameCells(live, {640, 480}, {2560, 1920});
    QCOMPARE(full.size(), live.size());
    const FrameCellInfo &first = full.first();
    QCOMPARE(first.cell_id, Point(1, 1));
    QCOMPARE(first.rect, cv::Rect(384, 384, 384, 384));
    QCOMPARE(first.position, cv::Point(384, 384));
    QVERIFY(first.store);

    // Unequal, non-integer scales truncate both the offset and the cell size.
    const QList<LiveCellInfo> moved = ::coveredCells({1.5, 2.25}, {768, 640});
    const QList<FrameCellInfo> scaled = toFrameCells(moved, {768, 640}, {2592, 1944});
    const double sx = 2592. / 768, sy = 1944. / 640;
    for (qsizetype k = 0; k < moved.size(); ++k) {
        const FrameCellInfo &cell = scaled[k];
        QCOMPARE(cell.rect.width, int(96 * sx));
        QCOMPARE(cell.rect.height, int(96 * sy));
        QCOMPARE(cell.rect.x, int(moved[k].rect.x * sx));
        QCOMPARE(cell.rect.y, int(moved[k].rect.y * sy));
        QCOMPARE(cell.position,
                 cv::Point(cell.cell_id.x * int(96 * sx), cell.cell_id.y * int(96 * sy)));
        QVERIFY((cell.rect & cv::Rect(0, 0, 2592, 1944)) == cell.rect);
    }
}

void TestGrid::centreWeights_data() {
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("weight");
    QTest::newRow("centre") << 320 << 240 << 255;
    QTest::newRow("corner") << 0 << 0 << 1;
    QTest::newRow("inner point") << 144 << 144 << 132;
    QTest::newRow("far corner") << 639 << 479 << 2;
}

void TestGrid::centreWeights() {
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(int, weight);
    QCOMPARE(centreWeight(x, y, 640, 480), weight);
}

void TestGrid::regionInsideIsView() {
    MosaicCanvas canvas;
    canvas.include(cv::Rect(-50, -40, 200, 100));
    cv::Mat view = canvas.region(cv::Rect(-50, -40, 20, 10));
    view.setTo(cv::Scalar(1, 2, 3));
    QCOMPARE(canvas.image.at<cv::Vec3b>(-40 + canvas.origin.y, -50 + canvas.origin.x),
             cv::Vec3b(1, 2, 3));
}

void TestGrid::regionHalfOutside() {
    MosaicCanvas canvas;
    canvas.include(cv::Rect(0, 0, 100, 100)); // image 200 x 200, origin (50, 50)
    QCOMPARE(canvas.image.size(), cv::Size(200, 200));
    QCOMPARE(canvas.origin, cv::Point(50, 50));
    canvas.image.setTo(cv::Scalar(10, 20, 30));
    const cv::Mat before = canvas.image.clone();

    // Starts 100 px left of the canvas's extent, which begins at mosaic -50.
    cv::Mat region = canvas.region(cv::Rect(-150, 0, 200, 50));
    QCOMPARE(region.size(), cv::Size(200, 50));
    QCOMPARE(region.type(), CV_8UC3);
    QCOMPARE(cv::norm(region(cv::Rect(0, 0, 100, 50)),
                      cv::Mat(50, 100, CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF),
             0.);
    QCOMPARE(cv::norm(region(cv::Rect(100, 0, 100, 50)),
                      cv::Mat(50, 100, CV_8UC3, cv::Scalar(10, 20, 30)), cv::NORM_INF),
             0.);
    region.setTo(cv::Scalar(0, 0, 0));
    QCOMPARE(cv::norm(canvas.image, before, cv::NORM_INF), 0.);

    // Wholly outside: all white.
    const cv::Mat far = canvas.region(cv::Rect(1000, 1000, 30, 20));
    QCOMPARE(cv::norm(far, cv::Mat(20, 30, CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF), 0.);
}

void TestGrid::regionOfEmptyCanvas() {
    const MosaicCanvas canvas;
    const cv::Mat region = canvas.region(cv::Rect(5, 5, 30, 20));
    QCOMPARE(region.type(), CV_8UC3);
    QCOMPARE(cv::norm(region, cv::Mat(20, 30, CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF), 0.);
    QVERIFY(canvas.region(cv::Rect(5, 5, 0, 20)).empty());
}

void TestGrid::copyRegionOverReusedBuffer_data() {
    QTest::addColumn<cv::Rect>("rect");
    // The canvas's extent is mosaic (-50, -50) to (150, 150).
    QTest::newRow("inside") << cv::Rect(-20, 10, 60, 40);
    QTest::newRow("over the left edge") << cv::Rect(-80, 10, 60, 40);
    QTest::newRow("over the right edge") << cv::Rect(120, 10, 60, 40);
    QTest::newRow("over the top edge") << cv::Rect(0, -70, 60, 40);
    QTest::newRow("over the bottom edge") << cv::Rect(0, 130, 60, 40);
    QTest::newRow("over a corner") << cv::Rect(130, 135, 60, 40);
    QTest::newRow("around the whole canvas") << cv::Rect(-70, -60, 260, 250);
    QTest::newRow("outside") << cv::Rect(300, 300, 60, 40);
}

// Copied into a buffer that held something else: every pixel is written, white past the canvas.
void TestGrid::copyRegionOverReusedBuffer() {
    QFETCH(cv::Rect, rect);
    MosaicCanvas canvas;
    canvas.include(cv::Rect(0, 0, 100, 100));
    cv::randu(canvas.image, 0, 255);
    cv::Mat expected(rect.size(), CV_8UC3, cv::Scalar::all(255));
    for (int y = 0; y < rect.height; ++y)
        for (int x = 0; x < rect.width; ++x) {
            const cv::Point at = cv::Point(rect.x + x, rect.y + y) + canvas.origin;
            if (cv::Rect(0, 0, canvas.image.cols, canvas.image.rows).contains(at))
                expected.at<cv::Vec3b>(y, x) = canvas.image.at<cv::Vec3b>(at);
        }
    cv::Mat target(rect.size(), CV_8UC3, cv::Scalar(1, 2, 3));
    canvas.copyRegion(rect, target);
    QCOMPARE(cv::norm(target, expected, cv::NORM_INF), 0.);
    cv::Mat scratch(rect.size(), CV_8UC3, cv::Scalar(1, 2, 3));
    QCOMPARE(cv::norm(canvas.region(rect, scratch), expected, cv::NORM_INF), 0.);
}

void TestGrid::includeGrowsByDoubling() {
    MosaicCanvas canvas;
    QVERIFY(canvas.image.empty());
    QCOMPARE(canvas.used, cv::Rect(0, 0, 0, 0));
    canvas.include(cv::Rect(10, 20, 640, 480));
    QCOMPARE(canvas.used, cv::Rect(10, 20, 640, 480));
    QCOMPARE(canvas.image.size(), cv::Size(1280, 960));
    QCOMPARE(canvas.origin, cv::Point(320 - 10, 240 - 20));
    QCOMPARE(
        cv::norm(canvas.image, cv::Mat(960, 1280, CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF),
        0.);

    // Still inside the image: no reallocation.
    const uchar *data = canvas.image.data;
    canvas.include(cv::Rect(100, 100, 640, 480));
    QCOMPARE(canvas.used, cv::Rect(10, 20, 730, 560));
    QCOMPARE(canvas.image.data, data);

    // Past the image: a new one twice the new rectangle, with odd halves truncated.
    canvas.include(cv::Rect(-700, 0, 641, 481));
    QCOMPARE(canvas.used, cv::Rect(-700, 0, 1440, 580));
    QCOMPARE(canvas.image.size(), cv::Size(2880, 1160));
    QCOMPARE(canvas.origin, cv::Point(720 + 700, 290 - 0));

    // An odd-sized rectangle with negative coordinates: halves truncate toward zero.
    MosaicCanvas odd;
    odd.setUsed(cv::Rect(-3, -5, 7, 9));
    QCOMPARE(odd.origin, cv::Point(3 + 3, 4 + 5));
    QCOMPARE(odd.image.size(), cv::Size(14, 18));
}

void TestGrid::includeInsideUsedChangesNothing() {
    MosaicCanvas canvas;
    canvas.include(cv::Rect(0, 0, 300, 200));
    const uchar *data = canvas.image.data;
    const cv::Point origin = canvas.origin;
    canvas.include(cv::Rect(10, 10, 50, 50));
    canvas.include(cv::Rect(0, 0, 300, 200));
    canvas.include(cv::Rect(40, 40, 0, 0)); // empty: keeps `used`
    QCOMPARE(canvas.used, cv::Rect(0, 0, 300, 200));
    QCOMPARE(canvas.image.data, data);
    QCOMPARE(canvas.origin, origin);
}

void TestGrid::growthKeepsDrawnPixels() {
    MosaicCanvas canvas;
    canvas.include(cv::Rect(0, 0, 96, 96));
    canvas.region(cv::Rect(0, 0, 96, 96)).setTo(cv::Scalar(7, 8, 9));
    canvas.include(cv::Rect(500, 400, 96, 96));
    QCOMPARE(canvas.used, cv::Rect(0, 0, 596, 496));
    const cv::Mat kept = canvas.region(cv::Rect(0, 0, 96, 96));
    QCOMPARE(cv::norm(kept, cv::Mat(96, 96, CV_8UC3, cv::Scalar(7, 8, 9)), cv::NORM_INF), 0.);
    const cv::Mat fresh = canvas.region(cv::Rect(96, 0, 404, 96));
    QCOMPARE(cv::norm(fresh, cv::Mat(96, 404, CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF), 0.);
    QVERIFY(canvas.usedImage().size() == cv::Size(596, 496));
}

void TestGrid::updateBounds() {
    MosaicGrid grid;
    QCOMPARE(grid.cellSize, cv::Size(96, 96));
    grid.canvas.include(cv::Rect(-200, -200, 800, 800));
    grid.scores[Point(-1, 2)] = 1.f;
    grid.scores[Point(3, -2)] = 1.f;
    grid.scores[Point(0, 0)] = 1.f;
    grid.updateBounds();
    QCOMPARE(grid.canvas.used, cv::Rect(-96, -192, 96 * 4 + 96, 96 * 3 + 192));
}

void TestGrid::updateBoundsEmptyDoesNotShrink() {
    MosaicGrid grid;
    grid.canvas.include(cv::Rect(0, 0, 640, 480));
    const cv::Size size = grid.canvas.image.size();
    grid.updateBounds();
    QCOMPARE(grid.canvas.used, cv::Rect(0, 0, 0, 0));
    QCOMPARE(grid.canvas.image.size(), size);
    QVERIFY(grid.canvas.usedImage().empty());
}

void TestGrid::floorDivision_data() {
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("expected");
    QTest::newRow("-1") << -1 << -1;
    QTest::newRow("-96") << -96 << -1;
    QTest::newRow("-97") << -97 << -2;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("95") << 95 << 0;
    QTest::newRow("96") << 96 << 1;
}

void TestGrid::floorDivision() {
    QFETCH(int, a);
    QFETCH(int, expected);
    QCOMPARE(floorDiv(a, 96), expected);
}

QTEST_GUILESS_MAIN(TestGrid)
#include "tst_grid.moc"
