#include "pyramid.h"

#include "scancomposer.h"

#include <QDebug>
#include <QFile>

#include <opencv2/core.hpp>

// glib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <vips/vips.h>
#pragma pop_macro("signals")

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tavrona {

void initImaging(int threads) {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("tavrona-server") != 0)
            qFatal("libvips cannot start: %s", vips_error_buffer());
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
    });
    vips_concurrency_set(std::max(1, threads));
}

void lowerThreadPriority() {
    // Linux keeps a nice value per thread.
    if (::setpriority(PRIO_PROCESS, ::gettid(), 10) != 0)
        qWarning() << "Cannot lower the priority of a pyramid thread";
}

int dziLevelCount(int width, int height) {
    int levels = 1;
    for (int side = std::max(width, height); side > 1; side = (side + 1) / 2)
        ++levels;
    return levels;
}

QString omeXml(int width, int height, const PyramidOptions &options) {
    auto number = [](double value) {
        return QString::number(value, 'g', 12);
    };
    QString instrument;
    QString instrumentRef;
    if (options.magnification > 0) {
        instrument = QStringLiteral("<Instrument ID=\"Instrument:0\"><Objective "
                                    "ID=\"Objective:0:0\" NominalMagnification=\"%1\"/>"
                                    "</Instrument>")
                         .arg(number(options.magnification));
        instrumentRef = QStringLiteral("<InstrumentRef ID=\"Instrument:0\"/>"
                                       "<ObjectiveSettings ID=\"Objective:0:0\"/>");
    }
    QString physical;
    if (options.mpp > 0)
        physical = QStringLiteral(" PhysicalSizeX=\"%1\" PhysicalSizeXUnit=\"µm\" "
                                  "PhysicalSizeY=\"%1\" PhysicalSizeYUnit=\"µm\"")
                       .arg(number(options.mpp));
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
               "<OME xmlns=\"http://www.openmicroscopy.org/Schemas/OME/2016-06\" "
               "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
               "xsi:schemaLocation=\"http://www.openmicroscopy.org/Schemas/OME/2016-06 "
               "http://www.openmicroscopy.org/Schemas/OME/2016-06/ome.xsd\" "
               "Creator=\"tavrona-server\">%1"
               "<Image ID=\"Image:0\" Name=\"%2\">%3"
               "<Pixels ID=\"Pixels:0\" DimensionOrder=\"XYCZT\" Type=\"uint8\" SizeX=\"%4\" "
               "SizeY=\"%5\" SizeC=\"3\" SizeZ=\"1\" SizeT=\"1\" Interleaved=\"true\"%6>"
               "<Channel ID=\"Channel:0:0\" SamplesPerPixel=\"3\"><LightPath/></Channel>"
               "<TiffData IFD=\"0\" PlaneCount=\"1\"/></Pixels></Image></OME>")
        .arg(instrument, options.name.toHtmlEscaped(), instrumentRef)
        .arg(width)
        .arg(height)
        .arg(physical);
}

namespace {

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError *>(info->err)->jump, 1);
}

// Decodes a cell straight into R, G, B order, as libvips wants it. Nothing with a destructor
// lives in this frame, so a libjpeg error may jump back to the start.
bool decodeJpegRgb(const QByteArray &bytes, cv::Mat *out) {
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = onJpegError;
    error.manager.output_message = [](j_common_ptr) {
    };
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    if (qint64(info.image_width) * info.image_height > maxCellPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_components != 3) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    out->create(int(info.output_height), int(info.output_width), CV_8UC3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out->ptr(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

struct CellPlace {
    int index = 0; // in the descriptor
    VipsRect rect{};
};

// Decoded cells, most recently used first, up to a budget in bytes. Shared by libvips' worker
// threads: a region of a strip needs the cells of its neighbours too.
class CellCache {
public:
    explicit CellCache(qint64 budget)
        : m_budget(budget) {}

    std::shared_ptr<const cv::Mat> find(int index) {
        std::lock_guard lock(m_mutex);
        const auto it = m_entries.find(index);
        if (it == m_entries.end())
            return nullptr;
        m_order.splice(m_order.begin(), m_order, it->second.second);
        return it->second.first;
    }

    void insert(int index, std::shared_ptr<const cv::Mat> pixels) {
        std::lock_guard lock(m_mutex);
        if (m_entries.count(index))
            return;
        m_order.push_front(index);
        m_bytes += bytesOf(*pixels);
        m_entries.emplace(index, std::make_pair(std::move(pixels), m_order.begin()));
        while (m_bytes > m_budget && m_order.size() > 1) {
            const auto last = m_entries.find(m_order.back());
            m_bytes -= bytesOf(*last->second.first);
            m_entries.erase(last);
            m_order.pop_back();
        }
    }

private:
    static qint64 bytesOf(const cv::Mat &m) { return qint64(m.total() * m.elemSize()); }

    std::mutex m_mutex;
    qint64 m_budget;
    qint64 m_bytes = 0;
    std::list<int> m_order;
    std::unordered_map<int, std::pair<std::shared_ptr<const cv::Mat>, std::list<int>::iterator>>
        m_entries;
};

// The composed part as libvips sees it: a white canvas with the cells drawn in descriptor
// order (a later cell covers an earlier one where they overlap).
class PartSource {
public:
    PartSource(const ScanImage &part, const Storage &storage, const QString &containerId,
               qint64 cacheBytes)
        : m_part(part)
        , m_archives(storage, containerId)
        , m_cache(cacheBytes)
        , m_failed(part.cells.size()) {}

    // Reads every cell's size from its JPEG header, so regions know which cells they need.
    void index() {
        const VipsRect canvas{0, 0, m_part.width, m_part.height};
        m_bucketsX = (m_part.width + bucketPx - 1) / bucketPx;
        m_bucketsY = (m_part.height + bucketPx - 1) / bucketPx;
        m_buckets.assign(size_t(m_bucketsX) * size_t(m_bucketsY), {});
        QByteArray bytes;
        for (size_t i = 0; i < m_part.cells.size(); ++i) {
            const StitchedCell &cell = m_part.cells[i];
            QString error;
            int width = 0;
            int height = 0;
            bool known =
                m_archives.read(cell.archive, cell.entry, 16 * 1024, &bytes, &error, true) &&
                jpegSize(bytes, &width, &height);
            if (!known && error.isEmpty())
                known = m_archives.read(cell.archive, cell.entry, maxCellBytes, &bytes, &error) &&
                        jpegSize(bytes, &width, &height);
            if (!known || width <= 0 || height <= 0 || qint64(width) * height > maxCellPixels) {
                qWarning().noquote()
                    << "Cell" << cell.entry << "of" << cell.archive << "cannot be read:"
                    << (error.isEmpty() ? QStringLiteral("not a JPEG") : error);
                markFailed(int(i));
                continue;
            }
            VipsRect rect{cell.x, cell.y, width, height};
            vips_rect_intersectrect(&rect, &canvas, &rect);
            if (vips_rect_isempty(&rect))
                continue;
            const int place = int(m_places.size());
            m_places.push_back({int(i), rect});
            for (int by = rect.top / bucketPx; by <= (rect.top + rect.height - 1) / bucketPx; ++by)
                for (int bx = rect.left / bucketPx; bx <= (rect.left + rect.width - 1) / bucketPx;
                     ++bx)
                    m_buckets[size_t(by) * size_t(m_bucketsX) + size_t(bx)].push_back(place);
        }
    }

    // Once the build has been cancelled: false (with a libvips error) when that may end the
    // save, else white, which finishes it quickly.
    bool fill(VipsRegion *out, bool mayFail) {
        if (m_cancelled.load() && mayFail) {
            vips_error("tavrona", "%s", "cancelled");
            return false;
        }
        // libvips' own worker threads compute our regions: they give way to requests too.
        thread_local const bool lowered = (lowerThreadPriority(), true);
        Q_UNUSED(lowered);
        const VipsRect &r = out->valid;
        for (int y = r.top; y < r.top + r.height; ++y)
            std::memset(VIPS_REGION_ADDR(out, r.left, y), 255, size_t(r.width) * 3);
        if (m_cancelled.load())
            return true;

        std::vector<int> places;
        for (int by = r.top / bucketPx; by <= (r.top + r.height - 1) / bucketPx; ++by)
            for (int bx = r.left / bucketPx; bx <= (r.left + r.width - 1) / bucketPx; ++bx) {
                const auto &bucket = m_buckets[size_t(by) * size_t(m_bucketsX) + size_t(bx)];
                places.insert(places.end(), bucket.begin(), bucket.end());
            }
        std::sort(places.begin(), places.end());
        places.erase(std::unique(places.begin(), places.end()), places.end());

        for (const int p : places) {
            const CellPlace &place = m_places[size_t(p)];
            VipsRect overlap;
            vips_rect_intersectrect(&r, &place.rect, &overlap);
            if (vips_rect_isempty(&overlap))
                continue;
            const auto pixels = cell(place.index);
            if (!pixels)
                continue;
            const int x0 = overlap.left - cellX(place);
            const int y0 = overlap.top - cellY(place);
            const int rows = std::min(overlap.height, pixels->rows - y0);
            const int cols = std::min(overlap.width, pixels->cols - x0);
            for (int row = 0; row < rows; ++row)
                std::memcpy(VIPS_REGION_ADDR(out, overlap.left, overlap.top + row),
                            pixels->ptr(y0 + row) + size_t(x0) * 3, size_t(std::max(0, cols)) * 3);
        }
        return true;
    }

    void cancel() { m_cancelled = true; }

    int skipped() const { return m_skipped.load(); }

private:
    static constexpr int bucketPx = 512;

    int cellX(const CellPlace &place) const { return m_part.cells[size_t(place.index)].x; }
    int cellY(const CellPlace &place) const { return m_part.cells[size_t(place.index)].y; }

    void markFailed(int index) {
        if (!m_failed[size_t(index)].exchange(true))
            ++m_skipped;
    }

    std::shared_ptr<const cv::Mat> cell(int index) {
        if (m_failed[size_t(index)].load())
            return nullptr;
        if (auto cached = m_cache.find(index))
            return cached;
        const StitchedCell &cell = m_part.cells[size_t(index)];
        QByteArray bytes;
        QString error;
        bool read = false;
        {
            std::lock_guard lock(m_archiveMutex);
            read = m_archives.read(cell.archive, cell.entry, maxCellBytes, &bytes, &error);
        }
        auto pixels = std::make_shared<cv::Mat>();
        if (read && !decodeJpegRgb(bytes, pixels.get()))
            pixels->release();
        if (pixels->empty()) {
            qWarning().noquote() << "Cell" << cell.entry << "of" << cell.archive
                                 << "cannot be decoded" << error;
            markFailed(index);
            return nullptr;
        }
        m_cache.insert(index, pixels);
        return pixels;
    }

    const ScanImage &m_part;
    std::mutex m_archiveMutex;
    ArchiveSet m_archives;
    CellCache m_cache;
    std::vector<std::atomic<bool>> m_failed;
    std::atomic<int> m_skipped{0};
    std::atomic<bool> m_cancelled{false};
    std::vector<CellPlace> m_places;
    std::vector<std::vector<int>> m_buckets;
    int m_bucketsX = 0;
    int m_bucketsY = 0;
};

// b: whether a failure may end the save (see Output::mayFail).
int generateRegion(VipsRegion *out, void *, void *a, void *b, gboolean *) {
    return static_cast<PartSource *>(a)->fill(out, *static_cast<const bool *>(b)) ? 0 : -1;
}

// One output's libvips computation: its percentage, read by the thread that reports progress,
// and its kill switch, pulled when the build is cancelled or the other output failed.
struct OutputWatch {
    std::atomic<int> percent{0};
    std::atomic<bool> killed{false};

    static void onEval(VipsImage *image, VipsProgress *state, void *data) {
        auto *watch = static_cast<OutputWatch *>(data);
        watch->percent = state->percent;
        if (watch->killed.load())
            vips_image_set_kill(image, TRUE);
    }
};

QString vipsError() {
    char *text = vips_error_buffer_copy();
    QString message = QString::fromUtf8(text).trimmed();
    g_free(text);
    return message.isEmpty() ? QStringLiteral("libvips failed") : message;
}

struct ImageRef {
    VipsImage *image = nullptr;
    ~ImageRef() {
        if (image)
            g_object_unref(image);
    }
};

} // namespace

PyramidResult buildPyramid(const ScanImage &part, const Storage &storage,
                           const QString &containerId, const QString &outDir,
                           const PyramidOptions &options, const PyramidProgress &progress) {
    PyramidResult result;
    result.width = part.width;
    result.height = part.height;
    result.cells = int(part.cells.size());
    result.dziLevels = dziLevelCount(part.width, part.height);
    if (part.type != ScanImage::Type::Stitched || part.width <= 0 || part.height <= 0) {
        result.error = QStringLiteral("not a stitched part");
        return result;
    }
    if (qint64(part.width) * part.height > maxPartPixels) {
        result.error = QStringLiteral("the part is %1 × %2 pixels, more than this server composes")
                           .arg(part.width)
                           .arg(part.height);
        return result;
    }
    initImaging(vips_concurrency_get());

    PartSource source(part, storage, containerId, options.cacheBytes);
    source.index();

    // The Deep Zoom tiles and the OME-TIFF are written at the same time, each from its own
    // image of the composition: each writer has serial stretches (zip entries, TIFF levels and
    // tiles) that leave a core idle when the two run one after the other.
    const double pixelsPerMm = options.mpp > 0 ? 1000.0 / options.mpp : 1.0;
    const QByteArray xml = omeXml(part.width, part.height, options).toUtf8();
    struct Output {
        ImageRef image;
        OutputWatch watch;
        std::function<int(VipsImage *)> save;
        // libvips 8.14's TIFF writer crashes while it cleans up after a failed computation,
        // so the TIFF is never made to fail: a cancelled build finishes it in white, and the
        // file is removed.
        bool mayFail = true;
    };
    Output outputs[2];
    outputs[1].mayFail = false;
    for (Output &output : outputs) {
        output.image.image = vips_image_new();
        vips_image_init_fields(output.image.image, part.width, part.height, 3, VIPS_FORMAT_UCHAR,
                               VIPS_CODING_NONE, VIPS_INTERPRETATION_sRGB, pixelsPerMm,
                               pixelsPerMm);
        if (vips_image_pipelinev(output.image.image, VIPS_DEMAND_STYLE_SMALLTILE, nullptr) != 0 ||
            vips_image_generate(output.image.image, nullptr, generateRegion, nullptr, &source,
                                &output.mayFail) != 0) {
            result.error = vipsError();
            vips_error_clear();
            return result;
        }
        vips_image_set_progress(output.image.image, TRUE);
        g_signal_connect(output.image.image, "eval", G_CALLBACK(OutputWatch::onEval),
                         &output.watch);
    }

    // Deep Zoom: 254 px tiles with 1 px overlap, down to 1 × 1 px.
    const QByteArray dzPath = QFile::encodeName(outDir + QStringLiteral("/dz.zip"));
    const QByteArray suffix = ".jpeg[Q=" + QByteArray::number(options.tileQuality) + "]";
    outputs[0].save = [&](VipsImage *image) {
        return vips_dzsave(image, dzPath.constData(), "layout", VIPS_FOREIGN_DZ_LAYOUT_DZ,
                           "container", VIPS_FOREIGN_DZ_CONTAINER_ZIP, "tile_size", 254, "overlap",
                           1, "depth", VIPS_FOREIGN_DZ_DEPTH_ONEPIXEL, "suffix", suffix.constData(),
                           "strip", TRUE, nullptr);
    };
    // The OME-TIFF: 512 px JPEG tiles, the reduced levels as SubIFDs of the first one.
    const QByteArray tiffPath = QFile::encodeName(outDir + QStringLiteral("/image.ome.tif"));
    const bool big = qint64(part.width) * part.height > qint64(2000) * 1000 * 1000;
    outputs[1].save = [&](VipsImage *composed) {
        ImageRef described;
        if (vips_copy(composed, &described.image, nullptr) != 0)
            return -1;
        vips_image_set_string(described.image, "image-description", xml.constData());
        return vips_tiffsave(described.image, tiffPath.constData(), "compression",
                             VIPS_FOREIGN_TIFF_COMPRESSION_JPEG, "Q", options.tiffQuality, "tile",
                             TRUE, "tile_width", 512, "tile_height", 512, "pyramid", TRUE, "subifd",
                             TRUE, "bigtiff", big, "resunit", VIPS_FOREIGN_TIFF_RESUNIT_CM,
                             nullptr);
    };

    std::mutex mutex;
    std::condition_variable finished;
    int running = 2;
    bool cancelled = false;
    QString error; // the first output's failure; the other one then stops as cancelled
    auto stopAll = [&] {
        source.cancel();
        for (Output &output : outputs)
            output.watch.killed = output.mayFail;
    };
    std::vector<std::thread> threads;
    for (Output &output : outputs)
        threads.emplace_back([&, out = &output] {
            lowerThreadPriority();
            const bool ok = out->save(out->image.image) == 0;
            const QString message = ok ? QString() : vipsError();
            std::lock_guard lock(mutex);
            if (!ok && !cancelled && error.isEmpty()) {
                error = message;
                stopAll();
            }
            --running;
            finished.notify_all();
        });

    // Progress is reported from this thread, as the caller expects, while the outputs run.
    {
        std::unique_lock lock(mutex);
        int last = -1;
        while (running > 0) {
            const int percent =
                std::min(99, (outputs[0].watch.percent + outputs[1].watch.percent) / 2);
            if (progress && percent != last && !cancelled && error.isEmpty()) {
                last = percent;
                lock.unlock();
                const bool goOn = progress(percent);
                lock.lock();
                if (!goOn && error.isEmpty()) {
                    cancelled = true;
                    stopAll();
                }
            }
            finished.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    for (std::thread &thread : threads)
        thread.join();
    vips_error_clear();
    if (cancelled || !error.isEmpty()) {
        QFile::remove(QFile::decodeName(dzPath));
        QFile::remove(QFile::decodeName(tiffPath));
        result.cancelled = cancelled;
        result.error = cancelled ? QStringLiteral("cancelled") : error;
        return result;
    }
    result.skippedCells = source.skipped();
    result.ok = true;
    if (progress)
        progress(100);
    return result;
}

} // namespace tavrona
