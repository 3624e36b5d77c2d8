#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <map>
#include <set>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "mosaic/cellinfo.h"
#include "mosaic/imagecache.h"
#include "shell/metatypes.h"

// One stored full-resolution cell of the current part.
struct CellRecord {
    QString path;          // local JPEG file inside the builder's temporary directory
    QString containerPath; // "NNNNN.dat/m.jpg" once the cell is inside an uploaded archive
    cv::Rect rect;         // place in full-resolution mosaic coordinates, size of the image
    double score = 0;      // sum of the standard deviations of the first three channels
};

// The full-resolution mosaic of one scan (one service container): the best version of every
// cell as a JPEG file in a temporary directory, archived in batches, described by "scan.isd".
// Lives in the full-resolution worker thread; every slot runs there. Throws nothing: failures
// are warnings and skipped work.
class BigBuilder : public QObject {
    Q_OBJECT

public:
    using CellMap = std::map<Point, CellRecord, PointLess>;
    using PointSet = std::set<Point, PointLess>;

    static constexpr int maxPendingCells = 100;
    static constexpr int maxAlignmentPx = 3;

    explicit BigBuilder(QString containerID, QObject *parent = nullptr);
    ~BigBuilder() override;

    // Fixed at construction, so any thread may read them.
    const QString &containerId() const { return m_containerID; }
    QString tempPath() const { return m_tempPath; }

    const CellMap &cells() const { return m_cells; }
    const PointSet &pending() const { return m_pending; }
    const nlohmann::json &images() const { return m_images; }
    int imageCounter() const { return m_imageCounter; }
    int archiveCounter() const { return m_archiveCounter; }
    const ImageCache &cache() const { return m_cache; }

    // The archive's name in the container: the counter padded to five digits, plus ".dat".
    static QString archiveName(int counter);
    // Compact, keys sorted at every level, UTF-8 without escapes, no trailing newline.
    static std::string serialise(const nlohmann::json &document);

    QString saveToTemp(const cv::Mat &image);
    cv::Mat loadCached(const QString &path);
    void storeCell(Point cell_id, const CellRecord &record);
    // The correction (each within +-3 px) applied to the whole frame before cutting its cells.
    cv::Point alignmentOffset(const cv::Mat &frame, const QList<FrameCellInfo> &cells);
    nlohmann::json stitchedImage() const;
    nlohmann::json descriptor(const QVariant &mpp, const QVariant &magnification) const;
    void sendCells();
    void sendIsd(const QVariant &mpp, const QVariant &magnification);

public slots:
    void storeNewFrame(cv::Mat frame, QList<FrameCellInfo> cells);
    void eraseFrame(Point cell_id);
    void finishImage();
    void finish(QVariant mpp, QVariant magnification);
    void addSnapshot(cv::Mat snapshot);

signals:
    void uploadFile(QString containerID, QString containerPath, QString filePath, bool finish);

private:
    const QString m_containerID;
    CellMap m_cells;
    PointSet m_pending;
    nlohmann::json m_images = nlohmann::json::array();
    int m_imageCounter = 0;
    int m_archiveCounter = 0;
    ImageCache m_cache{100};
    QTemporaryDir m_tempDir;
    const QString m_tempPath;
    // Cell files inside an archive that was written: the only files finish() may delete, since
    // the uploads read the archives, never these files.
    QSet<QString> m_archivedFiles;
};
