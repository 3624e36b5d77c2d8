#include "scancomposer.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tavrona {

ArchiveSet::ArchiveSet(const Storage &storage, QString containerId, int maxOpen)
    : m_storage(storage)
    , m_containerId(std::move(containerId))
    , m_maxOpen(std::max(1, maxOpen)) {}

ArchiveSet::~ArchiveSet() {
    for (auto &[name, archive] : m_open)
        zip_discard(archive);
}

zip_t *ArchiveSet::open(const QString &archive, QString *error) {
    for (auto it = m_open.begin(); it != m_open.end(); ++it) {
        if (it->first == archive) {
            m_open.splice(m_open.begin(), m_open, it);
            return it->second;
        }
    }
    zip_t *handle = m_storage.openArchive(m_containerId, archive, error);
    if (!handle)
        return nullptr;
    m_open.emplace_front(archive, handle);
    if (int(m_open.size()) > m_maxOpen) {
        zip_discard(m_open.back().second);
        m_open.pop_back();
    }
    return handle;
}

bool ArchiveSet::hasEntry(const QString &archive, const QString &entry, QString *error) {
    zip_t *handle = open(archive, error);
    if (!handle)
        return false;
    if (zip_name_locate(handle, entry.toUtf8().constData(), ZIP_FL_ENC_UTF_8) < 0) {
        *error = QStringLiteral("archive \"%1\" has no entry \"%2\"").arg(archive, entry);
        return false;
    }
    return true;
}

bool ArchiveSet::read(const QString &archive, const QString &entry, qint64 maxBytes,
                      QByteArray *data, QString *error, bool prefixOnly) {
    zip_t *handle = open(archive, error);
    if (!handle)
        return false;
    const QByteArray name = entry.toUtf8();
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat(handle, name.constData(), ZIP_FL_ENC_UTF_8, &stat) != 0 ||
        !(stat.valid & ZIP_STAT_SIZE)) {
        *error = QStringLiteral("archive \"%1\" has no entry \"%2\"").arg(archive, entry);
        return false;
    }
    const qint64 wanted = prefixOnly ? std::min(qint64(stat.size), maxBytes) : qint64(stat.size);
    if (wanted > maxBytes) {
        *error = QStringLiteral("entry \"%1\" of \"%2\" is too large").arg(entry, archive);
        return false;
    }
    zip_file_t *file = zip_fopen(handle, name.constData(), ZIP_FL_ENC_UTF_8);
    if (!file) {
        *error = QStringLiteral("cannot read \"%1\" of \"%2\"").arg(entry, archive);
        return false;
    }
    data->resize(qsizetype(wanted));
    const zip_int64_t got = zip_fread(file, data->data(), zip_uint64_t(wanted));
    zip_fclose(file);
    if (got != zip_int64_t(wanted)) {
        *error = QStringLiteral("cannot read \"%1\" of \"%2\"").arg(entry, archive);
        return false;
    }
    return true;
}

// Width and height from a JPEG's frame header, read before decoding so that a small file
// claiming a huge image cannot make us allocate it.
bool jpegSize(const QByteArray &bytes, int *width, int *height) {
    const auto *d = reinterpret_cast<const uchar *>(bytes.constData());
    const qsizetype n = bytes.size();
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return false;
    qsizetype i = 2;
    while (i + 4 <= n) {
        if (d[i] != 0xFF)
            return false;
        const uchar marker = d[i + 1];
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        const int length = (d[i + 2] << 8) | d[i + 3];
        const bool startOfFrame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame) {
            if (i + 9 > n)
                return false;
            *height = (d[i + 5] << 8) | d[i + 6];
            *width = (d[i + 7] << 8) | d[i + 8];
            return true;
        }
        if (length < 2)
            return false;
        i += 2 + length;
    }
    return false;
}

cv::Mat composeStitched(const ScanImage &image, ArchiveSet &archives, int maxSidePx, int *skipped) {
    *skipped = 0;
    const double scale =
        std::min(1.0, double(maxSidePx) / double(std::max(image.width, image.height)));
    const int outWidth = std::max(1, int(std::lround(image.width * scale)));
    const int outHeight = std::max(1, int(std::lround(image.height * scale)));
    cv::Mat canvas(outHeight, outWidth, CV_8UC3, cv::Scalar(255, 255, 255));

    QByteArray bytes;
    for (const StitchedCell &cell : image.cells) {
        QString error;
        if (!archives.read(cell.archive, cell.entry, maxCellBytes, &bytes, &error)) {
            qWarning().noquote() << "Cannot compose cell:" << error;
            ++*skipped;
            continue;
        }
        int cellWidth = 0;
        int cellHeight = 0;
        if (!jpegSize(bytes, &cellWidth, &cellHeight) ||
            qint64(cellWidth) * cellHeight > maxCellPixels) {
            qWarning().noquote() << "Cell" << cell.entry << "of" << cell.archive
                                 << "is not a JPEG of a sensible size";
            ++*skipped;
            continue;
        }
        cv::Mat decoded;
        try {
            decoded = cv::imdecode(cv::Mat(1, int(bytes.size()), CV_8UC1, bytes.data()),
                                   cv::IMREAD_COLOR);
        } catch (const cv::Exception &) {
            decoded.release();
        }
        if (decoded.empty()) {
            qWarning().noquote() << "Cannot decode cell" << cell.entry << "of" << cell.archive;
            ++*skipped;
            continue;
        }
        // Edges are rounded independently, so neighbouring cells meet without gaps.
        const int x0 = int(std::lround(cell.x * scale));
        const int y0 = int(std::lround(cell.y * scale));
        const int x1 = int(std::lround((double(cell.x) + decoded.cols) * scale));
        const int y1 = int(std::lround((double(cell.y) + decoded.rows) * scale));
        if (x1 <= x0 || y1 <= y0 || x0 >= outWidth || y0 >= outHeight)
            continue;
        cv::Mat scaled;
        if (x1 - x0 == decoded.cols && y1 - y0 == decoded.rows)
            scaled = decoded;
        else
            cv::resize(decoded, scaled, cv::Size(x1 - x0, y1 - y0), 0, 0, cv::INTER_AREA);
        const cv::Rect target =
            cv::Rect(x0, y0, x1 - x0, y1 - y0) & cv::Rect(0, 0, outWidth, outHeight);
        scaled(cv::Rect(0, 0, target.width, target.height)).copyTo(canvas(target));
    }
    return canvas;
}

bool writeJpegAtomically(const cv::Mat &image, const QString &path, QString *error) {
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(".jpg", image, encoded, {cv::IMWRITE_JPEG_QUALITY, 90})) {
            *error = QStringLiteral("cannot encode the image");
            return false;
        }
    } catch (const cv::Exception &e) {
        *error = QString::fromStdString(e.what());
        return false;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char *>(encoded.data()), qint64(encoded.size())) !=
            qint64(encoded.size()) ||
        !file.commit()) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace tavrona
