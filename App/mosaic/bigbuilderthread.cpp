#include "mosaic/bigbuilderthread.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include "mosaic/bigbuilder.h"

BigBuilderThread::BigBuilderThread()
    : BigBuilderThread(Options{}) {}

BigBuilderThread::BigBuilderThread(Options options)
    : WorkerThread(QThread::NormalPriority)
    , m_options(std::move(options))
    , m_worker(new QObject) {
    qRegisterMetaType<cv::Mat>("cv::Mat");
    qRegisterMetaType<Point>("Point");
    qRegisterMetaType<QList<FrameCellInfo>>("QList<FrameCellInfo>");
    m_worker->moveToThread(&thread);
}

BigBuilderThread::~BigBuilderThread() {
    stop();
}

void BigBuilderThread::stop() {
    // What the builders were told still reaches their folders: the thread quits after the
    // commands queued before, and the builders go as it ends.
    for (const auto &[id, builder] : m_builders)
        builder->deleteLater();
    m_builders.clear();
    m_finishing.clear();
    m_builder = nullptr;
    if (thread.isRunning() && m_worker)
        inWorker([this] { thread.quit(); });
    else
        thread.quit();
    thread.wait();
    delete m_worker;
    m_worker = nullptr;
}

template <typename F>
void BigBuilderThread::inWorker(F f) {
    if (m_worker)
        QMetaObject::invokeMethod(m_worker, std::move(f), Qt::QueuedConnection);
}

BigBuilder *BigBuilderThread::builderOf(const QString &containerID) const {
    const auto it = m_builders.find(containerID);
    return it == m_builders.end() ? nullptr : it->second;
}

QString BigBuilderThread::scanFolder(const QString &containerID) const {
    if (m_options.scansFolder.isEmpty())
        return {};
    return m_options.scansFolder + QLatin1Char('/') + containerID;
}

BigBuilder *BigBuilderThread::makeBuilder(const ScanInfo &info) {
    if (BigBuilder *existing = builderOf(info.containerId))
        return existing;
    BigBuilder *builder = nullptr;
    if (m_options.scansFolder.isEmpty()) {
        builder = new BigBuilder(info.containerId);
    } else {
        BigBuilder::Storage storage;
        storage.folder = scanFolder(info.containerId);
        storage.info = info;
        storage.freeSpace = m_options.freeSpace;
        storage.reserveBytes = m_options.reserveBytes;
        builder = new BigBuilder(info.containerId, std::move(storage));
    }
    builder->moveToThread(&thread);
    connect(builder, &BigBuilder::uploadFile, this, &BigBuilderThread::m_uploadFile);
    connect(builder, &BigBuilder::storageFailed, this, &BigBuilderThread::storageFailed);
    m_builders.emplace(info.containerId, builder);
    // The folder and its journal are made at once: a folder that cannot be written is known
    // before the first cell.
    QMetaObject::invokeMethod(
        builder, [builder] { builder->open(); }, Qt::AutoConnection);
    return builder;
}

void BigBuilderThread::start(QString containerID) {
    ScanInfo info;
    info.containerId = containerID;
    start(info);
}

void BigBuilderThread::start(const ScanInfo &info) {
    if (!m_worker || info.containerId.isEmpty())
        return;
    if (m_builder) {
        const QString open = m_builder->containerId();
        if (open == info.containerId)
            return;
        // The open scan is closed as "Finish" would close it: its cells are never dropped.
        if (!m_finishing.contains(open)) {
            m_finishing.insert(open);
            BigBuilder *builder = m_builder;
            QMetaObject::invokeMethod(
                builder, [builder] { builder->close(); }, Qt::AutoConnection);
        }
    }
    m_builder = makeBuilder(info);
}

void BigBuilderThread::resume(QString containerID) {
    if (!m_worker || builderOf(containerID))
        return;
    const QString folder = scanFolder(containerID);
    if (folder.isEmpty() || !QFileInfo::exists(folder + QLatin1Char('/') + ScanJournal::fileName)) {
        qWarning() << "No scan to take up for container" << containerID;
        return;
    }
    ScanInfo info;
    info.containerId = containerID;
    BigBuilder *builder = makeBuilder(info);
    m_finishing.insert(containerID);
    QMetaObject::invokeMethod(
        builder, [builder] { builder->close(); }, Qt::AutoConnection);
}

void BigBuilderThread::dropBuilder(const QString &containerID) {
    BigBuilder *builder = builderOf(containerID);
    if (!builder)
        return;
    m_builders.erase(containerID);
    m_finishing.remove(containerID);
    if (m_builder == builder)
        m_builder = nullptr;
    // After whatever the builder still has queued.
    inWorker([builder] { delete builder; });
}

void BigBuilderThread::removeScan(QString containerID) {
    dropBuilder(containerID);
    const QString folder = scanFolder(containerID);
    if (folder.isEmpty())
        return;
    inWorker([folder] {
        if (!scanfolder::removeFolder(folder))
            qWarning() << "Cannot remove the scan folder" << folder;
    });
}

void BigBuilderThread::storeNewFrame(cv::Mat frame, QList<FrameCellInfo> cells) {
    if (!m_builder)
        return;
    BigBuilder *builder = m_builder;
    QMetaObject::invokeMethod(
        builder, [builder, frame, cells] { builder->storeNewFrame(frame, cells); },
        Qt::AutoConnection);
}

void BigBuilderThread::eraseFrame(Point cell_id) {
    if (!m_builder)
        return;
    BigBuilder *builder = m_builder;
    QMetaObject::invokeMethod(
        builder, [builder, cell_id] { builder->eraseFrame(cell_id); }, Qt::AutoConnection);
}

void BigBuilderThread::finishImage() {
    if (!m_builder)
        return;
    BigBuilder *builder = m_builder;
    QMetaObject::invokeMethod(
        builder, [builder] { builder->finishImage(); }, Qt::AutoConnection);
}

void BigBuilderThread::finish(QVariant mpp, QVariant magnification) {
    if (!m_builder)
        return;
    BigBuilder *builder = m_builder;
    m_finishing.insert(builder->containerId());
    QMetaObject::invokeMethod(
        builder, [builder, mpp, magnification] { builder->finish(mpp, magnification); },
        Qt::AutoConnection);
}

void BigBuilderThread::addSnapshot(cv::Mat snapshot) {
    if (!m_builder)
        return;
    BigBuilder *builder = m_builder;
    QMetaObject::invokeMethod(
        builder, [builder, snapshot] { builder->addSnapshot(snapshot); }, Qt::AutoConnection);
}

void BigBuilderThread::m_uploadFile(QString containerID, QString containerPath, QString filePath,
                                    bool finish) {
    if (BigBuilder *builder = finish ? builderOf(containerID) : nullptr) {
        // The request names its container: that scan's builder is done, never one that became
        // current after it was told to finish.
        if (m_builder == builder)
            m_builder = nullptr;
        m_finishing.remove(containerID);
        // A builder in a temporary folder holds the files its uploads still read: it goes
        // with its scan (removeScan). A scan folder outlives its builder.
        if (!m_options.scansFolder.isEmpty())
            dropBuilder(containerID);
        emit finished(containerID);
    }
    emit uploadRequested(containerID, containerPath, filePath, finish);
}
