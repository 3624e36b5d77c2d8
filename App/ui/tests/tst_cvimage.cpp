#include "ui/cvimage.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class TestCvImage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void signalOrder_data();
    void signalOrder();
    void regionChanges();
    void visiblePixels_data();
    void visiblePixels();
    void onlyRgbIsShown_data();
    void onlyRgbIsShown();
    void registeredInQml();
    void paintsStretchedRegion();

private:
    QStringList recordSignals(CvImage &item);
    QStringList emitted;
};

void TestCvImage::initTestCase() {
    qRegisterMetaType<cv::Mat>("cv::Mat");
    // Rendered without a GPU so that the paint path runs headless.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

QStringList TestCvImage::recordSignals(CvImage &item) {
    emitted.clear();
    connect(&item, &CvImage::imageChanged, this, [this] { emitted << "image"; });
    connect(&item, &CvImage::imageWidthChanged, this, [this] { emitted << "width"; });
    connect(&item, &CvImage::imageHeightChanged, this, [this] { emitted << "height"; });
    connect(&item, &CvImage::regionChanged, this, [this] { emitted << "region"; });
    return emitted;
}

void TestCvImage::signalOrder_data() {
    QTest::addColumn<cv::Size>("first");
    QTest::addColumn<cv::Size>("second");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("same size") << cv::Size(768, 640) << cv::Size(768, 640) << QStringList{"image"};
    QTest::newRow("both grow") << cv::Size(768, 640) << cv::Size(1000, 800)
                               << QStringList{"image", "width", "height"};
    QTest::newRow("width only") << cv::Size(768, 640) << cv::Size(700, 640)
                                << QStringList{"image", "width"};
    QTest::newRow("height only") << cv::Size(768, 640) << cv::Size(768, 10)
                                 << QStringList{"image", "height"};
    QTest::newRow("to empty") << cv::Size(768, 640) << cv::Size(0, 0)
                              << QStringList{"image", "width", "height"};
}

void TestCvImage::signalOrder() {
    QFETCH(cv::Size, first);
    QFETCH(cv::Size, second);
    QFETCH(QStringList, expected);
    CvImage item;
    item.setImage(cv::Mat(first, CV_8UC3, cv::Scalar::all(1)));
    recordSignals(item);
    const cv::Mat next = second.empty() ? cv::Mat() : cv::Mat(second, CV_8UC3);
    item.setImage(next);
    QCOMPARE(emitted, expected);
    QCOMPARE(item.imageWidth(), second.width);
    QCOMPARE(item.imageHeight(), second.height);
    QCOMPARE(item.image().data, next.data); // shared, not copied

    // Setting the very same matrix again still announces it.
    emitted.clear();
    item.setImage(next);
    QCOMPARE(emitted, QStringList{"image"});
}

void TestCvImage::regionChanges() {
    CvImage item;
    recordSignals(item);
    QVERIFY(item.region().isNull());
    item.setRegion(QRectF(1, 2, 3, 4));
    item.setRegion(QRectF(1, 2, 3, 4));
    QCOMPARE(emitted, QStringList{"region"});
    QCOMPARE(item.region(), QRectF(1, 2, 3, 4));
    item.resetRegion();
    QCOMPARE(emitted, (QStringList{"region", "region"}));
    QVERIFY(item.region().isNull());
    QVERIFY(item.setProperty("region", QRectF(5, 5, 5, 5)));
    QCOMPARE(item.region(), QRectF(5, 5, 5, 5));
}

void TestCvImage::visiblePixels_data() {
    QTest::addColumn<QRectF>("region");
    QTest::addColumn<cv::Rect>("expected");
    QTest::newRow("no region") << QRectF() << cv::Rect(0, 0, 640, 480);
    QTest::newRow("inside") << QRectF(10.9, 20.2, 100.7, 50.5) << cv::Rect(10, 20, 100, 50);
    QTest::newRow("above left") << QRectF(-10, -10, 100, 100) << cv::Rect(0, 0, 100, 100);
    QTest::newRow("below right") << QRectF(600, 400, 100, 100) << cv::Rect(600, 400, 40, 80);
    QTest::newRow("past the image") << QRectF(900, 700, 50, 50) << cv::Rect(639, 479, 1, 1);
    QTest::newRow("zero width") << QRectF(10, 10, 0, 50) << cv::Rect(0, 0, 640, 480);
    QTest::newRow("negative height") << QRectF(10, 10, 50, -5) << cv::Rect(0, 0, 640, 480);
}

void TestCvImage::visiblePixels() {
    QFETCH(QRectF, region);
    QFETCH(cv::Rect, expected);
    cv::Mat image(480, 640, CV_8UC3);
    cv::randu(image, 0, 255);
    CvImage item;
    item.setImage(image);
    item.setRegion(region);
    const cv::Mat pixels = item.visiblePixels();
    QCOMPARE(pixels.size(), expected.size());
    QCOMPARE(pixels.data, image(expected).data); // a view, no copy
}

void TestCvImage::onlyRgbIsShown_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("shown");
    QTest::newRow("8-bit RGB") << int(CV_8UC3) << true;
    QTest::newRow("8-bit grey") << int(CV_8UC1) << false;
    QTest::newRow("8-bit RGBA") << int(CV_8UC4) << false;
    QTest::newRow("16-bit RGB") << int(CV_16UC3) << false;
    QTest::newRow("float RGB") << int(CV_32FC3) << false;
}

void TestCvImage::onlyRgbIsShown() {
    QFETCH(int, type);
    QFETCH(bool, shown);
    CvImage item;
    item.setImage(cv::Mat(40, 50, type, cv::Scalar::all(1)));
    QCOMPARE(item.imageWidth(), 50);
    QCOMPARE(!item.visiblePixels().empty(), shown);
}

void TestCvImage::registeredInQml() {
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData("import Mireva 1.0\nCvImage { region: Qt.rect(1, 2, 3, 4) }", QUrl());
    std::unique_ptr<QObject> object(component.create());
    QVERIFY2(object, qPrintable(component.errorString()));
    auto *item = qobject_cast<CvImage *>(object.get());
    QVERIFY(item);
    QCOMPARE(item->region(), QRectF(1, 2, 3, 4));
    QVERIFY(item->flags() & QQuickItem::ItemHasContents);
}

void TestCvImage::paintsStretchedRegion() {
    QQuickWindow window;
    window.resize(200, 100);
    window.setColor(Qt::black);
    CvImage item(window.contentItem());
    item.setSize(QSizeF(200, 100));
    // Left half red, right half blue, in R, G, B order.
    cv::Mat image(480, 640, CV_8UC3, cv::Scalar(255, 0, 0));
    image(cv::Rect(320, 0, 320, 480)).setTo(cv::Scalar(0, 0, 255));
    item.setImage(image);
    // A region on the blue side only, clipped at the right edge, fills the whole item.
    item.setRegion(QRectF(600, 400, 100, 100));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QImage shot = window.grabWindow();
    if (shot.isNull())
        QSKIP("This platform cannot grab a software-rendered window");
    shot = shot.convertToFormat(QImage::Format_RGB32);
    QCOMPARE(QColor(shot.pixel(5, 5)), QColor(0, 0, 255));
    QCOMPARE(QColor(shot.pixel(195, 95)), QColor(0, 0, 255));

    item.resetRegion();
    shot = window.grabWindow().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(QColor(shot.pixel(20, 50)), QColor(255, 0, 0));
    QCOMPARE(QColor(shot.pixel(180, 50)), QColor(0, 0, 255));

    // Not RGB: nothing drawn, the window's background shows.
    item.setImage(cv::Mat(480, 640, CV_8UC1, cv::Scalar(200)));
    shot = window.grabWindow().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(QColor(shot.pixel(100, 50)), QColor(0, 0, 0));
}

QTEST_MAIN(TestCvImage)
#include "tst_cvimage.moc"
