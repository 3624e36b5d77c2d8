// The tavrona-server executable making a large saved part: other clients are answered at once
// meanwhile (the save's check and the pyramid run off the request thread), a server killed in
// the middle of the job finishes it after a restart, and a further start leaves ready parts
// alone.

#include "serverfixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <opencv2/imgproc.hpp>

#include <algorithm>

#include <csignal>

using fixture::dump;
using fixture::json;
using fixture::Response;

class TestServerJobs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void othersAreAnsweredWhileALargePartIsMade();
    void aKilledServerFinishesThePartAfterARestart();

private:
    bool startServer();
    QString uploadLargeScan(int side);
    json status(const QString &scanId);
    QString partState(const QString &scanId) {
        return QString::fromStdString(status(scanId)["parts"][0].value("state", ""));
    }

    QString m_program;
    QTemporaryDir m_dir;
    QProcess m_server;
    std::unique_ptr<fixture::Client> m_client;
    QByteArray m_token;
};

void TestServerJobs::initTestCase() {
    m_program = QCoreApplication::applicationDirPath() + QStringLiteral("/tavrona-server");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
}

void TestServerJobs::cleanup() {
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        m_server.waitForFinished(30000);
    }
}

bool TestServerJobs::startServer() {
    const QString base =
        fixture::startServer(m_server, m_program, m_dir.path(), {QStringLiteral("--auto-confirm")});
    if (base.isEmpty())
        return false;
    m_client = std::make_unique<fixture::Client>(QUrl(base));
    if (!m_token.isEmpty())
        return true;
    const Response start = m_client->send("POST", QStringLiteral("/api/mireva/token"));
    const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
    m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    const Response done = m_client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
    m_token = QByteArray::fromStdString(done.js().value("auth_token", ""));
    return !m_token.isEmpty();
}

QString TestServerJobs::uploadLargeScan(int side) {
    return fixture::uploadTiledScan(*m_client, m_token, side);
}

json TestServerJobs::status(const QString &scanId) {
    return m_client->send("GET", QStringLiteral("/scans/%1/status").arg(scanId)).js();
}

void TestServerJobs::othersAreAnsweredWhileALargePartIsMade() {
    QVERIFY(startServer());
    const QString container = uploadLargeScan(64); // 4,096 cells, 268 Mpx
    QVERIFY(!container.isEmpty());

    // One client saves; another keeps calling the API, each call timed from request to answer.
    fixture::Client saver{m_client->base};
    QNetworkRequest saveRequest(
        saver.base.resolved(QStringLiteral("/api/mireva/container/%1/save").arg(container)));
    saveRequest.setRawHeader("X-Api-token", m_token);
    saveRequest.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *save =
        saver.network.post(saveRequest, dump({{"file_name", "Large slide"}, {"type", "isd_file"}}));

    fixture::Client other{m_client->base};
    QList<qint64> duringSaveMs;
    QList<qint64> duringBuildMs;
    QString scanId;
    QElapsedTimer overall;
    overall.start();
    while (overall.elapsed() < 300000) {
        QElapsedTimer call;
        call.start();
        const Response info = other.api("GET", QStringLiteral("/api/mireva/info"), m_token);
        const qint64 ms = call.elapsed();
        QCOMPARE(info.status, 200);
        if (scanId.isEmpty()) {
            duringSaveMs << ms;
            if (save->isFinished()) {
                const Response saved = fixture::finish(save);
                QCOMPARE(saved.status, 200);
                scanId = QString::fromStdString(saved.js().value("scan_id", ""));
                QVERIFY2(status(scanId).contains("parts"), "the scan has no status");
            }
            continue;
        }
        const QString state = partState(scanId);
        if (state == QLatin1String("ready"))
            break;
        if (state == QLatin1String("running"))
            duringBuildMs << ms;
        QTest::qWait(50);
    }
    QCOMPARE(partState(scanId), QStringLiteral("ready"));

    // A blocked request thread answers after the whole check or build, seconds later. A busy
    // machine delays a call now and then, so the bound holds for nine calls in ten, and no
    // call waits a second.
    auto check = [](const QList<qint64> &times, const char *what) {
        QVERIFY2(!times.isEmpty(), what);
        QList<qint64> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        const qint64 p90 = sorted[qsizetype((sorted.size() - 1) * 9 / 10)];
        qInfo().noquote() << what << ":" << sorted.size() << "calls, median"
                          << sorted[sorted.size() / 2] << "ms, 90th percentile" << p90
                          << "ms, slowest" << sorted.last() << "ms";
        QVERIFY2(
            p90 <= 100,
            qPrintable(
                QStringLiteral("%1: 90th percentile %2 ms").arg(QLatin1String(what)).arg(p90)));
        QVERIFY2(sorted.last() < 1000, qPrintable(QStringLiteral("%1: a call took %2 ms")
                                                      .arg(QLatin1String(what))
                                                      .arg(sorted.last())));
    };
    check(duringSaveMs, "during the save");
    QVERIFY2(duringBuildMs.size() >= 10, "the part was made before enough calls were timed");
    check(duringBuildMs, "while the part was made");
}

void TestServerJobs::aKilledServerFinishesThePartAfterARestart() {
    QVERIFY(startServer());
    const QString container = uploadLargeScan(40);
    QVERIFY(!container.isEmpty());
    const Response saved =
        m_client->api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container),
                      m_token, dump({{"file_name", "Killed slide"}, {"type", "isd_file"}}));
    QCOMPARE(saved.status, 200);
    const QString scanId = QString::fromStdString(saved.js().value("scan_id", ""));
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 120000) {
        const json part = status(scanId)["parts"][0];
        if (part.value("state", "") == "running" && part.value("progress", 0) > 0)
            break;
        QTest::qWait(20);
    }
    QCOMPARE(partState(scanId), QStringLiteral("running"));
    ::kill(pid_t(m_server.processId()), SIGKILL);
    QVERIFY(m_server.waitForFinished(30000));

    QVERIFY(startServer());
    timer.restart();
    while (partState(scanId) != QLatin1String("ready") && timer.elapsed() < 300000)
        QTest::qWait(100);
    QCOMPARE(partState(scanId), QStringLiteral("ready"));
    const std::string version = status(scanId)["parts"][0].value("dzi", "");
    QVERIFY(m_client->send("GET", QString::fromStdString(version)).status == 200);
    m_server.terminate();
    QVERIFY(m_server.waitForFinished(30000));

    // Started again: the part is ready at once, from the same build.
    QVERIFY(startServer());
    const json part = status(scanId)["parts"][0];
    QCOMPARE(QString::fromStdString(part.value("state", "")), QStringLiteral("ready"));
    QCOMPARE(part.value("dzi", ""), version);
}

QTEST_GUILESS_MAIN(TestServerJobs)
#include "tst_serverjobs.moc"
