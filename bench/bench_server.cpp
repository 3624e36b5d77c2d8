// Parsing a multipart upload the size of a full archive.

#include "multipart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>

#include <zip.h>

#include <vector>

namespace {

using namespace tavrona;

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
