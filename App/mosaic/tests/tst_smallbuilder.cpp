#include "mosaic/imageio.h"
#include "mosaic/smallbuilder.h"
#include "shell/simd.h"
#include "slidetexture.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <opencv2/imgproc.hpp>

#include <bit>
#include <cmath>
#include <set>

// QCOMPARE on doubles forgives the last bits; these must not differ at all.
#define COMPARE_BITS(actual, expected)                                                             \
    QVERIFY2(std::bit_cast<quint64>(double(actual)) == std::bit_cast<quint64>(double(expected)),   \
             qPrintable(QString::asprintf("%.17g != %.17g", double(actual), double(expected))))

using Estimate = SmallBuilder::Estimate;
Q_DECLARE_METATYPE(SmallBuilder::Estimate)

class TestSmallBuilder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void correlatorRecoversShifts_data();
    void correlatorRecoversShifts();
    void correlatorLeavesPreparedImagesAlone_data();
    void correlatorLeavesPreparedImagesAlone();
    void prepareNormalises();
    void correlatorMatchesThePlainRecipe_data();
    void correlatorMatchesThePlainRecipe();

    void firstFrameAtOriginWithoutRegistration();
    void registrationMovesPosition_data();
    void registrationMovesPosition();
    void subPixelMoveAddsAtWholePixel();
    void referenceIsMosaicOverLastFrame_data();
    void referenceIsMosaicOverLastFrame();
    void smallMoveGivesNone();
    void lowConfidenceThenRecovery();
    void coverageAfterErase_data();
    void coverageAfterErase();
    void eraseOfUnstoredCellDoesNothing();
    void dragMovesOnlyWhileOutOfSync();
    void eraserDrag();
    void minimapScaleAndNarrowView();
    void viewResolutionUpdate_data();
    void viewResolutionUpdate();
    void resetPublishesBlank();
    void publishedImagesAreNeverRewritten();
    void storeNewFrameCarriesConvertedCells();
    void weightsAndVersions();
    void invalidFrameIsSkipped();
    void partCountersFollowTheFrames();
    void countingAcrossPausesAndRestarts();

private:
    QSharedPointer<FrameInfo> frameAt(cv::Point2d position, cv::Size size = {640, 480},
                                      double sharpness = 10.);
    // Position of the first frame of a run in the texture; the mosaic origin sits there.
    const cv::Point2d start{300.5, 250.25};
    cv::Mat texture;
};

void TestSmallBuilder::initTestCase() {
    qRegisterMetaType<cv::Mat>("cv::Mat");
    qRegisterMetaType<Point>("Point");
    qRegisterMetaType<QList<FrameCellInfo>>("QList<FrameCellInfo>");
    texture = slidetexture::make({2400, 1800});
}

QSharedPointer<FrameInfo> TestSmallBuilder::frameAt(cv::Point2d position, cv::Size size,
                                                    double sharpness) {
    auto frame = QSharedPointer<FrameInfo>::create();
    frame->smallImage = slidetexture::cut(texture, start + position, size);
    frame->image = cv::Mat(size * 4, CV_8UC3, cv::Scalar::all(0));
    frame->sharpness = sharpness;
    return frame;
}

void TestSmallBuilder::correlatorRecoversShifts_data() {
    QTest::addColumn<cv::Size>("size");
    QTest::addColumn<cv::Point2d>("shift");
    const cv::Size sizes[] = {{768, 640}, {641, 479}};
    const cv::Point2d shifts[] = {{0, 0}, {3.3, -2.7}, {-10.25, 5.5}, {25.6, 17.1}, {0.4, -40.8}};
    for (const cv::Size &size : sizes)
        for (const cv::Point2d &shift : shifts)
            QTest::addRow("%dx%d by (%.2f, %.2f)", size.width, size.height, shift.x, shift.y)
                << size << shift;
}

void TestSmallBuilder::correlatorRecoversShifts() {
    QFETCH(cv::Size, size);
    QFETCH(cv::Point2d, shift);
    const cv::Mat reference = slidetexture::cut(texture, start, size);
    const cv::Mat current = slidetexture::cut(texture, start + shift, size);
    const cv::Mat mask(size, CV_8UC1, cv::Scalar(255));
    PhaseCorrelator correlator;
    const PhaseCorrelator::Result result = correlator.correlate(current, reference, mask);
    QVERIFY2(std::abs(result.x - shift.x) <= 0.25 && std::abs(result.y - shift.y) <= 0.25,
             qPrintable(QString("got (%1, %2)").arg(result.x).arg(result.y)));
    QVERIFY2(result.confidence > 0.5, qPrintable(QString::number(result.confidence)));
    // The peak response may pass 1 by rounding only.
    QVERIFY(result.confidence <= 1.0 + 1e-3);
}

void TestSmallBuilder::correlatorLeavesPreparedImagesAlone_data() {
    QTest::addColumn<cv::Size>("size");
    QTest::newRow("fast transform size 768x640") << cv::Size(768, 640);
    QTest::newRow("odd size 641x479") << cv::Size(641, 479);
}

void TestSmallBuilder::correlatorLeavesPreparedImagesAlone() {
    QFETCH(cv::Size, size);
    const cv::Mat reference = slidetexture::cut(texture, start, size);
    const cv::Mat current = slidetexture::cut(texture, start + cv::Point2d(7.4, -3.2), size);
    cv::Mat mask(size, CV_8UC1, cv::Scalar(0));
    mask(cv::Rect(0, 0, size.width / 2, size.height)).setTo(255);

    PhaseCorrelator correlator;
    const PhaseCorrelator::Result first = correlator.correlate(current, reference, mask);
    // The confidence must come from the prepared images as prepare() left them.
    PhaseCorrelator fresh;
    cv::Mat expected;
    fresh.prepare(current, expected);
    QCOMPARE(cv::norm(correlator.preparedCurrent(), expected, cv::NORM_INF), 0.);
    fresh.prepare(reference, expected);
    QCOMPARE(cv::norm(correlator.preparedReference(), expected, cv::NORM_INF), 0.);

    const PhaseCorrelator::Result second = correlator.correlate(current, reference, mask);
    QCOMPARE(second.x, first.x);
    QCOMPARE(second.y, first.y);
    QCOMPARE(second.confidence, first.confidence);
    QVERIFY(first.confidence > 0.35);
}

void TestSmallBuilder::prepareNormalises() {
    PhaseCorrelator correlator;
    cv::Mat prepared;
    correlator.prepare(cv::Mat(48, 64, CV_8UC3, cv::Scalar(90, 90, 90)), prepared);
    QCOMPARE(prepared.type(), CV_32FC1);
    QCOMPARE(cv::norm(prepared, cv::NORM_INF), 0.); // only centred, never divided by 0

    // Against the plain recipe: grey, float, statistics of the float image, centre, scale.
    const cv::Mat source = slidetexture::cut(texture, start, {768, 640});
    correlator.prepare(source, prepared);
    cv::Mat grey, expected;
    cv::cvtColor(source, grey, cv::COLOR_RGB2GRAY);
    grey.convertTo(expected, CV_32F);
    cv::Scalar mean, stdDev;
    cv::meanStdDev(expected, mean, stdDev);
    expected -= mean[0];
    expected /= stdDev[0];
    QCOMPARE(cv::norm(prepared, expected, cv::NORM_INF), 0.);
    cv::meanStdDev(prepared, mean, stdDev);
    QVERIFY(std::abs(mean[0]) < 1e-4);
    QVERIFY(std::abs(stdDev[0] - 1) < 1e-4);

    // Preparing on its own first must not keep correlate() from making its window.
    PhaseCorrelator fresh;
    fresh.prepare(source, prepared);
    const cv::Mat mask(source.size(), CV_8UC1, cv::Scalar(255));
    const auto result = fresh.correlate(source, source, mask);
    QVERIFY(std::abs(result.x) < 0.01 && std::abs(result.y) < 0.01);
}

void TestSmallBuilder::correlatorMatchesThePlainRecipe_data() {
    QTest::addColumn<cv::Size>("size");
    QTest::addColumn<cv::Point2d>("shift");
    QTest::addColumn<int>("maskKind"); // 0 full, 1 left half, 2 holes, 3 empty
    QTest::addColumn<bool>("blank");
    QTest::addColumn<simd::Level>("level");
    const cv::Point2d shifts[] = {{0, 0}, {3.3, -2.7}, {-17.6, 9.4}, {180.2, -95.7}};
    // The correlator's own code is portable, 128-bit or AVX2, and FFTW's with or without its
    // vector code.
    for (const simd::Level level :
         {simd::Level::Portable, simd::Level::Vector128, simd::Level::Avx2}) {
        if (level > simd::active())
            continue;
        for (const cv::Size size :
             {cv::Size(768, 640), cv::Size(641, 479), cv::Size(768, 576), cv::Size(41, 29)})
            for (const cv::Point2d &shift : shifts)
                for (int maskKind = 0; maskKind < 4; ++maskKind)
                    QTest::addRow("%dx%d by (%.1f, %.1f), mask %d, %s", size.width, size.height,
                                  shift.x, shift.y, maskKind, simd::name(level))
                        << size << shift << maskKind << false << level;
        QTest::addRow("blank frame, %s", simd::name(level))
            << cv::Size(768, 640) << cv::Point2d() << 0 << true << level;
    }
}

// The correlator computes on its own transforms, reused buffers and plans; its shift and peak
// response must be stock phaseCorrelate's within what float transforms round differently, and
// its confidence that of the overlap correlation written out plainly with OpenCV's blur, norm
// and dot (whose float dot product rounds a little differently from the double sums the
// correlator keeps).
void TestSmallBuilder::correlatorMatchesThePlainRecipe() {
    QFETCH(cv::Size, size);
    QFETCH(cv::Point2d, shift);
    QFETCH(int, maskKind);
    QFETCH(bool, blank);
    QFETCH(simd::Level, level);
    const simd::ScopedLimit limit(level);
    cv::Mat reference = slidetexture::cut(texture, start, size);
    const cv::Mat current = blank ? cv::Mat(size, CV_8UC3, cv::Scalar::all(255))
                                  : slidetexture::cut(texture, start + shift, size);
    cv::Mat mask(size, CV_8UC1, cv::Scalar(maskKind == 3 ? 0 : 255));
    if (maskKind == 1)
        mask.colRange(size.width / 2, size.width).setTo(0);
    if (maskKind == 2)
        for (int k = 0; k < 12; ++k)
            cv::circle(mask, {(k * 97) % size.width, (k * 61) % size.height}, 40, 0, cv::FILLED);

    PhaseCorrelator correlator;
    // Twice, with another size between: buffers are reused and remade.
    correlator.correlate(current, reference, mask);
    const cv::Rect part(0, 0, size.width / 2, size.height / 2);
    correlator.correlate(current(part), reference(part), mask(part));
    const PhaseCorrelator::Result result = correlator.correlate(current, reference, mask);

    cv::Mat a, b, window;
    correlator.prepare(current, a);
    correlator.prepare(reference, b);
    cv::createHanningWindow(window, size, CV_32F);
    double response = 0;
    const cv::Point2d expected =
        cv::phaseCorrelate(a.mul(window), b.mul(window), cv::noArray(), &response);
    QVERIFY2(std::abs(result.x - expected.x) <= 1e-3 && std::abs(result.y - expected.y) <= 1e-3,
             qPrintable(QString::asprintf("(%.6f, %.6f) != (%.6f, %.6f)", result.x, result.y,
                                          expected.x, expected.y)));
    QVERIFY2(std::abs(result.response - response) <= 1e-4,
             qPrintable(QString::asprintf("response %.8f != %.8f", result.response, response)));

    const int xi = int(std::rint(result.x));
    const int yi = int(std::rint(result.y));
    const int w = size.width - std::abs(xi);
    const int h = size.height - std::abs(yi);
    double correlation = 0;
    if (w > 0 && h > 0) {
        const cv::Rect r2(std::max(xi, 0), std::max(yi, 0), w, h);
        cv::Mat overlapA(h, w, CV_32FC1, cv::Scalar(0)), overlapB(h, w, CV_32FC1, cv::Scalar(0));
        a(cv::Rect(std::max(-xi, 0), std::max(-yi, 0), w, h)).copyTo(overlapA, mask(r2));
        b(r2).copyTo(overlapB, mask(r2));
        cv::blur(overlapA, overlapA, cv::Size(3, 3));
        cv::blur(overlapB, overlapB, cv::Size(3, 3));
        const double norms = cv::norm(overlapA) * cv::norm(overlapB);
        correlation = std::abs(norms) < 0.00001 ? 0. : overlapA.dot(overlapB) / norms;
    }
    const double confidence =
        std::pow(std::max(result.response, 0.), 0.15) * std::max(correlation, 0.);
    QVERIFY2(std::abs(result.confidence - confidence) <= 1e-6 * std::max(confidence, 1e-3),
             qPrintable(QString::asprintf("%.17g != %.17g", result.confidence, confidence)));
    if (maskKind == 0 && !blank && std::abs(shift.x) < 50 && size.width > 100)
        QVERIFY(std::abs(result.x - shift.x) < 0.25 && std::abs(result.y - shift.y) < 0.25);
}

void TestSmallBuilder::firstFrameAtOriginWithoutRegistration() {
    SmallBuilder builder(nullptr, nullptr);
    QSignalSpy stored(&builder, &SmallBuilder::storeNewFrame);
    auto black = QSharedPointer<FrameInfo>::create();
    black->smallImage = cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(0));
    black->image = cv::Mat(960, 1280, CV_8UC3, cv::Scalar::all(0));
    black->sharpness = 1;
    QCOMPARE(builder.processFrame(black), Estimate::Moved);
    QCOMPARE(builder.position(), cv::Point2d(0, 0));
    QCOMPARE(builder.mosaicGrid().scores.size(), size_t(15));
    QCOMPARE(stored.size(), 1);
    QCOMPARE(builder.mosaicGrid().canvas.region({96, 96, 96, 96}).at<cv::Vec3b>(10, 10),
             cv::Vec3b(0, 0, 0));
}

void TestSmallBuilder::registrationMovesPosition_data() {
    QTest::addColumn<cv::Point2d>("shift");
    QTest::newRow("right and up") << cv::Point2d(3.3, -2.7);
    QTest::newRow("left and down") << cv::Point2d(-12.75, 8.5);
    QTest::newRow("fast diagonal") << cv::Point2d(31.6, 22.1);
    QTest::newRow("vertical") << cv::Point2d(0.2, -45.4);
}

void TestSmallBuilder::registrationMovesPosition() {
    QFETCH(cv::Point2d, shift);
    SmallBuilder builder(nullptr, nullptr);
    QCOMPARE(builder.processFrame(frameAt({0, 0})), Estimate::Moved);
    QCOMPARE(builder.processFrame(frameAt(shift)), Estimate::Moved);
    const cv::Point2d error = builder.position() - shift;
    QVERIFY2(std::abs(error.x) <= 0.25 && std::abs(error.y) <= 0.25,
             qPrintable(QString("error (%1, %2)").arg(error.x).arg(error.y)));
    QVERIFY(!builder.isOutOfSync());
}

void TestSmallBuilder::subPixelMoveAddsAtWholePixel() {
    SmallBuilder builder(nullptr, nullptr);
    builder.processFrame(frameAt({0, 0}));
    const auto moved = frameAt({1.2, 0});
    QCOMPARE(builder.processFrame(moved), Estimate::Moved);
    const cv::Point2d position = builder.position();
    QVERIFY(std::abs(position.x - 1.2) <= 0.25);
    QVERIFY(std::abs(position.y) <= 0.25);
    QCOMPARE(std::rint(position.x), 1.);

    // The frame was resampled by the fractional part and placed at whole pixel 1.
    cv::Mat expected = moved->smallImage.clone();
    shiftImage(expected, position.x - 1, position.y - std::rint(position.y));
    QCOMPARE(cv::norm(builder.lastFrameImage(), expected, cv::NORM_INF), 0.);
    // Cell (5, 2) lies nearer the new frame's centre (weight 162 against 161), so the new frame
    // replaced it; every replaced cell shows the resampled frame at whole pixel 1.
    bool replaced = false;
    for (const LiveCellInfo &cell : builder.lastCells()) {
        replaced = replaced || cell.cell_id == Point(5, 2);
        const cv::Mat onCanvas =
            builder.mosaicGrid().canvas.region({96 * cell.cell_id.x, 96 * cell.cell_id.y, 96, 96});
        const cv::Rect inFrame(96 * cell.cell_id.x - 1, 96 * cell.cell_id.y, 96, 96);
        QCOMPARE(cv::norm(onCanvas, expected(inFrame), cv::NORM_INF), 0.);
    }
    QVERIFY(replaced);
    // The source frame itself is never written.
    QCOMPARE(cv::norm(moved->smallImage,
                      slidetexture::cut(texture, start + cv::Point2d(1.2, 0), {640, 480}),
                      cv::NORM_INF),
             0.);
}

void TestSmallBuilder::referenceIsMosaicOverLastFrame_data() {
    QTest::addColumn<simd::Level>("level");
    // The reference is built with portable code or with byte shuffles.
    for (const simd::Level level : {simd::Level::Portable, simd::Level::Ssse3})
        if (level <= simd::active())
            QTest::newRow(simd::name(level)) << level;
}

// Registration compares each frame with the mosaic where it is drawn and with the last added
// frame elsewhere (the edge of the scan); after an erase, with white there.
void TestSmallBuilder::referenceIsMosaicOverLastFrame() {
    QFETCH(simd::Level, level);
    const simd::ScopedLimit limit(level);
    SmallBuilder builder(nullptr, nullptr);
    const cv::Size size(650, 480); // not a multiple of 16 pixels: row ends are done one by one
    const cv::Point2d path[] = {{0, 0}, {37.3, 12.6}, {81.9, 30.2}, {120.4, 21.7}, {150.2, 28.8}};
    for (int k = 0; k < 5; ++k) {
        if (k == 3) {
            builder.eraserMode = true;
            builder.mouseClick(400, 300); // erases a cell and drops the last frame
            builder.eraserMode = false;
            QVERIFY(builder.lastFrameImage().empty());
        }
        const auto frame = frameAt(path[k], size);
        if (k == 0) {
            QCOMPARE(builder.processFrame(frame), Estimate::Moved);
            continue;
        }
        const cv::Rect rect(int(std::rint(builder.position().x)),
                            int(std::rint(builder.position().y)), size.width, size.height);
        cv::Mat reference = builder.lastFrameImage().empty()
                                ? cv::Mat(size, CV_8UC3, cv::Scalar::all(255))
                                : builder.lastFrameImage().clone();
        const cv::Mat mosaic = builder.mosaicGrid().canvas.region(rect);
        cv::Mat drawn;
        cv::inRange(mosaic, cv::Scalar::all(255), cv::Scalar::all(255), drawn);
        cv::bitwise_not(drawn, drawn);
        mosaic.copyTo(reference, drawn);
        QVERIFY(cv::countNonZero(drawn) < int(size.area())); // the scan's edge is in the frame

        builder.processFrame(frame);
        const PhaseCorrelator::Result expected =
            PhaseCorrelator().correlate(frame->smallImage, reference, drawn);
        COMPARE_BITS(builder.lastRegistration().x, expected.x);
        COMPARE_BITS(builder.lastRegistration().y, expected.y);
        COMPARE_BITS(builder.lastRegistration().confidence, expected.confidence);
    }
}

void TestSmallBuilder::smallMoveGivesNone() {
    SmallBuilder builder(nullptr, nullptr);
    builder.processFrame(frameAt({0, 0}));
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    QSignalSpy stored(&builder, &SmallBuilder::storeNewFrame);
    builder.processFrame(frameAt({0.2, 0.1}));
    QCOMPARE(updated.size(), 1);
    const cv::Mat view = updated.takeFirst().at(0).value<cv::Mat>();

    QCOMPARE(builder.processFrame(frameAt({0.6, 0})), Estimate::None);
    QCOMPARE(builder.position(), cv::Point2d(0, 0));
    QCOMPARE(stored.size(), 0);
    QCOMPARE(updated.size(), 1);
    // Published again without rendering: the very same view buffer.
    QCOMPARE(updated.first().at(0).value<cv::Mat>().data, view.data);
    QCOMPARE(builder.mosaicGrid().scores.size(), size_t(15));
}

void TestSmallBuilder::lowConfidenceThenRecovery() {
    SmallBuilder builder(nullptr, nullptr);
    builder.processFrame(frameAt({0, 0}));
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    QSignalSpy stored(&builder, &SmallBuilder::storeNewFrame);

    // A view of a far part of the slide has nothing in common with the mosaic.
    QCOMPARE(builder.processFrame(frameAt({1300, 900})), Estimate::OutOfSync);
    QVERIFY(builder.lastRegistration().confidence < 0.35);
    QVERIFY(builder.isOutOfSync());
    QCOMPARE(builder.position(), cv::Point2d(0, 0));
    QCOMPARE(stored.size(), 0);
    QCOMPARE(updated.last().at(4).toBool(), true);

    // Back over the mosaic: in sync again.
    QCOMPARE(builder.processFrame(frameAt({5.5, 3.25})), Estimate::Moved);
    QVERIFY(builder.lastRegistration().confidence >= 0.35);
    QVERIFY(!builder.isOutOfSync());
    QCOMPARE(updated.last().at(4).toBool(), false);
    QVERIFY(cv::norm(builder.position() - cv::Point2d(5.5, 3.25)) < 0.35);
}

void TestSmallBuilder::coverageAfterErase_data() {
    QTest::addColumn<int>("erased");
    QTest::addColumn<Estimate>("expected");
    // 640 x 480 covers 15 cells: 45 % of its area; each cell is 3 %.
    QTest::newRow("one cell erased: 42 %") << 1 << Estimate::Moved;
    QTest::newRow("six cells erased: 27 %") << 6 << Estimate::OutOfSync;
}

void TestSmallBuilder::coverageAfterErase() {
    QFETCH(int, erased);
    QFETCH(Estimate, expected);
    SmallBuilder builder(nullptr, nullptr);
    builder.processFrame(frameAt({0, 0}));
    QSignalSpy erases(&builder, &SmallBuilder::eraseFrame);
    builder.eraserMode = true;
    // View 800 x 600 around a 640 x 480 frame: the frame starts at view point (80, 60).
    for (int k = 0; k < erased; ++k) {
        const Point cell(1 + k % 5, 1 + k / 5);
        builder.mouseClick(80 + 96 * cell.x + 48, 60 + 96 * cell.y + 48);
        QCOMPARE(erases.size(), k + 1);
        QCOMPARE(erases.last().at(0).value<Point>(), cell);
    }
    builder.eraserMode = false;
    QVERIFY(builder.lastFrameImage().empty());
    QCOMPARE(builder.mosaicGrid().scores.size(), size_t(15 - erased));

    QCOMPARE(builder.processFrame(frameAt({4.5, 2.5})), expected);
    QCOMPARE(builder.isOutOfSync(), expected == Estimate::OutOfSync);
}

void TestSmallBuilder::eraseOfUnstoredCellDoesNothing() {
    SmallBuilder builder(nullptr, nullptr);
    builder.processFrame(frameAt({0, 0}));
    QSignalSpy erases(&builder, &SmallBuilder::eraseFrame);
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    builder.eraserMode = true;
    builder.mouseClick(80 + 48, 60 + 48); // cell (0, 0): never stored
    builder.mouseClick(5000, -3000);
    QCOMPARE(erases.size(), 0);
    QCOMPARE(updated.size(), 0);
    QVERIFY(!builder.lastFrameImage().empty());
    // Clicks without the eraser never erase.
    builder.eraserMode = false;
    builder.mouseClick(80 + 96 + 48, 60 + 96 + 48);
    QCOMPARE(erases.size(), 0);
    QCOMPARE(builder.mosaicGrid().scores.size(), size_t(15));
}

void TestSmallBuilder::dragMovesOnlyWhileOutOfSync() {
    SmallBuilder builder(nullptr, nullptr);
    builder.processFrame(frameAt({0, 0}));
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    builder.mouseDrag(300, 200, 10, -4);
    QCOMPARE(builder.position(), cv::Point2d(0, 0));
    QCOMPARE(updated.size(), 0);
    QVERIFY(!builder.lastFrameImage().empty());

    builder.processFrame(frameAt({1300, 900}));
    QVERIFY(builder.isOutOfSync());
    builder.mouseDrag(300, 200, 10, -4);
    QCOMPARE(builder.position(), cv::Point2d(-10, 4));
    QVERIFY(builder.lastFrameImage().empty());
    QCOMPARE(updated.size(), 2);
}

void TestSmallBuilder::eraserDrag() {
    SmallBuilder builder(nullptr, nullptr);
    builder.processFrame(frameAt({0, 0}));
    QSignalSpy erases(&builder, &SmallBuilder::eraseFrame);
    builder.eraserMode = true;
    builder.mouseDrag(80 + 96 * 3 + 10, 60 + 96 * 2 + 90, 1, 1);
    QCOMPARE(erases.size(), 1);
    QCOMPARE(erases.first().at(0).value<Point>(), Point(3, 2));
    const cv::Mat cell = builder.mosaicGrid().canvas.region({288, 192, 96, 96});
    QCOMPARE(cv::norm(cell, cv::Mat(96, 96, CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF), 0.);
    QCOMPARE(builder.position(), cv::Point2d(0, 0));
}

void TestSmallBuilder::minimapScaleAndNarrowView() {
    SmallBuilder builder(nullptr, nullptr);
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    builder.processFrame(frameAt({0, 0}));
    // used = cells 1..5 x 1..3 = (96, 96, 480, 288); s1 = 160 * 0.5 * 0.6 / 288 is the smallest.
    const double s = 48. / 288.;
    const cv::Mat minimap = updated.last().at(1).value<cv::Mat>();
    QCOMPARE(minimap.size(), cv::Size(80, 48));
    const QRectF marker = updated.last().at(5).toRectF();
    QCOMPARE(marker, QRectF(std::rint(-96 * s), std::rint(-96 * s), 640 * s, 480 * s));
    const cv::Mat view = updated.last().at(0).value<cv::Mat>();
    QCOMPARE(view.size(), cv::Size(800, 600));
    // Grid lines: mosaic x = 0 sits at view column 80, x = 96 at 176.
    QCOMPARE(view.at<cv::Vec3b>(300, 176), cv::Vec3b(80, 80, 80));
    QCOMPARE(view.at<cv::Vec3b>(156, 400), cv::Vec3b(80, 80, 80));
    QCOMPARE(view.at<cv::Vec3b>(5, 5), cv::Vec3b(255, 255, 255));

    // A view narrower than the frame leaves no room beside it: the minimap stays as it was.
    builder.viewSizeUpdate(QSizeF(600.7, 600));
    QCOMPARE(updated.last().at(1).value<cv::Mat>().data, minimap.data);
    QCOMPARE(updated.last().at(5).toRectF(), marker);
    QCOMPARE(updated.last().at(0).value<cv::Mat>().size(), cv::Size(800, 600));
    QVERIFY(updated.last().at(0).value<cv::Mat>().data != view.data);
}

void TestSmallBuilder::viewResolutionUpdate_data() {
    QTest::addColumn<QSizeF>("resolution");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("zero width") << QSizeF(0, 600) << false;
    QTest::newRow("negative height") << QSizeF(800, -1) << false;
    QTest::newRow("NaN") << QSizeF(qQNaN(), 600) << false;
    QTest::newRow("infinite") << QSizeF(800, qInf()) << false;
    QTest::newRow("hi-dpi") << QSizeF(1600.9, 1200.2) << true;
}

void TestSmallBuilder::viewResolutionUpdate() {
    QFETCH(QSizeF, resolution);
    QFETCH(bool, accepted);
    SmallBuilder builder(nullptr, nullptr);
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    builder.processFrame(frameAt({0, 0}));
    builder.viewResolutionUpdate(resolution);
    builder.viewSizeUpdate(resolution); // invalid sizes are ignored the same way
    QCOMPARE(updated.size(), accepted ? 2 : 1);
    if (!accepted) {
        builder.viewSizeUpdate(QSizeF(800, 600));
        QCOMPARE(updated.last().at(0).value<cv::Mat>().size(), cv::Size(800, 600));
        return;
    }
    // The size update re-rendered at the new resolution, the same view in device pixels.
    const cv::Mat view = updated.last().at(0).value<cv::Mat>();
    QCOMPARE(view.size(), cv::Size(1600, 1200));
    builder.viewResolutionUpdate(QSizeF(320, 240));
    QCOMPARE(updated.size(), 2);
    builder.mouseDrag(0, 0, 0, 0); // in sync: nothing
    QCOMPARE(updated.size(), 2);
    // Blanked to white until the next render.
    builder.reset();
    QCOMPARE(updated.last().at(0).value<cv::Mat>().size(), cv::Size(320, 240));
}

void TestSmallBuilder::resetPublishesBlank() {
    SmallBuilder builder(nullptr, nullptr);
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    builder.reset();
    QCOMPARE(updated.size(), 1);
    QVERIFY(updated.last().at(0).value<cv::Mat>().empty()); // nothing was ever rendered
    QVERIFY(updated.last().at(1).value<cv::Mat>().empty());

    builder.processFrame(frameAt({0, 0}, {640, 480}, 4.));
    builder.processFrame(frameAt({20.5, 10.5}, {640, 480}, 2.));
    QCOMPARE(updated.last().at(3).toDouble(), 0.5);
    const QRectF marker = updated.last().at(5).toRectF();
    builder.processFrame(frameAt({1300, 900}));
    QVERIFY(builder.isOutOfSync());
    builder.eraserMode = true;

    builder.reset();
    const QList<QVariant> args = updated.last();
    const cv::Mat view = args.at(0).value<cv::Mat>();
    const cv::Mat minimap = args.at(1).value<cv::Mat>();
    QCOMPARE(view.size(), cv::Size(800, 600));
    QCOMPARE(cv::norm(view, cv::Mat(view.size(), CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF), 0.);
    QVERIFY(!minimap.empty());
    QCOMPARE(
        cv::norm(minimap, cv::Mat(minimap.size(), CV_8UC3, cv::Scalar::all(255)), cv::NORM_INF),
        0.);
    QVERIFY(args.at(2).value<cv::Mat>().empty());
    QCOMPARE(args.at(3).toDouble(), 0.);
    QCOMPARE(args.at(4).toBool(), false);
    QCOMPARE(args.at(5).toRectF(), marker);
    QVERIFY(!builder.eraserMode);
    QCOMPARE(builder.position(), cv::Point2d(0, 0));
    QVERIFY(builder.mosaicGrid().scores.empty());

    // The next frame starts a new mosaic at the origin, wherever it is on the slide.
    QCOMPARE(builder.processFrame(frameAt({900, 700})), Estimate::Moved);
    QCOMPARE(builder.position(), cv::Point2d(0, 0));
}

// Rendering reuses image buffers, but only those nobody else holds any more: whatever was
// handed out (to the view, through queued signals) keeps its pixels, and camera frames are
// only ever read.
void TestSmallBuilder::publishedImagesAreNeverRewritten() {
    SmallBuilder builder(nullptr, nullptr);
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    std::vector<QSharedPointer<FrameInfo>> frames;
    std::vector<cv::Mat> frameCopies;
    for (int k = 0; k < 12; ++k) {
        frames.push_back(frameAt({17.3 * k, 6.1 * k}));
        frameCopies.push_back(frames.back()->smallImage.clone());
        QCOMPARE(builder.processFrame(frames.back()), Estimate::Moved);
    }
    // The spy holds every published view and minimap; each must still show what it showed.
    QCOMPARE(updated.size(), 12);
    std::vector<cv::Mat> views, copies;
    for (const QList<QVariant> &args : updated) {
        views.push_back(args.at(0).value<cv::Mat>());
        copies.push_back(views.back().clone());
    }
    for (int k = 0; k < 8; ++k)
        builder.processFrame(frameAt({17.3 * (11 - k), 6.1 * (11 - k)}));
    for (size_t k = 0; k < views.size(); ++k)
        QCOMPARE(cv::norm(views[k], copies[k], cv::NORM_INF), 0.);
    for (size_t k = 0; k < frames.size(); ++k)
        QCOMPARE(cv::norm(frames[k]->smallImage, frameCopies[k], cv::NORM_INF), 0.);

    // Once let go, the few buffers kept for reuse come round again instead of new ones.
    updated.clear();
    views.clear();
    copies.clear();
    std::set<const uchar *> buffers;
    for (int k = 0; k < 10; ++k) {
        builder.processFrame(frameAt({30.2 + 13.1 * k, 10.4 + 4.6 * k}));
        buffers.insert(updated.last().at(0).value<cv::Mat>().data);
        updated.clear();
    }
    QVERIFY2(buffers.size() <= 4, qPrintable(QString::number(buffers.size())));
}

void TestSmallBuilder::storeNewFrameCarriesConvertedCells() {
    SmallBuilder builder(nullptr, nullptr);
    QSignalSpy stored(&builder, &SmallBuilder::storeNewFrame);
    const auto first = frameAt({0, 0}); // full image 4x the preview
    builder.processFrame(first);
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.first().at(0).value<cv::Mat>().data, first->image.data);
    auto cells = stored.first().at(1).value<QList<FrameCellInfo>>();
    QCOMPARE(cells.size(), 15);
    QCOMPARE(cells.first().cell_id, Point(1, 1));
    QCOMPARE(cells.first().rect, cv::Rect(384, 384, 384, 384));
    QCOMPARE(cells.first().position, cv::Point(384, 384));

    const auto moved = frameAt({150.4, 20.3});
    QCOMPARE(builder.processFrame(moved), Estimate::Moved);
    QCOMPARE(stored.size(), 2);
    cells = stored.last().at(1).value<QList<FrameCellInfo>>();
    QVERIFY(!cells.isEmpty());
    QCOMPARE(cells.size(), builder.lastCells().size());
    const cv::Point2d position = builder.position();
    for (qsizetype k = 0; k < cells.size(); ++k) {
        const LiveCellInfo &live = builder.lastCells()[k];
        QCOMPARE(cells[k].cell_id, live.cell_id);
        QCOMPARE(cells[k].rect.x, int((96 * live.cell_id.x - position.x) * 4));
        QCOMPARE(cells[k].rect.y, int((96 * live.cell_id.y - position.y) * 4));
        QCOMPARE(cells[k].rect.size(), cv::Size(384, 384));
        QCOMPARE(cells[k].position, cv::Point(384 * live.cell_id.x, 384 * live.cell_id.y));
        QVERIFY(cells[k].store);
    }
}

void TestSmallBuilder::weightsAndVersions() {
    SmallBuilder builder(nullptr, nullptr);
    builder.processFrame(frameAt({0, 0}, {640, 480}, 3.));
    const cv::Mat &weights = builder.weights();
    QCOMPARE(int(weights.at<uchar>(240, 320)), 255);
    QCOMPARE(int(weights.at<uchar>(0, 0)), 1);
    QCOMPARE(int(weights.at<uchar>(144, 144)), 132);
    const float cell11 = builder.grid.scores.at(Point(1, 1));
    QCOMPARE(cell11, float(centreWeight(96 + 48, 96 + 48, 640, 480) + 255) * 3.f);

    const cv::Mat black(480, 640, CV_8UC3, cv::Scalar::all(0));
    const cv::Mat before = builder.grid.canvas.image.clone();
    // Equal weights: the older version stays.
    builder.addFrame(black, 3.f);
    QVERIFY(builder.lastCells().isEmpty());
    QCOMPARE(cv::norm(before, builder.grid.canvas.image, cv::NORM_INF), 0.);

    // Same sharpness one cell to the right: only cells nearer the new frame's centre change.
    builder.m_position = cv::Point2d(96, 0);
    builder.addFrame(black, 3.f);
    const auto isBlack = [&](Point cell) {
        return builder.grid.canvas.region({96 * cell.x, 96 * cell.y, 96, 96})
                   .at<cv::Vec3b>(50, 50) == cv::Vec3b(0, 0, 0);
    };
    QVERIFY(!isBlack(Point(2, 1))); // centre 80 px away in the old frame, 176 in the new
    QVERIFY(isBlack(Point(5, 1)));  // 208 px away in the old frame, 112 in the new
    QVERIFY(isBlack(Point(6, 1)));  // new cell
    QCOMPARE(builder.grid.canvas.used, cv::Rect(96, 96, 96 * 6, 96 * 3));
}

void TestSmallBuilder::invalidFrameIsSkipped() {
    SmallBuilder builder(nullptr, nullptr);
    QSignalSpy updated(&builder, &SmallBuilder::updated);
    QSignalSpy stored(&builder, &SmallBuilder::storeNewFrame);
    auto grey = QSharedPointer<FrameInfo>::create();
    grey->smallImage = cv::Mat(480, 640, CV_8UC1, cv::Scalar(4));
    grey->image = cv::Mat(960, 1280, CV_8UC1, cv::Scalar(4));
    QCOMPARE(builder.processFrame(grey), Estimate::None);
    QCOMPARE(stored.size(), 0);
    QCOMPARE(updated.size(), 1);
    QVERIFY(builder.mosaicGrid().scores.empty());
    QCOMPARE(builder.processFrame(QSharedPointer<FrameInfo>::create()), Estimate::None);
    QCOMPARE(builder.processFrame(frameAt({0, 0})), Estimate::Moved);
}

// What the builder counts in a part: frames the camera published (by their sequence), the ones
// it never took up, repeated pictures, rejected registrations, and its step times; the part's
// line when reset() ends it.
void TestSmallBuilder::partCountersFollowTheFrames() {
    SmallBuilder builder(nullptr, {});
    QSignalSpy parts(&builder, &SmallBuilder::partCounted);
    const auto numbered = [](QSharedPointer<FrameInfo> frame, quint64 sequence) {
        frame->sequence = sequence;
        return frame;
    };
    const auto second = numbered(frameAt({3.3, 1.2}), 2);
    QCOMPARE(builder.processFrame(numbered(frameAt({0, 0}), 1)), Estimate::Moved);
    QCOMPARE(builder.processFrame(second), Estimate::Moved);
    // The camera handed out the same picture again (a copy of it, as a plug-in converts anew).
    auto again = QSharedPointer<FrameInfo>::create(*second);
    again->smallImage = second->smallImage.clone();
    QCOMPARE(builder.processFrame(numbered(again, 4)), Estimate::None);
    QCOMPARE(builder.processFrame(numbered(frameAt({1300, 900}), 7)), Estimate::OutOfSync);
    QCOMPARE(parts.size(), 0);

    const LiveCounters counters = builder.partCounters();
    QCOMPARE(counters.delivered, 7);
    QCOMPARE(counters.registered, 4);
    QCOMPARE(counters.skipped, 3);
    QCOMPARE(counters.repeated, 1);
    QCOMPARE(counters.outOfSync, 1);
    QVERIFY(counters.stepMedianMs > 0.);
    QVERIFY(counters.stepP95Ms >= counters.stepMedianMs);

    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("^Live part: delivered 7, registered 4 \\(57.1 %\\), "
                                            "skipped 3, repeated 1, out of sync 1, step median "
                                            "[0-9]+\\.[0-9]{2} ms, p95 [0-9]+\\.[0-9]{2} ms$"));
    builder.reset();
    QCOMPARE(parts.size(), 1);
    const auto ended = parts.first().at(0).value<LiveCounters>();
    QCOMPARE(ended.delivered, 7);
    QCOMPARE(ended.stepP95Ms, counters.stepP95Ms);
    // The next part starts from nothing, and a part without frames leaves no line.
    QCOMPARE(builder.partCounters().delivered, 0);
    builder.reset();
    QCOMPARE(parts.size(), 1);
}

void TestSmallBuilder::countingAcrossPausesAndRestarts() {
    LiveCounting counting;
    counting.frameTaken(5);
    counting.paused(); // frames 6-8 are published while nobody takes them
    counting.frameTaken(9);
    counting.frameTaken(10);
    counting.frameTaken(1); // another camera counts from 1 again
    counting.frameTaken(3);
    counting.frameTaken(0); // a frame that did not come from the camera's loop
    const LiveCounters counters = counting.result();
    QCOMPARE(counters.delivered, 1 + 1 + 1 + 1 + 2 + 1);
    QCOMPARE(counters.skipped, 1);
    QCOMPARE(counters.registered, 0);
    QVERIFY(!counting.empty());

    // Nearest-rank median and 95th percentile of the steps.
    LiveCounting steps;
    for (int ms = 1; ms <= 20; ++ms)
        steps.stepDone(ms, false, false);
    QCOMPARE(steps.result().stepMedianMs, 10.);
    QCOMPARE(steps.result().stepP95Ms, 19.);
}

QTEST_GUILESS_MAIN(TestSmallBuilder)
#include "tst_smallbuilder.moc"
