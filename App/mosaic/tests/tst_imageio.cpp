#include "mosaic/imageio.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgproc.hpp>

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

QTEST_GUILESS_MAIN(TestImageIo)
#include "tst_imageio.moc"
