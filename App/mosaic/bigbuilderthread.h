#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariant>

#include <unordered_map>

#include <opencv2/core.hpp>

#include "mosaic/cellinfo.h"
#include "mosaic/scanfolder.h"
#include "mosaic/scanjournal.h"
#include "shell/metatypes.h"
#include "shell/workerthread.h"

class BigBuilder;

// The QML-facing side of the full-resolution builder (context property "bigBuilderThread").
// Lives in the GUI thread; owns the worker thread, the current scan's BigBuilder and the builders
// of scans being closed. Each scan keeps its files in a folder of its own under `scansFolder`,
// named by its container, where they stay until the program removes the scan (removeScan, once
// it is saved or discarded): a builder goes as soon as it has asked for its descriptor's upload,
// its files do not. (Without a scans folder each builder keeps its files in a temporary folder
// of its own and lives until its scan is removed.) A scan left open is never dropped: a new scan
// closes it as "Finish" would, and so does resume() for a scan that an earlier run of the program
// left unfinished. The program hands the builders' upload requests (uploadRequested) to the service
// and starts a builder for each new scan.
class BigBuilderThread : public WorkerThread {
    Q_OBJECT

public:
    struct Options {
        // Where the scan folders go; empty: each builder in a temporary folder of its own.
        QString scansFolder;
        scanfolder::FreeSpaceProbe freeSpace; // the file system's when empty
        qint64 reserveBytes = qint64(64) << 20;
    };

    BigBuilderThread();
    explicit BigBuilderThread(Options options);
    ~BigBuilderThread() override;

    // Lets the builders carry out what they were told, drops them and joins the worker thread.
    // Their scans stay in their folders, with journals from which a later run takes them up.
    void stop();

    // GUI thread only. The builders themselves belong to the worker thread.
    BigBuilder *currentBuilder() const { return m_builder; }
    // The builder of a scan that is being closed, or the current one; null when there is none.
    BigBuilder *builderOf(const QString &containerID) const;
    // The folder of a container's scan; empty without a scans folder.
    QString scanFolder(const QString &containerID) const;
    const QString &scansFolder() const { return m_options.scansFolder; }

    // Starts the scan of a new container, recording who it belongs to and its calibration.
    void start(const ScanInfo &info);

signals:
    // The scan's builder asked for its descriptor's upload and is gone.
    void finished(QString containerID);
    // A file of the container to upload; with `finish`, the container's last one.
    void uploadRequested(QString containerID, QString containerPath, QString filePath, bool finish);
    // The scan's folder takes no more cells (full disk, unwritable folder); the scan can still
    // be finished.
    void storageFailed(QString containerID, QString reason);

public slots:
    void storeNewFrame(cv::Mat frame, QList<FrameCellInfo> cells);
    void eraseFrame(Point cell_id);
    void finishImage();
    void finish(QVariant mpp, QVariant magnification);
    void start(QString containerID);
    void addSnapshot(cv::Mat snapshot);
    // Takes up a scan from its folder and finishes it with the calibration its journal holds.
    void resume(QString containerID);
    // Removes the scan's folder and its files, after its builder if it still has one.
    void removeScan(QString containerID);

private slots:
    void m_uploadFile(QString containerID, QString containerPath, QString filePath, bool finish);

private:
    BigBuilder *makeBuilder(const ScanInfo &info);
    // Runs f in the worker thread, after everything queued there before.
    template <typename F>
    void inWorker(F f);
    void dropBuilder(const QString &containerID);

    Options m_options;
    // Lives in the worker thread: the context of what runs there without a builder.
    QObject *m_worker;
    BigBuilder *m_builder = nullptr;
    // Every builder that has not yet asked for its descriptor's upload (and, without a scans
    // folder, every builder whose scan is not removed), by container ID.
    std::unordered_map<QString, BigBuilder *> m_builders;
    // Containers whose builder has been told to finish.
    QSet<QString> m_finishing;
};
