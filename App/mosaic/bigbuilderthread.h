#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <unordered_map>

#include <opencv2/core.hpp>

#include "mosaic/cellinfo.h"
#include "shell/metatypes.h"
#include "shell/workerthread.h"

class BigBuilder;

// The QML-facing side of the full-resolution builder (context property "bigBuilderThread").
// Lives in the GUI thread; owns the worker thread, the current scan's BigBuilder and the finished
// builders whose container is still uploading. A builder and its files go only when the service
// reports every upload of its container done (uploadFinished). The program hands the builders'
// upload requests (uploadRequested) to the service and starts a builder for each new scan.
class BigBuilderThread : public WorkerThread {
    Q_OBJECT

public:
    BigBuilderThread();
    ~BigBuilderThread() override;

    // Drops the current builder and joins the worker thread. Parked builders stay, with their
    // files, since their uploads may still read them.
    void stop();

    // GUI thread only. The builders themselves belong to the worker thread.
    BigBuilder *currentBuilder() const { return m_builder; }
    QList<BigBuilder *> parkedBuilders(const QString &containerID) const;

signals:
    void finished(QString containerID);
    // A file of the container to upload; with `finish`, the container's last one.
    void uploadRequested(QString containerID, QString containerPath, QString filePath, bool finish);

public slots:
    void storeNewFrame(cv::Mat frame, QList<FrameCellInfo> cells);
    void eraseFrame(Point cell_id);
    void finishImage();
    void finish(QVariant mpp, QVariant magnification);
    void start(QString containerID);
    void uploadFinished(QString containerID);
    void addSnapshot(cv::Mat snapshot);

private slots:
    void m_uploadFile(QString containerID, QString containerPath, QString filePath, bool finish);

private:
    void park(BigBuilder *builder);

    BigBuilder *m_builder = nullptr;
    // Whether finish() went to the current builder: then its last upload request is on its way
    // and it must outlive a new scan that replaces it.
    bool m_builderFinishing = false;
    // Finished builders by container ID, until the container is wholly uploaded.
    std::unordered_multimap<QString, BigBuilder *> m_finishing;
};
