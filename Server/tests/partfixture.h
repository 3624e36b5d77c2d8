#pragma once

// A stitched part with known pixels, written into a container of a Storage the way the program
// uploads it (JPEG cells in stored .dat archives), and the composition a reader must see.

#include "objectstore.h"
#include "scandescriptor.h"
#include "serverfixture.h"
#include "storage.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace fixture {

// A cell cut at (left, top) from a slide of waves a few pixels long, which run on across cells
// as a real slide does: a cell moved by one pixel, swapped or missing shows, and JPEG keeps the
// pixels close.
inline cv::Mat cellPixels(int left, int top, int width, int height) {
    cv::Mat bgr(height, width, CV_8UC3);
    const double pi = 3.14159265358979;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double sx = left + x;
            const double sy = top + y;
            bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(
                cv::saturate_cast<uchar>(
                    128 + 60 * std::sin(2 * pi * sx / 24 + std::sin(2 * pi * sy / 230))),
                cv::saturate_cast<uchar>(128 + 60 * std::cos(2 * pi * sy / 28)),
                cv::saturate_cast<uchar>(128 + 70 * std::sin(2 * pi * (sx + 2 * sy) / 700)));
        }
    }
    return bgr;
}

struct PartPackage {
    QString containerId = QStringLiteral("0123456789abcdef0123456789abcdef");
    tavrona::ScanImage part;
    std::vector<cv::Mat> cellImages; // BGR, as encoded (decoded back), one per descriptor cell
    nlohmann::json descriptor;       // the "images" entry
};

// columns × rows cells of cellPx, placed on a grid with a small per-cell jitter (as alignment
// leaves it), cellsPerArchive in each archive. Decoded cells are kept for the reference.
inline PartPackage writePart(const tavrona::Storage &storage, int columns, int rows, int cellPx,
                             int cellsPerArchive = 100, int jitter = 3,
                             const QString &archivePrefix = {}) {
    PartPackage package;
    package.part.type = tavrona::ScanImage::Type::Stitched;
    QList<QPair<QString, QByteArray>> entries;
    int archiveNumber = 0;
    auto flush = [&] {
        if (entries.isEmpty())
            return;
        const QString name =
            archivePrefix + QStringLiteral("%1.dat").arg(archiveNumber++, 5, 10, QLatin1Char('0'));
        // Through the store, as an upload lands: a folder or a bucket.
        QString error;
        if (!storage.store()->put(tavrona::Storage::key(package.containerId, name),
                                  archive(entries), &error))
            qWarning().noquote() << "Cannot store" << name << ":" << error;
        entries.clear();
    };
    int maxX = 0;
    int maxY = 0;
    nlohmann::json parts = nlohmann::json::array();
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const int index = r * columns + c;
            const int x = std::max(0, c * cellPx + ((index * 7) % (2 * jitter + 1)) - jitter);
            const int y = std::max(0, r * cellPx + ((index * 5) % (2 * jitter + 1)) - jitter);
            const cv::Mat bgr = cellPixels(x, y, cellPx, cellPx);
            std::vector<uchar> bytes;
            cv::imencode(".jpg", bgr, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
            package.cellImages.push_back(cv::imdecode(bytes, cv::IMREAD_COLOR));
            const QString entry = QStringLiteral("%1.jpg").arg(index);
            entries.append({entry, QByteArray(reinterpret_cast<const char *>(bytes.data()),
                                              qsizetype(bytes.size()))});
            const QString archiveName = archivePrefix + QStringLiteral("%1.dat").arg(
                                                            archiveNumber, 5, 10, QLatin1Char('0'));
            package.part.cells.push_back({x, y, archiveName, entry});
            parts.push_back({x, y, (archiveName + QLatin1Char('/') + entry).toStdString()});
            maxX = std::max(maxX, x + cellPx);
            maxY = std::max(maxY, y + cellPx);
            if (int(entries.size()) == cellsPerArchive)
                flush();
        }
    }
    flush();
    package.part.width = maxX;
    package.part.height = maxY;
    package.descriptor = {
        {"type", "stitched"}, {"width", maxX}, {"height", maxY}, {"parts", parts}};
    return package;
}

// The part as it must look (BGR): white, cells drawn in order; skip lists cells left out.
inline cv::Mat composition(const PartPackage &package, const std::vector<int> &skip = {}) {
    cv::Mat canvas(package.part.height, package.part.width, CV_8UC3, cv::Scalar::all(255));
    for (size_t i = 0; i < package.part.cells.size(); ++i) {
        if (std::find(skip.begin(), skip.end(), int(i)) != skip.end())
            continue;
        const auto &cell = package.part.cells[i];
        const cv::Mat &pixels = package.cellImages[i];
        const cv::Rect target = cv::Rect(cell.x, cell.y, pixels.cols, pixels.rows) &
                                cv::Rect(0, 0, canvas.cols, canvas.rows);
        pixels(cv::Rect(0, 0, target.width, target.height)).copyTo(canvas(target));
    }
    return canvas;
}

// Half size, as a pyramid level is made: 2 × 2 means; an odd last row or column is repeated
// (Deep Zoom rounds sizes up) or dropped (the TIFF's levels round down).
inline cv::Mat halve(const cv::Mat &image, bool roundUp) {
    cv::Mat even;
    if (roundUp)
        cv::copyMakeBorder(image, even, 0, image.rows % 2, 0, image.cols % 2, cv::BORDER_REPLICATE);
    else
        even = image(cv::Rect(0, 0, image.cols / 2 * 2, image.rows / 2 * 2));
    cv::Mat half;
    cv::resize(even, half, cv::Size(even.cols / 2, even.rows / 2), 0, 0, cv::INTER_AREA);
    return half;
}

inline double psnr(const cv::Mat &a, const cv::Mat &b) {
    return cv::PSNR(a, b);
}

// Runs python3 with a script; returns its standard output, or empty with the error in *error.
inline QByteArray python(const QString &script, const QStringList &args, QString *error) {
    QProcess process;
    // Debian's interpreter, which has Debian's python3-tifffile.
    process.start(QStringLiteral("/usr/bin/python3"),
                  QStringList{QStringLiteral("-c"), script} + args);
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        *error = QString::fromUtf8(process.readAllStandardError());
        return {};
    }
    return process.readAllStandardOutput();
}

} // namespace fixture
