// Composing a stitched part from its archives for the scan page, at the sizes a slide reaches,
// and parsing a multipart upload the size of a full archive.

#include "multipart.h"
#include "scancomposer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>

#include <zip.h>

#include <vector>

namespace {

using namespace tavrona;

constexpr int cellPx = 384;

// A part of side × side cells, 100 cells per archive, each cell a textured JPEG.
struct Package {
    QTemporaryDir dir;
    ScanImage image;

    explicit Package(int side) {
        cv::Mat cell(cellPx, cellPx, CV_8UC3);
        cv::randu(cell, 0, 255);
        std::vector<uchar> jpeg;
        cv::imencode(".jpg", cell, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});

        image.type = ScanImage::Type::Stitched;
        image.width = side * cellPx;
        image.height = side * cellPx;
        zip_t *archive = nullptr;
        QString archiveName;
        for (int i = 0; i < side * side; ++i) {
            if (i % 100 == 0) {
                if (archive)
                    zip_close(archive);
                archiveName = QStringLiteral("%1.dat").arg(i / 100, 5, 10, QLatin1Char('0'));
                int error = 0;
                archive = zip_open(QFile::encodeName(dir.filePath(archiveName)).constData(),
                                   ZIP_CREATE | ZIP_EXCL, &error);
            }
            const QByteArray entry = QByteArray::number(i) + ".jpg";
            zip_source_t *source = zip_source_buffer(archive, jpeg.data(), jpeg.size(), 0);
            const zip_int64_t index = zip_file_add(archive, entry.constData(), source, 0);
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
            image.cells.push_back({(i % side) * cellPx, (i / side) * cellPx, archiveName,
                                   QString::fromLatin1(entry)});
        }
        zip_close(archive);
    }
};

void BM_ComposeStitched(benchmark::State &state) {
    const Package package(int(state.range(0)));
    for (auto _ : state) {
        ArchiveSet archives(package.dir.path());
        int skipped = 0;
        const cv::Mat composed = composeStitched(package.image, archives, 4096, &skipped);
        benchmark::DoNotOptimize(composed.data);
        if (skipped != 0)
            state.SkipWithError("cells skipped");
    }
    state.counters["cells"] = double(package.image.cells.size());
}
// 10 × 10 cells stay at full size (3840 px); 20 × 20 (7680 px) and 40 × 40 (15360 px) are
// scaled down to 4096 px.
BENCHMARK(BM_ComposeStitched)->Arg(10)->Arg(20)->Arg(40)->Unit(benchmark::kMillisecond);

void BM_ParseMultipartArchive(benchmark::State &state) {
    QByteArray file(qsizetype(state.range(0)) << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < file.size(); ++i)
        file[i] = char((i * 2654435761u) >> 13);
    const QByteArray body =
        "--b0undary\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\n00000.dat\r\n"
        "--b0undary\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n" +
        file + "\r\n--b0undary--\r\n";
    for (auto _ : state) {
        const MultipartResult result = parseMultipart(body, "b0undary");
        benchmark::DoNotOptimize(result.parts.size());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * body.size());
}
BENCHMARK(BM_ParseMultipartArchive)->Arg(20)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
