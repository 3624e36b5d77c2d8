#include "service/urlpolicy.h"

#include <QTest>

// Addresses the service may hand out, against a local service and an in-house one on plain
// http.
class TestUrlPolicy : public QObject {
    Q_OBJECT

private slots:
    void urls_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("refusal"); // start of the reason; empty: followed
        const QString local = QStringLiteral("http://127.0.0.1:8750/");
        const QString inHouse = QStringLiteral("http://tavrona.lab.example:8750/");
        const QString hosted = QStringLiteral("https://tavrona.example/");

        QTest::newRow("https anywhere")
            << "https://bucket.s3.example/a?X-Amz-Signature=1" << hosted << "";
        QTest::newRow("https, upper-case scheme") << "HTTPS://Storage.Example/x" << local << "";
        QTest::newRow("http to loopback")
            << "http://127.0.0.1:9/storage/a?signature=1" << hosted << "";
        QTest::newRow("http to another loopback address") << "http://127.8.9.10/x" << hosted << "";
        QTest::newRow("http to IPv6 loopback") << "http://[::1]:8750/x" << hosted << "";
        QTest::newRow("http to localhost") << "http://LocalHost:8750/x" << hosted << "";
        QTest::newRow("http to the service's own host, other port")
            << "http://Tavrona.Lab.Example:9000/storage/a" << inHouse << "";
        QTest::newRow("http elsewhere")
            << "http://storage.example/a" << inHouse << "plain http to storage.example";
        QTest::newRow("http to a name under localhost")
            << "http://storage.localhost/a" << hosted << "plain http to storage.localhost";
        QTest::newRow("http with loopback as the user name")
            << "http://127.0.0.1:80@storage.example/a" << hosted << "plain http to storage.example";
        QTest::newRow("http to a name that starts like loopback")
            << "http://127.0.0.1.evil.example/a" << hosted << "plain http to";
        QTest::newRow("http to the hosted service's host is still plain http")
            << "http://tavrona.example/a" << QString("https://other.example/") << "plain http";
        QTest::newRow("local file")
            << "file:///tmp/scan/00001.dat" << local << "file: addresses are not followed";
        QTest::newRow("network share")
            << "smb://fileserver/share/x" << local << "smb: addresses are not followed";
        QTest::newRow("ftp") << "ftp://127.0.0.1/x" << local << "ftp: addresses are not followed";
        QTest::newRow("script") << "javascript:alert(1)" << local
                                << "javascript: addresses are not followed";
        QTest::newRow("data") << "data:text/html,<b>x</b>" << local
                              << "data: addresses are not followed";
        QTest::newRow("no scheme") << "//storage.example/a" << local << "an address without";
        QTest::newRow("relative path") << "storage/a" << local << "an address without";
        QTest::newRow("https without host") << "https:///a" << local << "a https address without";
        QTest::newRow("empty") << "" << local << "not a valid address";
    }
    void urls() {
        QFETCH(QString, url);
        QFETCH(QString, service);
        QFETCH(QString, refusal);
        const QString reason = urlRefusal(QUrl(url), QUrl(service));
        if (refusal.isEmpty())
            QVERIFY2(reason.isEmpty(), qPrintable(reason));
        else
            QVERIFY2(reason.startsWith(refusal), qPrintable(reason));
        // A reason never repeats the path or query of the address.
        QVERIFY(!reason.contains(QLatin1String("signature")));
        QVERIFY(!reason.contains(QLatin1String("00001.dat")));
    }
};

QTEST_GUILESS_MAIN(TestUrlPolicy)
#include "tst_urlpolicy.moc"
