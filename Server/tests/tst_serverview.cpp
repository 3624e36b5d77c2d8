// A saved scan opened in headless Chromium, served by the tavrona-server executable.

#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <cstdio>

#include <opencv2/imgcodecs.hpp>

using fixture::dump;
using fixture::json;
using fixture::Response;

class TestServerView : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void scanPageInChromium();

private:
    QByteArray runChromium(const QStringList &arguments, const QString &url);

    QString m_program;
    QString m_chromium;
};

void TestServerView::initTestCase() {
    m_program = QCoreApplication::applicationDirPath() + QStringLiteral("/tavrona-server");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
    m_chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
}

QByteArray TestServerView::runChromium(const QStringList &arguments, const QString &url) {
    QTemporaryDir profile;
    QProcess chromium;
    chromium.setProcessChannelMode(QProcess::SeparateChannels);
    chromium.start(m_chromium,
                   QStringList{"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                               "--no-first-run", "--disable-background-networking",
                               "--disable-component-update", "--disable-sync",
                               "--user-data-dir=" + profile.path()} +
                       arguments + QStringList{url});
    if (!chromium.waitForFinished(90000)) {
        chromium.kill();
        chromium.waitForFinished(5000);
        return {};
    }
    return chromium.readAllStandardOutput();
}

void TestServerView::scanPageInChromium() {
    QTemporaryDir dir;
    QProcess server;
    const QString base =
        fixture::startServer(server, m_program, dir.path(),
                             {QStringLiteral("--auto-confirm"), QStringLiteral("--upload-method"),
                              QStringLiteral("alternate")});
    QVERIFY(!base.isEmpty());
    fixture::Client client{QUrl(base)};

    // Log in, create a container, upload a part of 2 × 1 cells and a photo, save.
    const Response start = client.send("POST", QStringLiteral("/api/mireva/token"));
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    QCOMPARE(client.api("POST", QStringLiteral("/api/token/activate"), {}, poll).status, 401);
    const Response done = client.api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    QCOMPARE(done.status, 200);
    const QByteArray token = QByteArray::fromStdString(done.js()["auth_token"].get<std::string>());
    const Response created = client.api("POST", QStringLiteral("/api/mireva/container/new"), token);
    const QString container =
        QString::fromStdString(created.js()["container_id"].get<std::string>());
    auto put = [&](const QString &path, const QByteArray &data) {
        const Response presigned = client.api(
            "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container), token,
            dump({{"files", {path.toStdString()}}}));
        return client.upload(presigned.js()["files"][0], data).status;
    };
    QCOMPARE(put(QStringLiteral("00000.dat"),
                 fixture::archive(
                     {{QStringLiteral("0.jpg"), fixture::jpeg(300, 200, cv::Scalar(0, 0, 255))},
                      {QStringLiteral("1.jpg"), fixture::jpeg(300, 200, cv::Scalar(255, 0, 0))}})),
             200);
    QCOMPARE(put(QStringLiteral("snapshots/2.jpg"), fixture::jpeg(120, 90, cv::Scalar(0, 200, 0))),
             200);
    const json isd = {
        {"images",
         {{{"type", "stitched"},
           {"width", 600},
           {"height", 200},
           {"parts", {{0, 0, "00000.dat/0.jpg"}, {300, 0, "00000.dat/1.jpg"}}}},
          {{"type", "single"}, {"path", "snapshots/2.jpg"}, {"rois", {json::object()}}}}},
        {"layout", "horizontal"},
        {"version", "1.0"}};
    QCOMPARE(put(QStringLiteral("scan.isd"), dump(isd)), 200);
    const Response saved =
        client.api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container), token,
                   dump({{"file_name", "Chromium slide"}, {"type", "isd_file"}}));
    QCOMPARE(saved.status, 200);
    const QString viewUrl = QString::fromStdString(saved.js()["view_url"].get<std::string>());

    // The DOM after load: both images decoded at their real sizes.
    const QByteArray dom = runChromium(
        {QStringLiteral("--dump-dom"), QStringLiteral("--virtual-time-budget=5000")}, viewUrl);
    QVERIFY2(!dom.isEmpty(), "chromium produced no DOM");
    QVERIFY(dom.contains("Chromium slide"));
    QVERIFY2(dom.contains("data-loaded=\"600x200\""), dom.constData());
    QVERIFY2(dom.contains("data-loaded=\"120x90\""), dom.constData());
    QVERIFY(!dom.contains("data-failed"));

    // And what it paints: the composed part's red and blue halves are on screen.
    QTemporaryDir shots;
    const QString png = shots.filePath(QStringLiteral("page.png"));
    runChromium({"--screenshot=" + png, QStringLiteral("--window-size=1000,800"),
                 QStringLiteral("--hide-scrollbars")},
                viewUrl);
    const cv::Mat shot = cv::imread(png.toStdString(), cv::IMREAD_COLOR);
    QVERIFY2(!shot.empty(), "no screenshot");
    int red = 0;
    int blue = 0;
    for (int y = 0; y < shot.rows; y += 2) {
        for (int x = 0; x < shot.cols; x += 2) {
            const cv::Vec3b p = shot.at<cv::Vec3b>(y, x);
            red += p[2] > 200 && p[1] < 60 && p[0] < 60;
            blue += p[0] > 200 && p[1] < 60 && p[2] < 60;
        }
    }
    QVERIFY2(red > 2000 && blue > 2000,
             qPrintable(QStringLiteral("red %1, blue %2 pixels").arg(red).arg(blue)));

    server.terminate();
    QVERIFY(server.waitForFinished(10000));
}

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty()) {
        std::fprintf(stderr, "SKIP: chromium is not installed, the scan page cannot be rendered\n");
        return 77;
    }
    TestServerView test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serverview.moc"
