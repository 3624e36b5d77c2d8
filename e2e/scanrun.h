#pragma once

// The pieces of a whole scan on one machine, shared by the end-to-end tests and the report
// program: a textured slide with known pixels, the simulated microscope's configuration around
// it, the program's facades set up for the local service, the local service as a child process,
// and the server-side reading of a stored scan (archives, descriptor, uploads) with the stitched
// parts measured against the slide.

#include "program/facades.h"
#include "shell/settings.h"

#include "serverprocess.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QUuid>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <nlohmann/json.hpp>

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace scanrun {

using json = nlohmann::json;

// A stained-looking texture with detail at several scales, the same for a seed; RGB.
inline cv::Mat makeSlide(int width, int height, unsigned seed) {
    cv::RNG rng(seed);
    cv::Mat sum(height, width, CV_32FC3, cv::Scalar::all(0));
    for (const double sigma : {1.5, 4.0, 12.0, 40.0}) {
        cv::Mat noise(height, width, CV_32FC3);
        rng.fill(noise, cv::RNG::NORMAL, 0., 1.);
        cv::GaussianBlur(noise, noise, cv::Size(), sigma);
        cv::Scalar mean, dev;
        cv::meanStdDev(noise.reshape(1), mean, dev);
        sum += noise * (1.0 / std::max(dev[0], 1e-6));
    }
    cv::Mat image;
    // Pink stroma around 200/140/180 with purple-ish variation.
    sum.convertTo(image, CV_8UC3, 22., 0.);
    cv::Mat base(height, width, CV_8UC3, cv::Scalar(190, 130, 175));
    cv::Mat out;
    cv::addWeighted(base, 1.0, image, 1.0, -60., out);
    return out;
}

// The simulated microscope on a reproducible tour of that slide (one stage step per frame),
// with optics that leave the pixels close to the slide's own.
inline json cameraConfig(const QString &slidePath, const QString &truthPath, int width, int height,
                         int fps, int areaWidth, int areaHeight) {
    json camera = {
        {"id", "DEV_SIM_0001"},
        {"width", width},
        {"height", height},
        {"pixelFormat", "RGB8"},
        {"fps", fps},
        {"clock", "frame"},
        {"slide", {{"type", "image"}, {"path", slidePath.toStdString()}, {"scale", 1.0}}},
        {"stage",
         {{"type", "tour"},
          {"seed", 7},
          {"speed", 300},
          {"overlap", 0.35},
          {"wobble", 0.5},
          {"pauses", false},
          {"refocus", false},
          {"jump", false},
          {"x", 100},
          {"y", 100},
          {"areaWidth", areaWidth},
          {"areaHeight", areaHeight}}},
        {"optics",
         {{"vignetting", 0.0}, {"defocus", 0.0}, {"noise", 0.3}, {"sensorResponse", {1, 1, 1}}}},
        {"groundTruth", truthPath.toStdString()}};
    return json{{"cameras", json::array({camera})}};
}

inline bool writeFile(const QString &path, const QByteArray &data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Writes the RGB slide as the image file the simulated microscope reads.
inline bool writeSlide(const cv::Mat &slideRgb, const QString &path) {
    cv::Mat bgr;
    cv::cvtColor(slideRgb, bgr, cv::COLOR_RGB2BGR);
    return cv::imwrite(path.toStdString(), bgr);
}

// Makes the configuration the simulated microscope of this process's plug-in loads.
inline bool useCameraConfig(const QString &path, const json &config) {
    if (!writeFile(path, QByteArray::fromStdString(config.dump())))
        return false;
    qputenv("VMBSIM_CONFIG", QFile::encodeName(path));
    return true;
}

// The program as the entry function composes it, with the settings of a scan of the simulated
// microscope against the local service at serviceUrl, short service intervals, and the scans
// kept in scansFolder.
class Program {
public:
    Program(const QString &serviceUrl, const QString &scansFolder)
        : settings(configured(serviceUrl))
        , facades(settings.get(), shortIntervals(scansFolder)) {}

    std::unique_ptr<Settings> settings;
    Facades facades;

private:
    static std::unique_ptr<Settings> configured(const QString &serviceUrl) {
        auto settings = std::make_unique<Settings>(nullptr, QStringList());
        settings->setApiUrl(QUrl(serviceUrl));
        settings->setApiToken(QString());
        settings->setCameraId(QStringLiteral("Vimba DEV_SIM_0001"));
        settings->setAutoCameraSettings(false);
        settings->setVignettingCorrection(false);
        return settings;
    }
    static Facades::Options shortIntervals(const QString &scansFolder) {
        Facades::Options options;
        options.serviceIntervals = {300, 300};
        options.scansFolder = scansFolder;
        return options;
    }
};

inline QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Returns once what the live builder was given has gone as far as the full-resolution builder:
// each thread on the way has handled what was queued to it, in the order the cells travel.
inline void settle(Facades &facades) {
    facades.smallBuilder.drain();
    QCoreApplication::sendPostedEvents(); // the full-resolution facade forwards them
    facades.bigBuilder.drain();
}

using tavrona::startServer;

// One stored upload as the server's database recorded it.
struct StoredUpload {
    qint64 size = 0;
    QString md5;
};

inline std::map<QString, StoredUpload> storedUploads(const QString &dataDir,
                                                     const QString &containerId) {
    std::map<QString, StoredUpload> uploads;
    const QString connection = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(dataDir + QStringLiteral("/tavrona.sqlite"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(
                QStringLiteral("SELECT path, size, md5 FROM uploads WHERE container_id = ?"));
            query.addBindValue(containerId);
            if (query.exec())
                while (query.next())
                    uploads[query.value(0).toString()] = {query.value(1).toLongLong(),
                                                          query.value(2).toString()};
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return uploads;
}

inline std::optional<json> savedDescriptor(const QString &dataDir, const QString &containerId) {
    std::optional<json> result;
    const QString connection = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(dataDir + QStringLiteral("/tavrona.sqlite"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("SELECT descriptor FROM scans WHERE container_id = ?"));
            query.addBindValue(containerId);
            if (query.exec() && query.next())
                result = json::parse(query.value(0).toString().toStdString(), nullptr, false);
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return result;
}

// Reads "NNNNN.dat/m.jpg" out of the container's archive; empty when missing.
inline QByteArray archiveEntry(const QString &containerDir, const QString &partPath) {
    const QString archive = partPath.section(QLatin1Char('/'), 0, 0);
    const QString entry = partPath.section(QLatin1Char('/'), 1);
    int error = 0;
    zip_t *zip = zip_open(QFile::encodeName(containerDir + QLatin1Char('/') + archive).constData(),
                          ZIP_RDONLY, &error);
    if (!zip)
        return {};
    QByteArray data;
    zip_stat_t stat;
    if (zip_stat(zip, entry.toUtf8().constData(), 0, &stat) == 0) {
        if (zip_file_t *file = zip_fopen(zip, entry.toUtf8().constData(), 0)) {
            data.resize(qsizetype(stat.size));
            if (zip_fread(file, data.data(), stat.size) != zip_int64_t(stat.size))
                data.clear();
            zip_fclose(file);
        }
    }
    zip_close(zip);
    return data;
}

// Placement of the cells of one stitched part against the slide.
struct PartFigures {
    int cells = 0;
    int unmatched = 0;       // cells whose content was not found near where they should be
    double rms = 0, max = 0; // placement error, global offset removed, full-resolution px
    double seamRms = 0, seamMax = 0;
    int seams = 0;
};

// Finds where a cell's content lies on the slide, within +-radius of a guess; sub-pixel.
inline std::optional<cv::Point2d> locate(const cv::Mat &slideGrey, const cv::Mat &cellGrey,
                                         cv::Point guess, int radius) {
    const cv::Rect window(guess.x - radius, guess.y - radius, cellGrey.cols + 2 * radius,
                          cellGrey.rows + 2 * radius);
    const cv::Rect clipped = window & cv::Rect(0, 0, slideGrey.cols, slideGrey.rows);
    if (clipped.width < cellGrey.cols + 2 || clipped.height < cellGrey.rows + 2)
        return std::nullopt;
    cv::Mat score;
    cv::matchTemplate(slideGrey(clipped), cellGrey, score, cv::TM_CCOEFF_NORMED);
    double best = 0;
    cv::Point at;
    cv::minMaxLoc(score, nullptr, &best, nullptr, &at);
    if (best < 0.5)
        return std::nullopt;
    auto peak = [&](int x, int y) {
        return double(score.at<float>(y, x));
    };
    double dx = 0, dy = 0;
    if (at.x > 0 && at.x + 1 < score.cols) {
        const double l = peak(at.x - 1, at.y), c = peak(at.x, at.y), r = peak(at.x + 1, at.y);
        const double d = l - 2 * c + r;
        dx = d < 0 ? 0.5 * (l - r) / d : 0;
    }
    if (at.y > 0 && at.y + 1 < score.rows) {
        const double u = peak(at.x, at.y - 1), c = peak(at.x, at.y), b = peak(at.x, at.y + 1);
        const double d = u - 2 * c + b;
        dy = d < 0 ? 0.5 * (u - b) / d : 0;
    }
    return cv::Point2d(clipped.x + at.x + dx, clipped.y + at.y + dy);
}

// cells: (place in the part, JPEG bytes). slideRgb: the slide's pixels. firstGuess: where the
// part's origin should lie on the slide (from the ground truth), searched widely.
inline PartFigures measurePart(const std::vector<std::pair<cv::Point, QByteArray>> &cells,
                               const cv::Mat &slideRgb, cv::Point firstGuess, int searchRadius) {
    PartFigures figures;
    cv::Mat slideGrey;
    cv::cvtColor(slideRgb, slideGrey, cv::COLOR_RGB2GRAY);
    struct Placed {
        cv::Rect rect;
        cv::Point2d offset; // true place minus place in the part
    };
    std::vector<Placed> placed;
    std::optional<cv::Point2d> offset;
    for (const auto &[place, bytes] : cells) {
        ++figures.cells;
        const cv::Mat cell = cv::imdecode(
            cv::Mat(1, int(bytes.size()), CV_8U, const_cast<char *>(bytes.constData())),
            cv::IMREAD_GRAYSCALE);
        if (cell.empty()) {
            ++figures.unmatched;
            continue;
        }
        const cv::Point guess =
            offset ? place + cv::Point(cvRound(offset->x), cvRound(offset->y)) : place + firstGuess;
        const auto found = locate(slideGrey, cell, guess, offset ? 24 : searchRadius);
        if (!found) {
            ++figures.unmatched;
            continue;
        }
        const cv::Point2d delta = *found - cv::Point2d(place);
        if (!offset)
            offset = delta;
        placed.push_back({cv::Rect(place, cell.size()), delta});
    }
    if (placed.empty())
        return figures;
    // The part's global offset: the median of the cells' offsets.
    std::vector<double> xs, ys;
    for (const Placed &p : placed) {
        xs.push_back(p.offset.x);
        ys.push_back(p.offset.y);
    }
    std::nth_element(xs.begin(), xs.begin() + long(xs.size() / 2), xs.end());
    std::nth_element(ys.begin(), ys.begin() + long(ys.size() / 2), ys.end());
    const cv::Point2d global(xs[xs.size() / 2], ys[ys.size() / 2]);
    double squares = 0;
    for (const Placed &p : placed) {
        const double e = cv::norm(p.offset - global);
        squares += e * e;
        figures.max = std::max(figures.max, e);
    }
    figures.rms = std::sqrt(squares / double(placed.size()));
    // Seams: neighbouring cells (touching edges) should be off by the same amount.
    double seamSquares = 0;
    for (size_t i = 0; i < placed.size(); ++i)
        for (size_t j = i + 1; j < placed.size(); ++j) {
            const cv::Rect &a = placed[i].rect, &b = placed[j].rect;
            const bool right = a.x + a.width == b.x || b.x + b.width == a.x;
            const bool below = a.y + a.height == b.y || b.y + b.height == a.y;
            const bool sameRow = a.y == b.y, sameColumn = a.x == b.x;
            if (!((right && sameRow) || (below && sameColumn)))
                continue;
            const double e = cv::norm(placed[i].offset - placed[j].offset);
            seamSquares += e * e;
            figures.seamMax = std::max(figures.seamMax, e);
            ++figures.seams;
        }
    figures.seamRms = figures.seams ? std::sqrt(seamSquares / figures.seams) : 0;
    return figures;
}

// Ground truth lines: frame, time, x, y, focus.
struct TruthLine {
    int frame = 0;
    double time = 0, x = 0, y = 0, focus = 0;
};

inline std::vector<TruthLine> readTruth(const QString &path) {
    std::vector<TruthLine> lines;
    const QList<QByteArray> rows = readFile(path).split('\n');
    for (const QByteArray &row : rows) {
        const QList<QByteArray> f = row.split(',');
        bool ok = false;
        if (f.size() < 5)
            continue;
        TruthLine line;
        line.frame = f[0].toInt(&ok);
        if (!ok)
            continue;
        line.time = f[1].toDouble();
        line.x = f[2].toDouble();
        line.y = f[3].toDouble();
        line.focus = f[4].toDouble();
        lines.push_back(line);
    }
    return lines;
}

inline QString md5Hex(const QByteArray &data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

} // namespace scanrun
