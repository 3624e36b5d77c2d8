#include "router.h"

#include <QTest>

using namespace tavrona;

using Params = QHash<QString, QString>;
Q_DECLARE_METATYPE(Params)

class TestRouter : public QObject {
    Q_OBJECT

private slots:
    void patternMatches_data();
    void patternMatches();
    void badPatterns_data();
    void badPatterns();
    void firstRouteWinsAndOtherMethodsAreListed();
};

void TestRouter::patternMatches_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("matches");
    QTest::addColumn<Params>("params");
    QTest::newRow("literal") << "/api/mireva/info" << QByteArray("/api/mireva/info") << true
                             << Params{};
    QTest::newRow("literal, trailing slash")
        << "/api/mireva/info" << QByteArray("/api/mireva/info/") << false << Params{};
    QTest::newRow("literal, longer") << "/api" << QByteArray("/api/x") << false << Params{};
    QTest::newRow("regex characters are literal")
        << "/a.b" << QByteArray("/axb") << false << Params{};
    QTest::newRow("one segment") << "/scans/{scan}" << QByteArray("/scans/ab12") << true
                                 << Params{{"scan", "ab12"}};
    QTest::newRow("segment is not empty")
        << "/scans/{scan}" << QByteArray("/scans/") << false << Params{};
    QTest::newRow("segment stops at a slash")
        << "/scans/{scan}" << QByteArray("/scans/a/b") << false << Params{};
    QTest::newRow("encoded slash stays in the segment, decoded")
        << "/scans/{scan}" << QByteArray("/scans/a%2Fb") << true << Params{{"scan", "a/b"}};
    QTest::newRow("decoded UTF-8") << "/scans/{scan}" << QByteArray("/scans/%C3%A9t%C3%A9") << true
                                   << Params{{"scan", QStringLiteral("été")}};
    QTest::newRow("parameters between literal text")
        << "/scans/{id}/parts/{n}_files/{level}/{col}_{row}.jpeg"
        << QByteArray("/scans/ab/parts/2_files/11/3_14.jpeg") << true
        << Params{{"id", "ab"}, {"n", "2"}, {"level", "11"}, {"col", "3"}, {"row", "14"}};
    QTest::newRow("literal suffix is required")
        << "/scans/{id}/parts/{n}_files/{level}/{col}_{row}.jpeg"
        << QByteArray("/scans/ab/parts/2_files/11/3_14.png") << false << Params{};
    QTest::newRow("rest of the path")
        << "/storage/{container}/{path*}" << QByteArray("/storage/c1/cells/a%20b.jpg") << true
        << Params{{"container", "c1"}, {"path", "cells/a b.jpg"}};
    QTest::newRow("rest is not empty")
        << "/storage/{container}/{path*}" << QByteArray("/storage/c1/") << false << Params{};
}

void TestRouter::patternMatches() {
    QFETCH(QString, pattern);
    QFETCH(QByteArray, path);
    QFETCH(bool, matches);
    QFETCH(Params, params);
    const PathPattern compiled(pattern);
    QVERIFY2(compiled.isValid(), qPrintable(compiled.error()));
    Params got;
    QCOMPARE(compiled.match(path, &got), matches);
    if (matches)
        QCOMPARE(got, params);
}

void TestRouter::badPatterns_data() {
    QTest::addColumn<QString>("pattern");
    QTest::newRow("relative") << "scans/{id}";
    QTest::newRow("unclosed") << "/scans/{id";
    QTest::newRow("empty name") << "/scans/{}";
    QTest::newRow("repeated name") << "/a/{id}/b/{id}";
    QTest::newRow("adjacent parameters") << "/a/{x}{y}";
    QTest::newRow("rest not last") << "/a/{rest*}/b";
    QTest::newRow("rest inside a segment") << "/a/x{rest*}";
}

void TestRouter::badPatterns() {
    QFETCH(QString, pattern);
    const PathPattern compiled(pattern);
    QVERIFY(!compiled.isValid());
    QVERIFY(!compiled.error().isEmpty());
    QVERIFY(!compiled.match("/a/x/b", nullptr));
}

void TestRouter::firstRouteWinsAndOtherMethodsAreListed() {
    Router router;
    QStringList called;
    auto handler = [&](const char *name) {
        return [&called, name](const HttpRequest &) {
            called << QString::fromLatin1(name);
            return HttpReply::json({});
        };
    };
    router.add("POST", "/api/mireva/container/new", Body::Json, handler("new"));
    router.add("POST", "/api/mireva/container/{id}", Body::Json, handler("id"));
    router.add("GET", "/activate/{code}", Body::None, handler("get"));
    router.add("POST", "/activate/{code}", Body::Form, handler("post"));

    Router::Match match = router.match("POST", "/api/mireva/container/new");
    QVERIFY(match.route);
    match.route->handler({});
    QCOMPARE(called, QStringList{"new"});
    QVERIFY(match.params.isEmpty());

    match = router.match("POST", "/api/mireva/container/ab");
    QVERIFY(match.route);
    QCOMPARE(match.route->body, Body::Json);
    QCOMPARE(match.params.value("id"), QStringLiteral("ab"));

    match = router.match("DELETE", "/activate/x");
    QVERIFY(!match.route);
    QCOMPARE(match.allowed, QByteArrayList({"GET", "POST"}));

    match = router.match("GET", "/nothing");
    QVERIFY(!match.route);
    QVERIFY(match.allowed.isEmpty());
}

QTEST_GUILESS_MAIN(TestRouter)
#include "tst_router.moc"
