// Cost of the full-resolution builder per camera frame (align, cut, encode and write ~30 cells)
// and of one archive of 101 cells. The goal is at most 60 ms per frame on one core.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "mosaic/bigbuilder.h"
#include "mosaic/zipwriter.h"

namespace {

// A 2464 x 2056 camera frame, previewed at 768 x 641: sx = sy = 3.2..., 308-px cells.
constexpr int frameWidth = 2464;
constexpr int frameHeight = 2056;
constexpr int cellPx = 308;

const cv::Mat &frame() {
    static const cv::Mat image = [] {
        cv::RNG rng(3);
        cv::Mat noise(frameHeight, frameWidth, CV_8UC3);
        rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
        cv::Mat smooth;
        cv::GaussianBlur(noise, smooth, cv::Size(0, 0), 3.0);
        cv::normalize(smooth, smooth, 0, 255, cv::NORM_MINMAX);
        return smooth;
    }();
    return image;
}

// The cells the live builder sends for a frame at mosaic position (0, 0): columns 1..6, rows 1..5.
QList<FrameCellInfo> frameCells() {
    QList<FrameCellInfo> cells;
    for (int i = 1; i <= 6; ++i) {
        for (int j = 1; j <= 5; ++j) {
            FrameCellInfo cell;
            cell.rect = cv::Rect(i * cellPx, j * cellPx, cellPx, cellPx);
            cell.cell_id = Point(i, j);
            cell.position = cv::Point(i * cellPx, j * cellPx);
            cells.append(cell);
        }
    }
    return cells;
}

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

void BM_StoreNewFrame(benchmark::State &state) {
    cv::setNumThreads(1);
    const QList<FrameCellInfo> cells = frameCells();
    BigBuilder builder("bench");
    // The cells are known already, so every frame is aligned against one of them, as in a scan.
    builder.storeNewFrame(frame(), cells);
    for (auto _ : state)
        builder.storeNewFrame(frame(), cells);
    state.counters["cells"] = cells.size();
}
BENCHMARK(BM_StoreNewFrame)->Unit(benchmark::kMillisecond);

void BM_Archive101Cells(benchmark::State &state) {
    cv::setNumThreads(1);
    QTemporaryDir dir;
    cv::Mat bgr;
    cv::cvtColor(frame(), bgr, cv::COLOR_RGB2BGR);
    QStringList files;
    {
        BigBuilder builder("bench");
        for (int k = 0; k < 101; ++k) {
            const cv::Rect rect((k % 7) * cellPx, (k / 7 % 6) * cellPx, cellPx, cellPx);
            const QString path = builder.saveToTemp(frame()(rect));
            const QString kept = dir.filePath(QString::number(k) + ".jpg");
            QFile::copy(path, kept);
            files.append(kept);
        }
    }
    int n = 0;
    for (auto _ : state) {
        const QString archive = dir.filePath(BigBuilder::archiveName(n++));
        if (!zipFiles(files, dir.path(), archive))
            state.SkipWithError("archive failed");
        state.PauseTiming();
        QFile::remove(archive);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Archive101Cells)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    qInstallMessageHandler(quietDebug);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
