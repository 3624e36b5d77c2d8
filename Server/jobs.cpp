#include "jobs.h"

#include "scandescriptor.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QRandomGenerator>

#include <algorithm>
#include <chrono>

namespace tavrona {

namespace {

qint64 nowSecs() {
    return QDateTime::currentSecsSinceEpoch();
}

QString buildName() {
    return QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0');
}

} // namespace

QList<QPair<int, int>> stitchedParts(const ScanDescriptor &descriptor) {
    QList<QPair<int, int>> parts;
    for (size_t i = 0; i < descriptor.images.size(); ++i)
        if (descriptor.images[i].type == ScanImage::Type::Stitched)
            parts.append({int(parts.size()), int(i)});
    return parts;
}

int JobPool::defaultThreads(int cores) {
    return std::max(1, cores - 1);
}

JobPool::JobPool(JobPoolOptions options, const Storage &storage, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_storage(storage) {}

JobPool::~JobPool() {
    stop();
}

void JobPool::start() {
    if (!m_threads.empty())
        return;
    m_stopping = false;
    for (int i = 0; i < std::max(1, m_options.threads); ++i)
        m_threads.emplace_back([this, i] { work(i); });
}

void JobPool::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
    m_threads.clear();
}

void JobPool::wake() {
    {
        std::lock_guard lock(m_mutex);
        m_pending = true;
    }
    m_wake.notify_all();
}

void JobPool::work(int index) {
    // Making pyramids yields to answering requests whenever both want a core.
    lowerThreadPriority();
    Database db;
    QString error;
    if (!db.open(m_options.database, &error)) {
        qWarning().noquote() << "Job worker" << index << "cannot open the database:" << error;
        return;
    }
    while (!m_stopping) {
        if (auto job = db.claimJob(m_options.owner, nowSecs(), m_options.leaseSecs)) {
            run(db, *job);
            continue;
        }
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(m_options.pollMs),
                        [this] { return m_pending || m_stopping; });
        m_pending = false;
    }
}

void JobPool::run(Database &db, Job job) {
    const auto scan = db.scan(job.scanId);
    ScanDescriptor descriptor;
    QString error;
    auto fail = [&](const QString &reason) {
        qWarning().noquote() << "Scan" << job.scanId << "part" << job.part << "failed:" << reason;
        if (db.failJob(job, reason, nowSecs()))
            emit jobChanged(job.scanId, job.part, QStringLiteral("failed"));
    };
    if (!scan || !parseScanDescriptor(scan->descriptor.toUtf8(), &descriptor, &error) ||
        job.imageIndex < 0 || job.imageIndex >= int(descriptor.images.size()) ||
        descriptor.images[size_t(job.imageIndex)].type != ScanImage::Type::Stitched) {
        fail(error.isEmpty() ? QStringLiteral("the scan has no such part") : error);
        return;
    }
    if (job.attempts > m_options.maxAttempts) {
        fail(QStringLiteral("given up after %1 attempts").arg(m_options.maxAttempts));
        return;
    }
    emit jobChanged(job.scanId, job.part, QStringLiteral("running"));
    qInfo().noquote() << "Making scan" << job.scanId << "part" << job.part << "(attempt"
                      << job.attempts << ")";

    const QString build = buildName();
    const QString staging =
        m_storage.newStaging(scan->containerId, scan->id, job.part, build, &error);
    if (staging.isEmpty()) {
        fail(error);
        return;
    }
    PyramidOptions options = m_options.pyramid;
    options.mpp = descriptor.mpp;
    options.magnification = descriptor.magnification;
    options.name = QStringLiteral("%1, part %2").arg(scan->name).arg(job.part + 1);

    // The lease is renewed with the progress, at least every few seconds; a failed write means
    // the job is no longer ours (the container changed, or the lease was taken) and the build
    // stops.
    bool lost = false;
    qint64 lastWrite = 0;
    int lastPercent = -1;
    const qint64 renewEvery = std::max<qint64>(1, m_options.leaseSecs / 4);
    const PyramidProgress progress = [&](int percent) {
        if (m_stopping)
            return false;
        const qint64 now = nowSecs();
        if (percent == lastPercent && now - lastWrite < renewEvery)
            return true;
        if (!db.jobProgress(job, percent, now + m_options.leaseSecs, now)) {
            lost = true;
            return false;
        }
        lastPercent = percent;
        lastWrite = now;
        return true;
    };
    const PyramidResult result = buildPyramid(descriptor.images[size_t(job.imageIndex)], m_storage,
                                              scan->containerId, staging, options, progress);
    if (!result.ok) {
        QDir(staging).removeRecursively();
        if (lost) {
            qInfo().noquote() << "Scan" << job.scanId << "part" << job.part
                              << "was taken over; its build is dropped";
        } else if (m_stopping) {
            db.releaseJob(job, nowSecs());
            emit jobChanged(job.scanId, job.part, QStringLiteral("queued"));
        } else {
            fail(result.error);
        }
        return;
    }
    if (!m_storage.publish(scan->containerId, scan->id, job.part, build, staging, &error)) {
        QDir(staging).removeRecursively();
        fail(error);
        return;
    }
    if (!db.finishJob(job, {build, result.skippedCells}, nowSecs())) {
        m_storage.removeBuild(scan->containerId, scan->id, job.part, build);
        return;
    }
    m_storage.removeBuilds(scan->containerId, scan->id, job.part, build);
    qInfo().noquote() << "Scan" << job.scanId << "part" << job.part << "is ready:" << result.width
                      << "×" << result.height << "px," << result.skippedCells
                      << "cells could not be read";
    emit jobChanged(job.scanId, job.part, QStringLiteral("ready"));
}

} // namespace tavrona
