#include "mosaic/bigbuilder.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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
    , m_tempDir(std::make_unique<QTemporaryDir>())
    , m_freeSpace(scanfolder::fileSystemProbe()) {
    if (m_tempDir->isValid())
        m_folder = m_tempDir->path();
    else
        qWarning() << "Failed to create temporary directory:" << m_tempDir->errorString();
    m_info.containerId = m_containerID;
}

BigBuilder::BigBuilder(QString containerID, Storage storage, QObject *parent)
    : QObject(parent)
    , m_containerID(std::move(containerID))
    , m_folder(std::move(storage.folder))
    , m_info(std::move(storage.info))
    , m_freeSpace(storage.freeSpace ? std::move(storage.freeSpace) : scanfolder::fileSystemProbe())
    , m_reserveBytes(storage.reserveBytes) {
    m_info.containerId = m_containerID;
}

BigBuilder::~BigBuilder() {
    // The journal's connection goes before a temporary folder holding it.
    m_journal.reset();
}

bool BigBuilder::open() {
    if (m_opened)
        return m_usable;
    m_opened = true;
    if (m_folder.isEmpty()) {
        failStorage(QStringLiteral("there is no folder for the scan"));
        return false;
    }
    m_journal = std::make_unique<ScanJournal>(m_folder);
    std::optional<JournalState> state;
    if (m_journal->isOpen())
        state = m_journal->read();
    if (!state) {
        failStorage(QStringLiteral("the scan journal in %1 cannot be opened: %2")
                        .arg(m_folder, m_journal->errorString()));
        m_journal.reset();
        return false;
    }
    if (!state->info.containerId.isEmpty() && state->info.containerId != m_containerID) {
        qWarning() << "The scan folder" << m_folder << "holds container" << state->info.containerId
                   << "not" << m_containerID;
        m_journal.reset();
        return false;
    }
    m_usable = true;
    if (state->info.containerId.isEmpty()) {
        if (!m_journal->begin(m_info))
            failStorage(QStringLiteral("the scan journal cannot be written: %1")
                            .arg(m_journal->errorString()));
    } else {
        m_info = state->info;
        restore(*state);
    }
    removeLeftovers(*state);
    return true;
}

void BigBuilder::restore(const JournalState &state) {
    m_part = state.part;
    m_imageCounter = state.imageCounter;
    m_archiveCounter = state.archiveCounter;
    m_finished = state.finished;
    for (const QByteArray &entry : state.images) {
        nlohmann::json image = nlohmann::json::parse(entry.begin(), entry.end(), nullptr, false);
        if (image.is_discarded())
            qWarning() << "Unreadable image entry in the journal of" << m_folder;
        else
            m_images.push_back(std::move(image));
    }
    QList<qint64> damaged;
    int unarchived = 0;
    for (const JournalCell &cell : state.cells) {
        CellRecord record;
        record.path = m_folder + QLatin1Char('/') + QString::number(cell.image) + ".jpg";
        record.rect = cv::Rect(cell.x, cell.y, cell.width, cell.height);
        record.score = cell.score;
        record.image = cell.image;
        record.size = cell.size;
        record.md5 = cell.md5;
        const bool archived = !cell.archive.isEmpty();
        if (archived && QFile::exists(record.path))
            m_archivedFiles.insert(record.path);
        if (cell.part != m_part) {
            // A closed part's cells were all archived, unless its last archive failed.
            unarchived += archived ? 0 : 1;
            continue;
        }
        if (!archived) {
            // Only a whole file goes into an archive: a cell whose file was not written to the
            // disk before a power cut is no longer stored.
            if (QFileInfo(record.path).size() != cell.size ||
                scanfolder::fileMd5Hex(record.path) != cell.md5) {
                damaged.append(cell.image);
                continue;
            }
            m_pending.insert(Point(cell.column, cell.row));
            m_pendingBytes += cell.size;
        } else {
            record.containerPath =
                cell.archive + QLatin1Char('/') + QFileInfo(record.path).fileName();
        }
        m_cells[Point(cell.column, cell.row)] = record;
    }
    if (!damaged.isEmpty()) {
        qWarning() << damaged.size() << "stored cells of" << m_folder
                   << "are damaged or missing and are left out";
        m_journal->dropCells(damaged);
    }
    if (unarchived > 0)
        qWarning() << unarchived << "cells of closed parts of" << m_folder << "were never archived";
    qDebug() << "Taking up the scan of container" << m_containerID << "in" << m_folder << "part"
             << m_part << "with" << m_cells.size() << "cells," << m_pending.size() << "pending"
             << (m_finished ? "(finished)" : "");
}

void BigBuilder::removeLeftovers(const JournalState &state) {
    QSet<QString> kept;
    for (const JournalCell &cell : state.cells)
        kept.insert(QString::number(cell.image) + ".jpg");
    for (const JournalFile &file : state.files)
        kept.insert(file.localName);
    // Only names this builder writes: anything else in the folder is not its business.
    static const QRegularExpression ours(
        QStringLiteral("^(\\d+\\.jpg|\\d{5,}\\.dat|scan\\.isd)(\\.part|\\.[A-Za-z0-9]{6})?$"));
    QDir dir(m_folder);
    for (const QString &name : dir.entryList(QDir::Files)) {
        const QRegularExpressionMatch match = ours.match(name);
        if (!match.hasMatch() || (match.captured(2).isEmpty() && kept.contains(name)))
            continue;
        qDebug() << "Removing a file left over in the scan folder:" << name;
        dir.remove(name);
    }
}

QString BigBuilder::archiveName(int counter) {
    return QStringLiteral("%1.dat").arg(counter, 5, 10, QLatin1Char('0'));
}

std::string BigBuilder::serialise(const nlohmann::json &document) {
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void BigBuilder::storeNewFrame(cv::Mat frame, QList<FrameCellInfo> cells) {
    if (!open() || m_finished || m_storageFailed || !roomForCells())
        return;
    const cv::Point offset = alignmentOffset(frame, cells);
    const cv::Rect frameRect(0, 0, frame.cols, frame.rows);

    // The frame's cells are written first and recorded together: a cell counts as stored once
    // the journal holds it, and by then its file is whole under its name.
    QList<std::pair<Point, CellRecord>> made;
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
        cv::Mat image;
        try {
            image = frame(cell.rect + cv::Point(dx, dy)).clone();
        } catch (const cv::Exception &e) {
            qWarning() << "Failed to store cell" << cell.cell_id.x << cell.cell_id.y << e.what();
            continue;
        }
        CellRecord record;
        record.rect = cv::Rect(cell.position.x, cell.position.y, image.cols, image.rows);
        record.score = scoreOf(image);
        QString error;
        if (!writeImage(image, record, false, &error)) {
            failStorage(
                QStringLiteral("cell file %1 cannot be written: %2").arg(record.path, error));
            break;
        }
        made.append({cell.cell_id, record});
    }
    if (made.isEmpty())
        return;

    QList<JournalCell> entries;
    for (const auto &[id, record] : std::as_const(made))
        entries.append(journalCell(id, record));
    if (!m_journal->storeCells(entries, m_imageCounter)) {
        for (const auto &[id, record] : std::as_const(made))
            QFile::remove(record.path);
        failStorage(
            QStringLiteral("the scan journal cannot be written: %1").arg(m_journal->errorString()));
        return;
    }
    for (const auto &[id, record] : std::as_const(made))
        storeCell(id, record);

    if (m_pending.size() > static_cast<std::size_t>(maxPendingCells))
        sendCells();
}

JournalCell BigBuilder::journalCell(Point cell_id, const CellRecord &record) const {
    JournalCell cell;
    cell.image = record.image;
    cell.part = m_part;
    cell.column = cell_id.x;
    cell.row = cell_id.y;
    cell.x = record.rect.x;
    cell.y = record.rect.y;
    cell.width = record.rect.width;
    cell.height = record.rect.height;
    cell.score = record.score;
    cell.size = record.size;
    cell.md5 = record.md5;
    return cell;
}

void BigBuilder::storeCell(Point cell_id, const CellRecord &record) {
    const auto it = m_cells.find(cell_id);
    if (m_pending.count(cell_id) && it != m_cells.end())
        m_pendingBytes -= it->second.size;
    m_pending.insert(cell_id);
    m_pendingBytes += record.size;
    if (it != m_cells.end()) {
        removeIfExists(it->second.path);
        m_cache.remove(it->second.path);
        m_archivedFiles.remove(it->second.path);
        it->second = record;
    } else {
        m_cells.emplace(cell_id, record);
    }
}

void BigBuilder::eraseFrame(Point cell_id) {
    if (!open())
        return;
    const auto it = m_cells.find(cell_id);
    if (it == m_cells.end())
        return;
    if (!m_journal->eraseCell(m_part, cell_id.x, cell_id.y))
        qWarning() << "The erased cell" << cell_id.x << cell_id.y << "is still in the journal";
    const QString path = it->second.path;
    if (m_pending.erase(cell_id))
        m_pendingBytes -= it->second.size;
    m_cells.erase(it);
    m_archivedFiles.remove(path);
    removeIfExists(path);
    m_cache.remove(path);
}

void BigBuilder::closePart() {
    if (!m_pending.empty()) {
        // Their archive failed: the part's entry cannot name them.
        qWarning() << m_pending.size() << "cells of the part were not archived";
        m_pending.clear();
        m_pendingBytes = 0;
    }
    if (m_cells.empty())
        return;
    const nlohmann::json entry = stitchedImage();
    if (!m_journal->closePart(QByteArray::fromStdString(serialise(entry)), m_part + 1))
        qWarning() << "The closed part is not in the journal of" << m_folder;
    m_images.push_back(entry);
    m_cells.clear();
    ++m_part;
}

void BigBuilder::finishImage() {
    if (!open() || m_finished)
        return;
    sendCells();
    closePart();
}

bool BigBuilder::writeImage(const cv::Mat &image, CellRecord &record, bool sync, QString *error) {
    record.image = m_imageCounter++;
    record.path = m_folder + "/" + QString::number(record.image) + ".jpg";
    cv::Mat bgr;
    if (image.channels() == 3)
        cv::cvtColor(image, bgr, cv::COLOR_RGB2BGR);
    else
        bgr = image;
    qDebug() << "Saving image to" << record.path;
    const QByteArray encoded = encodeImage(bgr, QStringLiteral("jpg"));
    if (encoded.isEmpty()) {
        *error = QStringLiteral("the image cannot be encoded");
        return false;
    }
    if (!scanfolder::writeAtomically(record.path, encoded, sync, error))
        return false;
    record.size = encoded.size();
    record.md5 = scanfolder::md5Hex(encoded);
    return true;
}

QString BigBuilder::saveToTemp(const cv::Mat &image) {
    CellRecord record;
    QString error;
    if (m_folder.isEmpty()) {
        record.path = "/" + QString::number(m_imageCounter++) + ".jpg";
        qWarning() << "No folder to save" << record.path;
        return record.path;
    }
    if (!writeImage(image, record, false, &error))
        qWarning() << "Failed to save image" << record.path << error;
    return record.path;
}

bool BigBuilder::roomForCells() {
    const qint64 available = m_freeSpace ? m_freeSpace(m_folder) : -1;
    if (available < 0 || available >= m_reserveBytes + m_pendingBytes)
        return true;
    failStorage(QStringLiteral("the disk holding %1 is nearly full (%2 MiB free)")
                    .arg(m_folder)
                    .arg(available >> 20));
    return false;
}

void BigBuilder::failStorage(const QString &reason) {
    if (m_storageFailed)
        return;
    m_storageFailed = true;
    qWarning() << "No more cells are stored for container" << m_containerID << ":" << reason;
    emit storageFailed(m_containerID, reason);
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
    if (!open() || m_pending.empty())
        return;

    const QString name = archiveName(m_archiveCounter);
    const QDir base(m_folder);
    QStringList files;
    QList<qint64> images;
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
        images.append(record.image);
    }
    if (files.isEmpty()) {
        // Nothing left to send: an archive without entries is never written, and asking to
        // upload it would leave the scan waiting for a file that cannot come.
        m_pending.clear();
        m_pendingBytes = 0;
        return;
    }
    ++m_archiveCounter;

    // The archive library writes a temporary file and renames it when the archive is whole.
    const QString archivePath = m_folder + "/" + name;
    if (!zipFiles(files, m_folder, archivePath)) {
        qWarning() << "Failed to create zip file";
        failStorage(QStringLiteral("the archive %1 cannot be written").arg(archivePath));
        return;
    }
    QString error;
    if (!scanfolder::syncToDisk(archivePath, &error))
        qWarning() << "The archive" << archivePath << "may not be on the disk yet:" << error;
    JournalFile archive;
    archive.containerPath = name;
    archive.localName = name;
    archive.size = QFileInfo(archivePath).size();
    archive.md5 = scanfolder::fileMd5Hex(archivePath);
    if (!m_journal->addArchive(archive, images, m_archiveCounter)) {
        QFile::remove(archivePath);
        failStorage(
            QStringLiteral("the scan journal cannot be written: %1").arg(m_journal->errorString()));
        return;
    }
    // Only cells inside an archive that exists may be named by the descriptor.
    for (auto &[record, containerPath] : entries)
        record->containerPath = containerPath;
    for (const QString &file : std::as_const(files))
        m_archivedFiles.insert(file);
    m_pending.clear();
    m_pendingBytes = 0;
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
    if (!open())
        return;
    const std::string text = serialise(descriptor(mpp, magnification));
    const QString path = m_folder + "/scan.isd";
    QString error;
    if (!scanfolder::writeAtomically(path, QByteArrayView(text.data(), qsizetype(text.size())),
                                     true, &error)) {
        qWarning() << "Failed to create ISD file" << path << error;
        return;
    }
    JournalFile file;
    file.containerPath = QStringLiteral("scan.isd");
    file.localName = QStringLiteral("scan.isd");
    file.size = qint64(text.size());
    file.md5 = scanfolder::md5Hex(QByteArrayView(text.data(), qsizetype(text.size())));
    file.finish = true;
    // Without the record a later run would finish the scan again, which does no harm: the
    // descriptor it writes is the same. The upload goes ahead so that this run can save it.
    if (!m_journal->finish(file, mpp, magnification))
        qWarning() << "The finish is not in the journal of" << m_folder;
    m_finished = true;
    emit uploadFile(m_containerID, QStringLiteral("scan.isd"), path, true);
}

void BigBuilder::finish(QVariant mpp, QVariant magnification) {
    if (!open())
        return;
    if (m_finished) {
        qDebug() << "The scan of container" << m_containerID << "is finished already";
        return;
    }
    sendCells();
    closePart();
    sendIsd(mpp, magnification);

    // The uploads read the archives, so the cell files inside them are no longer needed. Photos
    // are uploaded from their own files, which may still be in transfer or waiting for a retry:
    // they stay with the folder until the scan is saved.
    for (const QString &path : std::as_const(m_archivedFiles)) {
        removeIfExists(path);
        m_cache.remove(path);
    }
    m_archivedFiles.clear();
}

void BigBuilder::close() {
    if (!open())
        return;
    const QString descriptorPath = m_folder + "/scan.isd";
    if (m_finished) {
        // Whoever closes it learns that it is finished: its descriptor is asked for again.
        if (QFile::exists(descriptorPath))
            emit uploadFile(m_containerID, QStringLiteral("scan.isd"), descriptorPath, true);
        return;
    }
    qDebug() << "Closing the scan of container" << m_containerID << "with the calibration"
             << m_info.mpp << m_info.magnification;
    finish(m_info.mpp, m_info.magnification);
}

void BigBuilder::addSnapshot(cv::Mat snapshot) {
    if (!open() || m_finished || m_storageFailed)
        return;
    if (snapshot.empty()) {
        qWarning() << "Cannot add an empty snapshot";
        return;
    }
    if (!roomForCells())
        return;
    CellRecord photo;
    QString error;
    if (!writeImage(snapshot, photo, true, &error)) {
        // Announcing it would make the scan wait for an upload that can never succeed.
        qWarning() << "Failed to store snapshot" << photo.path;
        failStorage(QStringLiteral("photo file %1 cannot be written: %2").arg(photo.path, error));
        return;
    }
    const QString fileName = QFileInfo(photo.path).fileName();
    const QString containerPath = "snapshots/" + fileName;
    nlohmann::json rois = nlohmann::json::array();
    rois.push_back(nlohmann::json::object());
    nlohmann::json entry = nlohmann::json::object();
    entry["type"] = "single";
    entry["path"] = containerPath.toStdString();
    entry["rois"] = std::move(rois);
    JournalFile file;
    file.containerPath = containerPath;
    file.localName = fileName;
    file.size = photo.size;
    file.md5 = photo.md5;
    if (!m_journal->addSnapshot(QByteArray::fromStdString(serialise(entry)), file, m_imageCounter))
        qWarning() << "The photo" << photo.path << "is not in the journal of" << m_folder;
    m_images.push_back(std::move(entry));
    emit uploadFile(m_containerID, containerPath, photo.path, false);
}
