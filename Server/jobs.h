#pragma once

#include "database.h"
#include "pyramid.h"
#include "storage.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrona {

struct JobPoolOptions {
    DatabaseConfig database; // each worker opens its own connection
    QString owner;           // this server's name in the jobs table
    int threads = 1;         // jobs at a time
    qint64 leaseSecs = 60;   // a job not heard of for this long is taken by another worker
    int pollMs = 2000;       // how often an idle worker looks for jobs queued by other servers
    int maxAttempts = 3;     // starts of one job (crashes included) before it is given up
    PyramidOptions pyramid;  // qualities and cache; mpp, magnification and name come per scan
};

// Makes saved parts into their pyramids on worker threads of their own, never on the thread
// that answers requests. Everything a worker needs is in the database and the storage, so a
// restarted server (or another one on the same database) carries on where this one stopped.
// Each worker has its own database connection.
class JobPool : public QObject {
    Q_OBJECT
public:
    JobPool(JobPoolOptions options, const Storage &storage, QObject *parent = nullptr);
    ~JobPool() override;

    void start();
    // Cancels running builds, gives their jobs back to the queue and joins the workers.
    void stop();
    // A job was queued: an idle worker looks at once.
    void wake();

    // Workers for a machine with this many cores: one core is left for requests.
    static int defaultThreads(int cores);

signals:
    // Emitted from a worker thread whenever a job changes state.
    void jobChanged(const QString &scanId, int part, const QString &state);

private:
    void work(int index);
    void run(Database &db, Job job);

    JobPoolOptions m_options;
    const Storage &m_storage;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_pending = false;
    std::atomic<bool> m_stopping{false};
};

// Parts of a descriptor's images that are stitched: (part number, image index).
QList<QPair<int, int>> stitchedParts(const ScanDescriptor &descriptor);

} // namespace tavrona
