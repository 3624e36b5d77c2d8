// A tile request to the tavrona-server executable over loopback, once the part is made: the
// time from request to the whole answer, as a viewer's client sees it (keep-alive connection),
// with its 50th and 99th percentiles.

#include "serverfixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

namespace {

using fixture::dump;
using fixture::json;
using fixture::Response;

struct Served {
    QTemporaryDir dir;
    QProcess server;
    std::unique_ptr<fixture::Client> client;
    QString part;    // "/scans/<id>/parts/0"
    QString version; // "?v=<build>"
    int width = 0;
    int height = 0;
    QString error;

    // A part of side × side cells of 256 px, uploaded, saved and made.
    explicit Served(int side) {
        const QString base = fixture::startServer(
            server, QCoreApplication::applicationDirPath() + QStringLiteral("/tavrona-server"),
            dir.path(), {QStringLiteral("--auto-confirm")});
        if (base.isEmpty()) {
            error = QStringLiteral("the server does not start");
            return;
        }
        client = std::make_unique<fixture::Client>(QUrl(base));
        const Response start = client->send("POST", QStringLiteral("/api/mireva/token"));
        const QByteArray poll = dump({{"activation_code", start.js()["activation_code"]}});
        client->api("POST", QStringLiteral("/api/token/activate"), {}, poll);
        const QByteArray token = QByteArray::fromStdString(
            client->api("POST", QStringLiteral("/api/token/activate"), {}, poll)
                .js()
                .value("auth_token", ""));
        const QString container = QString::fromStdString(
            client->api("POST", QStringLiteral("/api/mireva/container/new"), token)
                .js()
                .value("container_id", ""));
        auto put = [&](const QString &path, const QByteArray &data) {
            const Response presigned = client->api(
                "POST", QStringLiteral("/api/mireva/container/%1/presign_upload").arg(container),
                token, dump({{"files", {path.toStdString()}}}));
            client->upload(presigned.js()["files"][0], data);
        };
        cv::Mat cell(256, 256, CV_8UC3);
        cv::randu(cell, 0, 255);
        std::vector<uchar> bytes;
        cv::imencode(".jpg", cell, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
        const QByteArray jpeg(reinterpret_cast<const char *>(bytes.data()),
                              qsizetype(bytes.size()));
        json parts = json::array();
        QList<QPair<QString, QByteArray>> entries;
        for (int i = 0, archive = 0; i < side * side; ++i) {
            const QString name = QStringLiteral("%1.dat").arg(archive, 5, 10, QLatin1Char('0'));
            entries.append({QStringLiteral("%1.jpg").arg(i), jpeg});
            parts.push_back({(i % side) * 256, (i / side) * 256,
                             QStringLiteral("%1/%2.jpg").arg(name).arg(i).toStdString()});
            if (entries.size() == 100 || i == side * side - 1) {
                put(name, fixture::archive(entries));
                entries.clear();
                ++archive;
            }
        }
        width = height = side * 256;
        put(QStringLiteral("scan.isd"),
            dump(
                {{"images",
                  {{{"type", "stitched"}, {"width", width}, {"height", height}, {"parts", parts}}}},
                 {"layout", "horizontal"},
                 {"version", "1.0"}}));
        const Response saved =
            client->api("POST", QStringLiteral("/api/mireva/container/%1/save").arg(container),
                        token, dump({{"file_name", "bench"}, {"type", "isd_file"}}));
        const QString scanId = QString::fromStdString(saved.js().value("scan_id", ""));
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 600000) {
            const json status =
                client->send("GET", QStringLiteral("/scans/%1/status").arg(scanId)).js();
            const json parts = status.value("parts", json::array());
            const json p = parts.empty() ? json::object() : parts[0];
            if (p.value("state", "") == "ready") {
                part = QStringLiteral("/scans/%1/parts/0").arg(scanId);
                version =
                    QStringLiteral("?v=") +
                    QString::fromStdString(p.value("dzi", "")).section(QStringLiteral("?v="), 1);
                return;
            }
            QTest::qWait(100);
        }
        error = QStringLiteral("the part was not made");
    }

    ~Served() {
        server.terminate();
        server.waitForFinished(30000);
    }
};

// Random tiles of the full-resolution level and the two below it.
void BM_TileRequest(benchmark::State &state) {
    Served served(int(state.range(0)));
    if (!served.error.isEmpty()) {
        state.SkipWithError(served.error.toStdString().c_str());
        return;
    }
    int top = 0;
    for (int s = std::max(served.width, served.height); s > 1; s = (s + 1) / 2)
        ++top;
    std::mt19937 random(7);
    std::vector<double> times;
    for (auto _ : state) {
        const int level = top - int(random() % 3);
        const int scale = 1 << (top - level);
        const int columns = ((served.width + scale - 1) / scale + 253) / 254;
        const int rows = ((served.height + scale - 1) / scale + 253) / 254;
        const QString path = served.part +
                             QStringLiteral("_files/%1/%2_%3.jpeg")
                                 .arg(level)
                                 .arg(int(random() % uint(columns)))
                                 .arg(int(random() % uint(rows))) +
                             served.version;
        QElapsedTimer timer;
        timer.start();
        const Response tile = served.client->send("GET", path);
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (tile.status != 200) {
            state.SkipWithError("a tile request failed");
            return;
        }
    }
    std::sort(times.begin(), times.end());
    state.counters["p50_ms"] = times[times.size() / 2];
    state.counters["p99_ms"] = times[std::min(times.size() - 1, times.size() * 99 / 100)];
}
BENCHMARK(BM_TileRequest)->Arg(40)->Iterations(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
