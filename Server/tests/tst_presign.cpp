#include "envelope.h"
#include "presign.h"
#include "storage.h"

#include <QTest>

using namespace tavrona;

class TestPresign : public QObject {
    Q_OBJECT

private slots:
    void verify_data();
    void verify();
    void keysDiffer();
    void containerPaths_data();
    void containerPaths();
    void envelopeFraming_data();
    void envelopeFraming();
};

namespace {
const QString container = QStringLiteral("0123456789abcdef0123456789abcdef");
const qint64 expiry = 1'800'000'000;
} // namespace

void TestPresign::verify_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("containerId");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expires");
    QTest::addColumn<bool>("tamperSignature");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<int>("check");

    const QString path = QStringLiteral("00000.dat");
    const QString e = QString::number(expiry);
    const int ok = int(Presigner::Check::Ok);
    const int forged = int(Presigner::Check::Forged);
    const int expired = int(Presigner::Check::Expired);
    const int malformed = int(Presigner::Check::Malformed);
    QTest::newRow("valid") << QByteArray("PUT") << container << path << e << false << expiry - 60
                           << ok;
    QTest::newRow("valid in its last second")
        << QByteArray("PUT") << container << path << e << false << expiry << ok;
    QTest::newRow("one second late")
        << QByteArray("PUT") << container << path << e << false << expiry + 1 << expired;
    QTest::newRow("other method") << QByteArray("POST") << container << path << e << false
                                  << expiry - 60 << forged;
    QTest::newRow("other container")
        << QByteArray("PUT") << QStringLiteral("fedcba9876543210fedcba9876543210") << path << e
        << false << expiry - 60 << forged;
    QTest::newRow("other path") << QByteArray("PUT") << container << QStringLiteral("00001.dat")
                                << e << false << expiry - 60 << forged;
    QTest::newRow("expiry moved later")
        << QByteArray("PUT") << container << path << QString::number(expiry + 3600) << false
        << expiry - 60 << forged;
    QTest::newRow("late and forged: forged wins")
        << QByteArray("PUT") << container << path << QString::number(expiry + 3600) << false
        << expiry + 10 << forged;
    QTest::newRow("signature altered")
        << QByteArray("PUT") << container << path << e << true << expiry - 60 << forged;
    QTest::newRow("expiry not a number")
        << QByteArray("PUT") << container << path << QStringLiteral("soon") << false << expiry - 60
        << malformed;
}

void TestPresign::verify() {
    QFETCH(QByteArray, method);
    QFETCH(QString, containerId);
    QFETCH(QString, path);
    QFETCH(QString, expires);
    QFETCH(bool, tamperSignature);
    QFETCH(qint64, now);
    QFETCH(int, check);

    const Presigner signer(QByteArray(32, 'k'));
    QByteArray signature = signer.sign("PUT", container, QStringLiteral("00000.dat"), expiry);
    QCOMPARE(signature.size(), 64);
    QCOMPARE(signature, signature.toLower());
    if (tamperSignature)
        signature[10] = signature[10] == 'a' ? 'b' : 'a';
    QCOMPARE(
        int(signer.verify(method, containerId, path, expires, QString::fromLatin1(signature), now)),
        check);
}

void TestPresign::keysDiffer() {
    const Presigner a(Presigner::newKey());
    const Presigner b(Presigner::newKey());
    const QByteArray signature = a.sign("PUT", container, QStringLiteral("x"), expiry);
    QCOMPARE(a.verify("PUT", container, QStringLiteral("x"), QString::number(expiry),
                      QString::fromLatin1(signature), expiry),
             Presigner::Check::Ok);
    QCOMPARE(b.verify("PUT", container, QStringLiteral("x"), QString::number(expiry),
                      QString::fromLatin1(signature), expiry),
             Presigner::Check::Forged);
    QCOMPARE(a.verify("PUT", container, QStringLiteral("x"), QString::number(expiry),
                      QStringLiteral("abc"), expiry),
             Presigner::Check::Malformed);
}

void TestPresign::containerPaths_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("archive") << "00000.dat" << true;
    QTest::newRow("photo") << "snapshots/12.jpg" << true;
    QTest::newRow("descriptor") << "scan.isd" << true;
    QTest::newRow("non-ASCII") << QString::fromUtf8("próba/zdjęcie.jpg") << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("leading slash") << "/etc/passwd" << false;
    QTest::newRow("dot-dot") << "../x" << false;
    QTest::newRow("dot-dot in the middle") << "a/../b" << false;
    QTest::newRow("backslash") << "a\\b" << false;
    QTest::newRow("newline") << "a\nb" << false;
    QTest::newRow("NUL") << QString(QChar(0)) + "a" << false;
    QTest::newRow("DEL") << "a\x7f" << false;
    QTest::newRow("C1 control") << QString(QChar(0x85)) << false;
    QTest::newRow("empty segment") << "a//b" << false;
    QTest::newRow("trailing slash") << "a/" << false;
    QTest::newRow("dot segment") << "./a" << false;
    QTest::newRow("too long") << QString(513, QLatin1Char('a')) << false;
}

void TestPresign::containerPaths() {
    QFETCH(QString, path);
    QFETCH(bool, accepted);
    QCOMPARE(Storage::checkPath(path).isEmpty(), accepted);
}

void TestPresign::envelopeFraming_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("items"); // -1: refused
    QTest::addColumn<QByteArray>("lastPayload");
    QTest::newRow("header only") << QByteArray("{}") << 0 << QByteArray();
    QTest::newRow("header and newline") << QByteArray("{}\n") << 0 << QByteArray();
    QTest::newRow("item with length, no final newline")
        << QByteArray("{}\n{\"type\":\"event\",\"length\":4}\n{\n}\n") << 1 << QByteArray("{\n}\n");
    QTest::newRow("payload holding newlines")
        << QByteArray("{}\n{\"type\":\"attachment\",\"length\":5}\na\nb\nc\n") << 1
        << QByteArray("a\nb\nc");
    QTest::newRow("item without length runs to the line end")
        << QByteArray("{}\n{\"type\":\"event\"}\n{\"a\":1}\n{\"type\":\"session\"}\n{}") << 2
        << QByteArray("{}");
    QTest::newRow("empty payload")
        << QByteArray("{}\n{\"type\":\"event\",\"length\":0}\n") << 1 << QByteArray();
    QTest::newRow("length past the end")
        << QByteArray("{}\n{\"type\":\"event\",\"length\":9}\nabc") << -1 << QByteArray();
    QTest::newRow("length as text")
        << QByteArray("{}\n{\"type\":\"event\",\"length\":\"3\"}\nabc") << -1 << QByteArray();
    QTest::newRow("header is an array") << QByteArray("[]\n") << -1 << QByteArray();
}

void TestPresign::envelopeFraming() {
    QFETCH(QByteArray, data);
    QFETCH(int, items);
    QFETCH(QByteArray, lastPayload);
    Envelope envelope;
    QString error;
    const bool ok = parseEnvelope(data, &envelope, &error);
    QCOMPARE(ok, items >= 0);
    QCOMPARE(error.isEmpty(), ok);
    if (!ok)
        return;
    QCOMPARE(int(envelope.items.size()), items);
    if (items > 0)
        QCOMPARE(envelope.items.back().payload, lastPayload);
}

QTEST_APPLESS_MAIN(TestPresign)
#include "tst_presign.moc"
