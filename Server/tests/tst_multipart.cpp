#include "multipart.h"

#include <QTest>

using namespace tavrona;

class TestMultipart : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void boundaryFromContentType_data();
    void boundaryFromContentType();
    void dispositionParameters();
};

namespace {

const QByteArray B = "XyZ123";

QByteArray part(const QByteArray &name, const QByteArray &data) {
    return "--" + B + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + data +
           "\r\n";
}

QByteArray close() {
    return "--" + B + "--\r\n";
}

} // namespace

void TestMultipart::parse_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status"); // 0: parses
    QTest::addColumn<QByteArrayList>("names");
    QTest::addColumn<QByteArray>("fileData");

    const QByteArray file = QByteArray("\x00\x01\xff\r\n\r\nbinary", 13);
    QTest::newRow("fields then file")
        << part("key", "a/b.jpg") + part("expires", "123") + part("file", file) + close() << 0
        << QByteArrayList{"key", "expires", "file"} << file;
    QTest::newRow("no trailing CRLF after close")
        << part("file", "x") + "--" + B + "--" << 0 << QByteArrayList{"file"} << QByteArray("x");
    QTest::newRow("preamble and epilogue ignored")
        << "preamble text\r\n" + part("file", "x") + close() + "epilogue" << 0
        << QByteArrayList{"file"} << QByteArray("x");
    QTest::newRow("boundary text inside data, not at a line start")
        << part("file", "aa--" + B + "--bb") + close() << 0 << QByteArrayList{"file"}
        << QByteArray("aa--" + B + "--bb");
    QTest::newRow("boundary at a line start but longer: still data")
        << part("file", "aa\r\n--" + B + "Q more") + close() << 0 << QByteArrayList{"file"}
        << QByteArray("aa\r\n--" + B + "Q more");
    QTest::newRow("empty file") << part("file", "") + close() << 0 << QByteArrayList{"file"}
                                << QByteArray();
    QTest::newRow("transport padding after delimiter")
        << "--" + B + "  \r\nContent-Disposition: form-data; name=file\r\n\r\nv\r\n" + close() << 0
        << QByteArrayList{"file"} << QByteArray("v");

    QTest::newRow("missing final boundary")
        << part("file", "abc") << 400 << QByteArrayList{} << QByteArray();
    QTest::newRow("cut off inside data")
        << "--" + B + "\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nabc" << 400
        << QByteArrayList{} << QByteArray();
    QTest::newRow("cut off inside headers")
        << "--" + B + "\r\nContent-Disposition: form-data; name=\"file\"" << 400 << QByteArrayList{}
        << QByteArray();
    QTest::newRow("no opening boundary")
        << QByteArray("just text") << 400 << QByteArrayList{} << QByteArray();
    QTest::newRow("empty body") << QByteArray() << 400 << QByteArrayList{} << QByteArray();
    QTest::newRow("part without a name")
        << "--" + B + "\r\nContent-Disposition: form-data\r\n\r\nx\r\n" + close() << 400
        << QByteArrayList{} << QByteArray();
    QTest::newRow("part that is not form-data")
        << "--" + B + "\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n" + close()
        << 400 << QByteArrayList{} << QByteArray();
    QTest::newRow("header line without colon")
        << "--" + B + "\r\nContent-Disposition form-data\r\n\r\nx\r\n" + close() << 400
        << QByteArrayList{} << QByteArray();
    QTest::newRow("huge field") << part("key", QByteArray(70 * 1024, 'k')) + part("file", "x") +
                                       close()
                                << 413 << QByteArrayList{} << QByteArray();
    QTest::newRow("huge field without end")
        << "--" + B + "\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\n" +
               QByteArray(200 * 1024, 'k')
        << 413 << QByteArrayList{} << QByteArray();
    QTest::newRow("file over its limit") << part("file", QByteArray(300 * 1024, 'f')) + close()
                                         << 413 << QByteArrayList{} << QByteArray();
    QByteArray many;
    for (int i = 0; i < 40; ++i)
        many += part("f" + QByteArray::number(i), "v");
    QTest::newRow("too many parts") << many + close() << 413 << QByteArrayList{} << QByteArray();
    QTest::newRow("huge part header")
        << "--" + B + "\r\nContent-Disposition: form-data; name=\"a\"\r\nX-Pad: " +
               QByteArray(20 * 1024, 'p') + "\r\n\r\nx\r\n" + close()
        << 413 << QByteArrayList{} << QByteArray();
}

void TestMultipart::parse() {
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QByteArrayList, names);
    QFETCH(QByteArray, fileData);

    MultipartLimits limits;
    limits.maxFileBytes = 256 * 1024;
    const MultipartResult result = parseMultipart(body, B, limits);
    if (status != 0) {
        QVERIFY(!result.ok);
        QCOMPARE(result.status, status);
        QVERIFY(!result.error.isEmpty());
        return;
    }
    QVERIFY2(result.ok, qPrintable(result.error));
    QByteArrayList got;
    for (const MultipartPart &p : result.parts)
        got << p.name;
    QCOMPARE(got, names);
    QVERIFY(result.part("file"));
    QCOMPARE(result.part("file")->data, fileData);
}

void TestMultipart::boundaryFromContentType_data() {
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("boundary");

    QTest::newRow("plain") << QByteArray("multipart/form-data; boundary=abc") << QByteArray("abc");
    QTest::newRow("quoted") << QByteArray("multipart/form-data; boundary=\"a b;c\"")
                            << QByteArray("a b;c");
    QTest::newRow("upper-case type, other parameter first")
        << QByteArray("Multipart/Form-Data; charset=utf-8; BOUNDARY=q1") << QByteArray("q1");
    QTest::newRow("not multipart") << QByteArray("application/json; boundary=x") << QByteArray();
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << QByteArray();
    QTest::newRow("boundary too long")
        << QByteArray("multipart/form-data; boundary=" + QByteArray(71, 'b')) << QByteArray();
    QTest::newRow("empty boundary")
        << QByteArray("multipart/form-data; boundary=\"\"") << QByteArray();
}

void TestMultipart::boundaryFromContentType() {
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, boundary);
    QString error;
    QCOMPARE(multipartBoundary(contentType, &error), boundary);
    QCOMPARE(error.isEmpty(), !boundary.isEmpty());
}

void TestMultipart::dispositionParameters() {
    QList<QPair<QByteArray, QByteArray>> params;
    QCOMPARE(headerParameters("form-data; name=\"a\\\"b\"; filename=\"x;y.jpg\"", &params),
             QByteArray("form-data"));
    QCOMPARE(params.size(), 2);
    QCOMPARE(params[0], qMakePair(QByteArray("name"), QByteArray("a\"b")));
    QCOMPARE(params[1], qMakePair(QByteArray("filename"), QByteArray("x;y.jpg")));
}

QTEST_APPLESS_MAIN(TestMultipart)
#include "tst_multipart.moc"
