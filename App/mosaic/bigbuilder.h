#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "mosaic/cellinfo.h"
#include "mosaic/imagecache.h"
#include "mosaic/scanfolder.h"
#include "mosaic/scanjournal.h"
#include "shell/metatypes.h"

// One stored full-resolution cell of the current part.
struct CellRecord {
    QString path;          // local JPEG file inside the scan folder
    QString containerPath; // "NNNNN.dat/m.jpg" once the cell is inside an uploaded archive
    cv::Rect rect;         // place in full-resolution mosaic coordinates, size of the image
    double score = 0;      // sum of the standard deviations of the first three channels
    qint64 image = -1;     // m of its file m.jpg
    qint64 size = 0;       // bytes of the file
    QString md5;           // of the file
};

// The full-resolution mosaic of one scan (one service container): the best version of every
// cell as a JPEG file in the scan's folder, archived in batches, described by "scan.isd". Every
// file is written whole under a temporary name and renamed, and every step is recorded in the
// folder's journal before anyone is told of it, so a builder made again on the same folder (by
// a later run of the program) goes on from where the last one stopped.
//
// Lives in the full-resolution worker thread; every slot runs there. Throws nothing: failures
// are warnings and skipped work. When the folder cannot take more (a full disk, a folder that
// cannot be written), it stops storing cells and says so once (storageFailed); what it stored
// stays intact, and the scan can still be finished and uploaded.
class BigBuilder : public QObject {
    Q_OBJECT

public:
    using CellMap = std::map<Point, CellRecord, PointLess>;
    using PointSet = std::set<Point, PointLess>;

    static constexpr int maxPendingCells = 100;
    static constexpr int maxAlignmentPx = 3;
    // Room kept free on the disk, beyond what the pending cells' archive will take, so that a
    // scan can always be finished: the last archive, the descriptor and the journal fit in it.
    static constexpr qint64 defaultReserveBytes = qint64(64) << 20;

    // Where a builder keeps its scan.
    struct Storage {
        QString folder; // the scan folder; made if missing, taken up again if it has a journal
        ScanInfo info;  // recorded in a new journal (the container ID is the builder's)
        scanfolder::FreeSpaceProbe freeSpace; // the file system's when empty
        qint64 reserveBytes = defaultReserveBytes;
    };

    // A builder whose scan lives in a private temporary folder, removed with the builder.
    explicit BigBuilder(QString containerID, QObject *parent = nullptr);
    BigBuilder(QString containerID, Storage storage, QObject *parent = nullptr);
    ~BigBuilder() override;

    // Fixed at construction, so any thread may read them.
    const QString &containerId() const { return m_containerID; }
    const QString &folderPath() const { return m_folder; }

    // Opens the folder's journal and takes up what it holds: done by the first command, in the
    // builder's thread; false when the scan cannot be kept (no journal, another container's).
    bool open();

    const CellMap &cells() const { return m_cells; }
    const PointSet &pending() const { return m_pending; }
    const nlohmann::json &images() const { return m_images; }
    int imageCounter() const { return int(m_imageCounter); }
    int archiveCounter() const { return m_archiveCounter; }
    const ImageCache &cache() const { return m_cache; }
    int part() const { return m_part; }
    bool isFinished() const { return m_finished; }
    bool hasStorageFailed() const { return m_storageFailed; }

    // The archive's name in the container: the counter padded to five digits, plus ".dat".
    static QString archiveName(int counter);
    // Compact, keys sorted at every level, UTF-8 without escapes, no trailing newline.
    static std::string serialise(const nlohmann::json &document);

    // Writes the image as the next numbered JPEG of the folder; the path is returned whether or
    // not the write succeeded (the file exists only if it did).
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
    // Finishes the scan with the calibration its journal holds, as "Finish" would: for a scan
    // left open by a new one, or by a run of the program that ended before it was finished. A
    // scan finished already asks for its descriptor's upload again.
    void close();

signals:
    void uploadFile(QString containerID, QString containerPath, QString filePath, bool finish);
    // The folder took no more (full disk, unwritable folder): no more cells are stored.
    void storageFailed(QString containerID, QString reason);

private:
    // Encodes and writes one image file; on success fills the record's path, image, size, md5.
    bool writeImage(const cv::Mat &image, CellRecord &record, bool sync, QString *error);
    // Whether the disk can take the frame's cells and still finish the scan.
    bool roomForCells();
    void failStorage(const QString &reason);
    // Closes the current part: its entry joins the descriptor's images.
    void closePart();
    void restore(const JournalState &state);
    // Removes files no record names: leftovers of a write the program did not live to record.
    void removeLeftovers(const JournalState &state);
    JournalCell journalCell(Point cell_id, const CellRecord &record) const;

    const QString m_containerID;
    std::unique_ptr<QTemporaryDir> m_tempDir;
    QString m_folder;
    ScanInfo m_info;
    scanfolder::FreeSpaceProbe m_freeSpace;
    qint64 m_reserveBytes = defaultReserveBytes;
    std::unique_ptr<ScanJournal> m_journal;
    bool m_opened = false;
    bool m_usable = false;

    CellMap m_cells;
    PointSet m_pending;
    qint64 m_pendingBytes = 0;
    nlohmann::json m_images = nlohmann::json::array();
    qint64 m_imageCounter = 0;
    int m_archiveCounter = 0;
    int m_part = 0;
    bool m_finished = false;
    bool m_storageFailed = false;
    ImageCache m_cache{100};
    // Cell files inside an archive that was written: the only files finish() may delete, since
    // the uploads read the archives, never these files.
    QSet<QString> m_archivedFiles;
};
