#pragma once

// Small fixtures shared by the full-resolution builder's tests.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <zip.h>

#include "mosaic/cellinfo.h"
#include "mosaic/imageio.h"

// Readable failure messages for QCOMPARE (found by argument-dependent lookup).
namespace cv {
inline char *toString(const Point &p) {
    return qstrdup(
        QByteArray("(" + QByteArray::number(p.x) + ", " + QByteArray::number(p.y) + ")"));
}
inline char *toString(const Rect &r) {
    return qstrdup(QByteArray("(" + QByteArray::number(r.x) + ", " + QByteArray::number(r.y) +
                              ", " + QByteArray::number(r.width) + ", " +
                              QByteArray::number(r.height) + ")"));
}
} // namespace cv

namespace fixture {

// Smooth random texture (RGB): any shift by one pixel changes it clearly, JPEG keeps it well.
inline cv::Mat texture(cv::Size size, int seed = 1) {
    cv::RNG rng(seed);
    cv::Mat noise(size, CV_8UC3);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::Mat smooth;
    cv::GaussianBlur(noise, smooth, cv::Size(0, 0), 2.0);
    cv::normalize(smooth, smooth, 0, 255, cv::NORM_MINMAX);
    return smooth;
}

inline FrameCellInfo cell(Point id, cv::Rect rect, cv::Point position, bool store = true) {
    FrameCellInfo info;
    info.rect = rect;
    info.cell_id = id;
    info.position = position;
    info.store = store;
    return info;
}

// Cells of size cellPx laid out in a grid starting at pixel `margin` of the frame, cell (i, j)
// at mosaic position (i * cellPx, j * cellPx); count cells, column by column.
inline QList<FrameCellInfo> gridCells(int count, int rows, int cellPx, int margin = 4,
                                      int firstColumn = 0) {
    QList<FrameCellInfo> cells;
    for (int k = 0; k < count; ++k) {
        const int i = firstColumn + k / rows;
        const int j = k % rows;
        cells.append(
            cell(Point(i, j),
                 cv::Rect(margin + (i - firstColumn) * cellPx, margin + j * cellPx, cellPx, cellPx),
                 cv::Point(i * cellPx, j * cellPx)));
    }
    return cells;
}

// The stored JPEG back in RGB.
inline cv::Mat readRgb(const QString &path) {
    cv::Mat image = loadImage(path);
    if (!image.empty())
        cv::cvtColor(image, image, cv::COLOR_BGR2RGB);
    return image;
}

inline double meanAbsDiff(const cv::Mat &a, const cv::Mat &b) {
    if (a.size() != b.size() || a.type() != b.type())
        return 1e9;
    cv::Mat diffImage;
    cv::absdiff(a, b, diffImage);
    const cv::Scalar diff = cv::mean(diffImage);
    return (diff[0] + diff[1] + diff[2]) / 3.0;
}

// Where within +-2 px of expected the stored (JPEG) cell matches source best; (0, 0) means the
// cell holds exactly the pixels of expected.
inline cv::Point placeOf(const cv::Mat &stored, const cv::Mat &source, cv::Rect expected) {
    cv::Point best(100, 100);
    double bestDiff = 1e9;
    for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            const cv::Rect candidate = expected + cv::Point(dx, dy);
            if ((candidate & cv::Rect(0, 0, source.cols, source.rows)) != candidate)
                continue;
            const double diff = meanAbsDiff(stored, source(candidate));
            if (diff < bestDiff) {
                bestDiff = diff;
                best = cv::Point(dx, dy);
            }
        }
    }
    return best;
}

inline QByteArray fileBytes(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// One entry of an archive as libzip reads it.
struct ZipEntry {
    QString name;
    int method = -1;
    QByteArray data;
};

inline QList<ZipEntry> readZip(const QString &path, bool *ok = nullptr) {
    QList<ZipEntry> entries;
    int error = 0;
    zip_t *archive = zip_open(path.toUtf8().constData(), ZIP_RDONLY, &error);
    if (ok)
        *ok = archive != nullptr;
    if (!archive)
        return entries;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
        ZipEntry entry;
        entry.name = QString::fromUtf8(stat.name);
        entry.method = stat.comp_method;
        entry.data.resize(static_cast<qsizetype>(stat.size));
        zip_file_t *file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        if (file) {
            zip_fread(file, entry.data.data(), stat.size);
            zip_fclose(file);
        }
        entries.append(entry);
    }
    zip_close(archive);
    return entries;
}

inline QStringList names(const QList<ZipEntry> &entries) {
    QStringList result;
    for (const ZipEntry &entry : entries)
        result.append(entry.name);
    return result;
}

} // namespace fixture
