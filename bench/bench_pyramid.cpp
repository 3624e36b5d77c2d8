// Making a saved part's Deep Zoom tiles and OME-TIFF (one job of the server's worker pool), for
// parts of 1,600 and 10,000 cells of 256 px, with the throughput and the peak resident memory
// of the build.

#include "pyramid.h"
#include "scancomposer.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <zip.h>

#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace tavrona;

constexpr int cellPx = 256;
const QString containerId = QStringLiteral("0123456789abcdef0123456789abcdef");

// Something like stained tissue: smooth blobs of colour with fine grain. 8 × 8 distinct cells
// repeat over the part (encoding 10,000 cells would take longer than the build).
std::vector<std::vector<uchar>> tissueCells() {
    const int side = 8 * cellPx;
    cv::Mat noise(side / 16, side / 16, CV_8UC3);
    cv::randu(noise, 0, 255);
    cv::Mat blobs;
    cv::resize(noise, blobs, cv::Size(side, side), 0, 0, cv::INTER_CUBIC);
    cv::Mat grain(side, side, CV_8UC3);
    cv::randn(grain, cv::Scalar::all(0), cv::Scalar::all(6));
    cv::Mat tissue;
    cv::addWeighted(blobs, 0.6, cv::Mat(side, side, CV_8UC3, cv::Scalar(200, 160, 210)), 0.4, 0,
                    tissue);
    tissue += grain;
    std::vector<std::vector<uchar>> cells;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            std::vector<uchar> bytes;
            cv::imencode(".jpg", tissue(cv::Rect(c * cellPx, r * cellPx, cellPx, cellPx)), bytes,
                         {cv::IMWRITE_JPEG_QUALITY, 95});
            cells.push_back(std::move(bytes));
        }
    return cells;
}

// side × side cells in archives of 100, as the program uploads them.
struct Package {
    QTemporaryDir dir;
    Storage storage;
    ScanImage part;

    explicit Package(int side) {
        storage.useFolder(dir.path());
        const auto cells = tissueCells();
        QDir().mkpath(storage.containerDir(containerId));
        part.type = ScanImage::Type::Stitched;
        part.width = side * cellPx;
        part.height = side * cellPx;
        zip_t *archive = nullptr;
        QString archiveName;
        for (int i = 0; i < side * side; ++i) {
            if (i % 100 == 0) {
                if (archive)
                    zip_close(archive);
                archiveName = QStringLiteral("%1.dat").arg(i / 100, 5, 10, QLatin1Char('0'));
                int error = 0;
                archive = zip_open(
                    QFile::encodeName(storage.filePath(containerId, archiveName)).constData(),
                    ZIP_CREATE | ZIP_EXCL, &error);
            }
            const int c = i % side;
            const int r = i / side;
            const auto &bytes = cells[size_t((r % 8) * 8 + c % 8)];
            const QByteArray entry = QByteArray::number(i) + ".jpg";
            zip_source_t *source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
            const zip_int64_t index = zip_file_add(archive, entry.constData(), source, 0);
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
            part.cells.push_back({c * cellPx, r * cellPx, archiveName, QString::fromLatin1(entry)});
        }
        zip_close(archive);
    }
};

// The process's peak resident set since the last reset, in MiB.
double peakResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// CPU time of the whole process (all threads), in seconds: steadier than wall time on a
// machine shared with other work.
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void resetPeakResident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Arguments: cells per side, libvips threads.
void BM_BuildPyramid(benchmark::State &state) {
    const int side = int(state.range(0));
    initImaging(int(state.range(1)));
    const Package package(side);
    const double megapixels = double(package.part.width) * package.part.height / 1e6;
    double peak = 0;
    double seconds = 0;
    double cpu = 0;
    PyramidOptions options;
    if (const char *cache = std::getenv("PYRAMID_CACHE_MIB"))
        options.cacheBytes = qint64(std::atoi(cache)) << 20;
    for (auto _ : state) {
        QTemporaryDir out;
        resetPeakResident();
        const double before = peakResidentMiB();
        QElapsedTimer timer;
        timer.start();
        const double cpuBefore = processCpuSeconds();
        const PyramidResult result =
            buildPyramid(package.part, package.storage, containerId, out.path(), options, {});
        seconds += timer.nsecsElapsed() / 1e9;
        cpu += processCpuSeconds() - cpuBefore;
        peak = std::max(peak, peakResidentMiB());
        if (!result.ok || result.skippedCells != 0) {
            state.SkipWithError(result.error.toStdString().c_str());
            return;
        }
        state.counters["baseline_MiB"] = before;
    }
    state.counters["cells"] = double(package.part.cells.size());
    state.counters["Mpx"] = megapixels;
    state.counters["Mpx_per_s"] = megapixels * double(state.iterations()) / seconds;
    state.counters["peak_MiB"] = peak;
    state.counters["Mpx_per_cpu_s"] = megapixels * double(state.iterations()) / cpu;
}
BENCHMARK(BM_BuildPyramid)
    ->ArgNames({"side", "threads"})
    ->Args({40, 1})
    ->Args({40, 2})
    ->Args({100, 1})
    ->Args({100, 2})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
