#include "mosaic/imageio.h"
#include "shell/simd.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgproc.hpp>

#include <array>
#include <vector>

class TestImageIo : public QObject {
    Q_OBJECT

private slots:
    void saveThenLoad_data();
    void saveThenLoad();
    void loadFailures_data();
    void loadFailures();
    void saveFailures();
    void shiftIdentity();
    void shiftMatchesReference_data();
    void shiftMatchesReference();
    void shiftIsTheWarpBitForBit_data();
    void shiftIsTheWarpBitForBit();
    void buffersAreReusedOnlyWhenFree();

private:
    static cv::Mat pattern(int cols, int rows) {
        cv::Mat image(rows, cols, CV_8UC3);
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x)
                image.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x * 3), uchar(y * 5), uchar(x ^ y));
        return image;
    }
    QTemporaryDir dir;
};

void TestImageIo::saveThenLoad_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("magic");
    QTest::addColumn<double>("tolerance");
    QTest::newRow("png") << "a.png" << QByteArray("\x89PNG", 4) << 0.;
    QTest::newRow("jpg") << "b.jpg" << QByteArray("\xff\xd8\xff", 3) << 60.;
    // The suffix decides the codec whatever its case.
    QTest::newRow("upper-case JPG") << "c.JPG" << QByteArray("\xff\xd8\xff", 3) << 60.;
    QTest::newRow("upper-case PNG") << "d.Png" << QByteArray("\x89PNG", 4) << 0.;
}

void TestImageIo::saveThenLoad() {
    QFETCH(QString, name);
    QFETCH(QByteArray, magic);
    QFETCH(double, tolerance);
    const QString path = dir.filePath(name);
    const cv::Mat image = pattern(64, 48);
    QVERIFY(saveImage(image, path));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.read(magic.size()), magic);
    file.close();

    const cv::Mat loaded = loadImage(path);
    QCOMPARE(loaded.type(), CV_8UC3);
    QCOMPARE(loaded.cols, 64);
    QCOMPARE(loaded.rows, 48);
    // JPEG is lossy, so its bound is loose; it still catches swapped channels or a blank image.
    QVERIFY(cv::norm(image, loaded, cv::NORM_L1) / image.total() / 3 <= tolerance / 4);
    if (tolerance == 0.)
        QCOMPARE(cv::norm(image, loaded, cv::NORM_INF), 0.);
}

void TestImageIo::loadFailures_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("create");
    QTest::addColumn<QString>("warning");
    QTest::newRow("empty path") << QString() << QByteArray() << false
                                << "Cannot load image: path is empty";
    QTest::newRow("missing file") << "missing.png" << QByteArray() << false
                                  << "Failed to open file for reading: \"%1\"";
    QTest::newRow("zero-length file")
        << "empty.jpg" << QByteArray() << true << "File is empty: \"%1\"";
    QByteArray noise;
    quint32 state = 12345;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1664525u + 1013904223u;
        noise.append(char(state >> 24));
    }
    QTest::newRow("random bytes") << "noise.png" << noise << true
                                  << "Failed to decode image: \"%1\"";
    // A valid JPEG header followed by garbage must not decode into anything.
    QTest::newRow("jpeg header only")
        << "header.jpg" << QByteArray("\xff\xd8\xff\xe0\x00\x10JFIF\x00", 11) + noise.left(64)
        << true << "Failed to decode image: \"%1\"";
}

void TestImageIo::loadFailures() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(bool, create);
    QFETCH(QString, warning);
    const QString path = name.isEmpty() ? QString() : dir.filePath(name);
    if (create) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning.arg(path)));
    QVERIFY(loadImage(path).empty());
}

void TestImageIo::saveFailures() {
    QTest::ignoreMessage(QtWarningMsg, "Cannot save empty image");
    QVERIFY(!saveImage(cv::Mat(), dir.filePath("e.png")));
    QVERIFY(!QFile::exists(dir.filePath("e.png")));

    QTest::ignoreMessage(QtWarningMsg, "Failed to encode image");
    QVERIFY(!saveImage(pattern(8, 8), dir.filePath("unknown.nosuchformat")));
    QVERIFY(!QFile::exists(dir.filePath("unknown.nosuchformat")));

    const QString unwritable = dir.filePath("no/such/folder/x.png");
    QTest::ignoreMessage(
        QtWarningMsg,
        qPrintable(QString("Failed to open file for writing: \"%1\"").arg(unwritable)));
    QVERIFY(!saveImage(pattern(8, 8), unwritable));
}

void TestImageIo::shiftIdentity() {
    cv::Mat image = pattern(37, 23);
    const cv::Mat before = image.clone();
    const uchar *data = image.data;
    shiftImage(image, 0, 0);
    QCOMPARE(image.data, data); // in place, same buffer
    QCOMPARE(cv::norm(before, image, cv::NORM_INF), 0.);
}

void TestImageIo::shiftMatchesReference_data() {
    QTest::addColumn<double>("dx");
    QTest::addColumn<double>("dy");
    QTest::newRow("half right") << 0.5 << 0.;
    QTest::newRow("whole right") << 1. << 0.;
    QTest::newRow("down-left fraction") << -0.3 << 0.7;
    QTest::newRow("several pixels") << 3.25 << -2.5;
}

void TestImageIo::shiftMatchesReference() {
    QFETCH(double, dx);
    QFETCH(double, dy);
    // A vertical one-pixel line moves by dx and, between pixels, spreads over its neighbours.
    cv::Mat image(40, 40, CV_8UC3, cv::Scalar::all(0));
    image.col(20).setTo(cv::Scalar::all(200));
    cv::Mat reference;
    const cv::Mat transform = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
    cv::warpAffine(image, reference, transform, image.size(), cv::INTER_CUBIC,
                   cv::BORDER_REPLICATE);
    shiftImage(image, dx, dy);
    QCOMPARE(image.size(), reference.size());
    QCOMPARE(cv::norm(reference, image, cv::NORM_INF), 0.);

    // The centre of mass of the line follows the shift.
    double sum = 0, moment = 0;
    for (int x = 0; x < 40; ++x) {
        const double value = image.at<cv::Vec3b>(10, x)[0];
        sum += value;
        moment += x * value;
    }
    QVERIFY(qAbs(moment / sum - (20 + dx)) < 0.1);
    if (dx == 0.5) {
        QVERIFY(image.at<cv::Vec3b>(10, 20)[0] > 0);
        QVERIFY(image.at<cv::Vec3b>(10, 21)[0] > 0);
        QVERIFY(image.at<cv::Vec3b>(10, 20)[0] < 200);
    }
}

void TestImageIo::shiftIsTheWarpBitForBit_data() {
    QTest::addColumn<cv::Size>("size");
    QTest::addColumn<int>("type");
    QTest::addColumn<simd::Level>("level");
    const struct {
        const char *name;
        cv::Size size;
        int type;
    } cases[] = {{"preview 768x640, 3 channels", {768, 640}, CV_8UC3},
                 {"odd 37x23, 3 channels", {37, 23}, CV_8UC3},
                 {"grey 53x41", {53, 41}, CV_8UC1},
                 {"4 channels 29x31", {29, 31}, CV_8UC4},
                 {"narrower than the kernel 3x5", {3, 5}, CV_8UC3}};
    // Every path the shift has, as far as this processor (and MIREVA_PORTABLE_SIMD) allows.
    for (const simd::Level level :
         {simd::Level::Portable, simd::Level::Vector128, simd::Level::Avx2}) {
        if (level > simd::active())
            continue;
        for (const auto &c : cases)
            QTest::addRow("%s, %s", c.name, simd::name(level)) << c.size << c.type << level;
    }
}

void TestImageIo::shiftIsTheWarpBitForBit() {
    QFETCH(cv::Size, size);
    QFETCH(int, type);
    QFETCH(simd::Level, level);
    const simd::ScopedLimit limit(level);
    // Noise uses every tap's weight and saturates where the kernel overshoots.
    cv::Mat image(size, type);
    cv::RNG rng(7);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);

    std::vector<cv::Point2d> shifts;
    // Every fraction step of the warp in both directions, around zero...
    const int steps = size.area() > 10000 ? 8 : 32;
    for (int i = 0; i < steps; ++i)
        for (int j = 0; j < steps; ++j)
            shifts.emplace_back(i / double(steps) - 0.5, j / double(steps) - 0.5);
    // ...values that fall between steps or on their rounding edges, and moves of many pixels,
    // past the border and beyond the image.
    for (int n = 0; n < 40; ++n)
        shifts.emplace_back(rng.uniform(-4., 4.), rng.uniform(-4., 4.));
    for (const cv::Point2d &s : std::initializer_list<cv::Point2d>{
             {1. / 64, -3. / 64}, {0.3, 0.7}, {-0.1, 2.2}, {12.5, -7.25}, {-60.3, 45.9}})
        shifts.push_back(s);

    for (const cv::Point2d &shift : shifts) {
        cv::Mat expected, actual;
        const cv::Mat transform = (cv::Mat_<double>(2, 3) << 1, 0, shift.x, 0, 1, shift.y);
        cv::warpAffine(image, expected, transform, size, cv::INTER_CUBIC, cv::BORDER_REPLICATE);
        shiftImage(image, actual, shift.x, shift.y);
        QVERIFY2(cv::norm(expected, actual, cv::NORM_INF) == 0,
                 qPrintable(QString("shift (%1, %2)").arg(shift.x).arg(shift.y)));
    }

    // The target is reused, and a view of a larger image is shifted as a whole image.
    cv::Mat target(size, type);
    const uchar *buffer = target.data;
    shiftImage(image, target, 0.25, -0.75);
    QCOMPARE(target.data, buffer);
    cv::Mat framed(size.height + 4, size.width + 6, type, cv::Scalar::all(0));
    image.copyTo(framed(cv::Rect(3, 2, size.width, size.height)));
    cv::Mat fromView;
    shiftImage(framed(cv::Rect(3, 2, size.width, size.height)), fromView, 0.25, -0.75);
    QCOMPARE(cv::norm(target, fromView, cv::NORM_INF), 0.);
}

void TestImageIo::buffersAreReusedOnlyWhenFree() {
    std::array<cv::Mat, 2> pool;
    const cv::Size size(64, 48);
    cv::Mat first = reusableBuffer(pool, size, CV_8UC3);
    QCOMPARE(first.size(), size);
    QCOMPARE(first.type(), CV_8UC3);
    const uchar *firstData = first.data;
    // Still held: another buffer.
    cv::Mat second = reusableBuffer(pool, size, CV_8UC3);
    QVERIFY(second.data != firstData);
    const uchar *secondData = second.data;
    // Released: the first comes back, then the second.
    first.release();
    QCOMPARE(reusableBuffer(pool, size, CV_8UC3).data, firstData);
    second.release();
    QCOMPARE(reusableBuffer(pool, size, CV_8UC3).data, secondData);
    // A free buffer of another size is remade; one held elsewhere is left to its holder, even
    // through a view of part of it.
    cv::Mat held = reusableBuffer(pool, {32, 32}, CV_8UC1)(cv::Rect(4, 4, 8, 8));
    held.setTo(7);
    const cv::Mat other = reusableBuffer(pool, {32, 32}, CV_8UC1);
    QVERIFY(other.data != held.datastart);
    cv::Mat third = reusableBuffer(pool, {32, 32}, CV_8UC1);
    third.setTo(0);
    QCOMPARE(cv::countNonZero(held), 64);

    // ownPixels drops a buffer someone else also holds, and keeps one held only here.
    cv::Mat mine(8, 8, CV_8UC1);
    const uchar *mineData = mine.data;
    ownPixels(mine);
    QCOMPARE(mine.data, mineData);
    cv::Mat shared = mine;
    ownPixels(mine);
    QVERIFY(mine.empty());
    QCOMPARE(shared.data, mineData);
}

QTEST_GUILESS_MAIN(TestImageIo)
#include "tst_imageio.moc"
