#include "mosaic/bigbuilder.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "mosaic/imageio.h"
#include "mosaic/zipwriter.h"

namespace {

void removeIfExists(const QString &path) {
    if (QFile::exists(path))
        QFile::remove(path);
}

double scoreOf(const cv::Mat &image) {
    cv::Scalar mean;
    cv::Scalar stddev;
    cv::meanStdDev(image, mean, stddev);
    return stddev[0] + stddev[1] + stddev[2];
}

// The descriptor wants a number; a text that is not one (or not a finite one) counts as 0.
double toNumber(const QVariant &value) {
    const double number = value.toDouble();
    return std::isfinite(number) ? number : 0.0;
}

} // namespace

BigBuilder::BigBuilder(QString containerID, QObject *parent)
    : QObject(parent)
    , m_containerID(std::move(containerID))
    , m_tempPath(m_tempDir.path()) {
    if (!m_tempDir.isValid())
        qWarning() << "Failed to create temporary directory:" << m_tempDir.errorString();
}

BigBuilder::~BigBuilder() = default;

QString BigBuilder::archiveName(int counter) {
    return QStringLiteral("%1.dat").arg(counter, 5, 10, QLatin1Char('0'));
}

std::string BigBuilder::serialise(const nlohmann::json &document) {
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void BigBuilder::storeNewFrame(cv::Mat frame, QList<FrameCellInfo> cells) {
    const cv::Point offset = alignmentOffset(frame, cells);
    const cv::Rect frameRect(0, 0, frame.cols, frame.rows);

    for (const FrameCellInfo &cell : cells) {
        if (!cell.store)
            continue;
        if (cell.rect.empty() || (cell.rect & frameRect) != cell.rect) {
            qWarning() << "Cell" << cell.cell_id.x << cell.cell_id.y << "lies outside the frame";
            continue;
        }
        // A cell close to the border keeps as much of the correction as the frame allows; the
        // rest of the frame keeps all of it.
        const int dx = std::clamp(offset.x, -cell.rect.x, frame.cols - cell.rect.br().x);
        const int dy = std::clamp(offset.y, -cell.rect.y, frame.rows - cell.rect.br().y);
        try {
            const cv::Mat image = frame(cell.rect + cv::Point(dx, dy)).clone();
            CellRecord record;
            record.path = saveToTemp(image);
            record.rect = cv::Rect(cell.position.x, cell.position.y, image.cols, image.rows);
            record.score = scoreOf(image);
            storeCell(cell.cell_id, record);
        } catch (const cv::Exception &e) {
            qWarning() << "Failed to store cell" << cell.cell_id.x << cell.cell_id.y << e.what();
        }
    }

    if (m_pending.size() > static_cast<std::size_t>(maxPendingCells))
        sendCells();
}

void BigBuilder::storeCell(Point cell_id, const CellRecord &record) {
    m_pending.insert(cell_id);
    const auto it = m_cells.find(cell_id);
    if (it != m_cells.end()) {
        removeIfExists(it->second.path);
        m_cache.remove(it->second.path);
        it->second = record;
    } else {
        m_cells.emplace(cell_id, record);
    }
}

void BigBuilder::eraseFrame(Point cell_id) {
    const auto it = m_cells.find(cell_id);
    if (it == m_cells.end())
        return;
    const QString path = it->second.path;
    m_pending.erase(cell_id);
    m_cells.erase(it);
    removeIfExists(path);
    m_cache.remove(path);
}

void BigBuilder::finishImage() {
    sendCells();
    if (!m_cells.empty())
        m_images.push_back(stitchedImage());
    m_cells.clear();
}

QString BigBuilder::saveToTemp(const cv::Mat &image) {
    const QString path = m_tempPath + "/" + QString::number(m_imageCounter++) + ".jpg";
    if (!m_tempDir.isValid()) {
        qWarning() << "No temporary directory to save" << path;
        return path;
    }
    cv::Mat bgr;
    if (image.channels() == 3)
        cv::cvtColor(image, bgr, cv::COLOR_RGB2BGR);
    else
        bgr = image;
    qDebug() << "Saving image to" << path;
    // A half-written file must not look like a stored image to the archive or the upload.
    if (!saveImage(bgr, path))
        removeIfExists(path);
    return path;
}

cv::Mat BigBuilder::loadCached(const QString &path) {
    cv::Mat image;
    if (m_cache.find(path, image))
        return image;
    if (!QFile::exists(path)) {
        qWarning() << "File" << path << "does not exist";
        return {};
    }
    image = loadImage(path);
    if (image.empty())
        return image; // not cached: the file may still be completed later
    cv::cvtColor(image, image, cv::COLOR_BGR2RGB);
    m_cache.insert(path, image);
    return image;
}

cv::Point BigBuilder::alignmentOffset(const cv::Mat &frame, const QList<FrameCellInfo> &cells) {
    const FrameCellInfo *anchor = nullptr;
    const CellRecord *anchorRecord = nullptr;
    double bestScore = 0;
    for (const FrameCellInfo &cell : cells) {
        const auto it = m_cells.find(cell.cell_id);
        if (it != m_cells.end() && it->second.score > bestScore) {
            bestScore = it->second.score;
            anchor = &cell;
            anchorRecord = &it->second;
        }
    }
    if (!anchor)
        return {0, 0};

    try {
        const cv::Rect window(anchor->rect.x - maxAlignmentPx, anchor->rect.y - maxAlignmentPx,
                              anchor->rect.width + 2 * maxAlignmentPx,
                              anchor->rect.height + 2 * maxAlignmentPx);
        const cv::Mat search = frame(window);
        const cv::Mat templ = loadCached(anchorRecord->path);
        if (templ.empty()) {
            qWarning() << "Template image" << anchorRecord->path << "is empty";
            return {0, 0};
        }
        cv::Mat result(search.rows - templ.rows + 1, search.cols - templ.cols + 1, CV_32FC1);
        cv::matchTemplate(search, templ, result, cv::TM_CCORR_NORMED);
        cv::Point maxLoc;
        cv::minMaxLoc(result, nullptr, nullptr, nullptr, &maxLoc);
        return {maxLoc.x - maxAlignmentPx, maxLoc.y - maxAlignmentPx};
    } catch (const cv::Exception &) {
        qDebug() << "An error occured while matching template";
        return {0, 0};
    }
}

nlohmann::json BigBuilder::stitchedImage() const {
    int minX = INT_MAX;
    int minY = INT_MAX;
    int maxX = INT_MIN;
    int maxY = INT_MIN;
    for (const auto &[id, record] : m_cells) {
        minX = std::min(minX, record.rect.x);
        minY = std::min(minY, record.rect.y);
        maxX = std::max(maxX, record.rect.x + record.rect.width);
        maxY = std::max(maxY, record.rect.y + record.rect.height);
    }
    nlohmann::json parts = nlohmann::json::array();
    for (const auto &[id, record] : m_cells) {
        if (record.containerPath.isEmpty())
            continue;
        parts.push_back(nlohmann::json::array(
            {record.rect.x - minX, record.rect.y - minY, record.containerPath.toStdString()}));
    }
    nlohmann::json entry = nlohmann::json::object();
    entry["type"] = "stitched";
    entry["width"] = m_cells.empty() ? 0 : maxX - minX;
    entry["height"] = m_cells.empty() ? 0 : maxY - minY;
    entry["parts"] = std::move(parts);
    return entry;
}

void BigBuilder::sendCells() {
    if (m_pending.empty())
        return;

    const QString name = archiveName(m_archiveCounter);
    const QDir base(m_tempPath);
    QStringList files;
    std::vector<std::pair<CellRecord *, QString>> entries;
    for (const Point &cell_id : m_pending) {
        const auto it = m_cells.find(cell_id);
        if (it == m_cells.end())
            continue;
        CellRecord &record = it->second;
        if (!QFile::exists(record.path)) {
            qWarning() << "File" << record.path << "does not exist";
            continue;
        }
        entries.emplace_back(&record, name + "/" + base.relativeFilePath(record.path));
        files.append(record.path);
    }
    if (files.isEmpty()) {
        // Nothing left to send: an archive without entries is never written, and asking to
        // upload it would leave the scan waiting for a file that cannot come.
        m_pending.clear();
        return;
    }
    ++m_archiveCounter;

    const QString archivePath = m_tempPath + "/" + name;
    if (!zipFiles(files, m_tempPath, archivePath)) {
        qWarning() << "Failed to create zip file";
        return;
    }
    // Only cells inside an archive that exists may be named by the descriptor.
    for (auto &[record, containerPath] : entries)
        record->containerPath = containerPath;
    for (const QString &file : std::as_const(files))
        m_archivedFiles.insert(file);
    m_pending.clear();
    emit uploadFile(m_containerID, name, archivePath, false);
}

nlohmann::json BigBuilder::descriptor(const QVariant &mpp, const QVariant &magnification) const {
    nlohmann::json document = nlohmann::json::object();
    document["version"] = "1.0";
    document["layout"] = m_images.size() > 4 ? "wrapped" : "horizontal";
    if (mpp.isValid())
        document["mpp"] = toNumber(mpp);
    if (magnification.isValid())
        document["magnification"] = toNumber(magnification);
    document["images"] = m_images;
    return document;
}

void BigBuilder::sendIsd(const QVariant &mpp, const QVariant &magnification) {
    const std::string text = serialise(descriptor(mpp, magnification));
    const QString path = m_tempPath + "/scan.isd";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "Failed to create ISD file";
        return;
    }
    const qint64 written = file.write(text.data(), static_cast<qint64>(text.size()));
    if (written != static_cast<qint64>(text.size()) || !file.flush()) {
        qWarning() << "Failed to write ISD file" << path;
        return;
    }
    file.close();
    emit uploadFile(m_containerID, QStringLiteral("scan.isd"), path, true);
}

void BigBuilder::finish(QVariant mpp, QVariant magnification) {
    sendCells();
    if (!m_cells.empty())
        m_images.push_back(stitchedImage());
    m_cells.clear();
    sendIsd(mpp, magnification);

    // The uploads read the archives, so the cell files inside them are no longer needed. Photos
    // are uploaded from their own files, which may still be in transfer or waiting for a retry:
    // they go with the temporary directory once the whole container is uploaded.
    for (const QString &path : std::as_const(m_archivedFiles)) {
        removeIfExists(path);
        m_cache.remove(path);
    }
    m_archivedFiles.clear();
}

void BigBuilder::addSnapshot(cv::Mat snapshot) {
    if (snapshot.empty()) {
        qWarning() << "Cannot add an empty snapshot";
        return;
    }
    const QString path = saveToTemp(snapshot);
    if (!QFile::exists(path)) {
        // Announcing it would make the scan wait for an upload that can never succeed.
        qWarning() << "Failed to store snapshot" << path;
        return;
    }
    const QString containerPath = "snapshots/" + QFileInfo(path).fileName();
    nlohmann::json rois = nlohmann::json::array();
    rois.push_back(nlohmann::json::object());
    nlohmann::json entry = nlohmann::json::object();
    entry["type"] = "single";
    entry["path"] = containerPath.toStdString();
    entry["rois"] = std::move(rois);
    m_images.push_back(std::move(entry));
    emit uploadFile(m_containerID, containerPath, path, false);
}
