#include "mosaic/bigbuilderthread.h"

#include <QMetaObject>

#include "mosaic/bigbuilder.h"

BigBuilderThread::BigBuilderThread()
    : WorkerThread(QThread::NormalPriority) {
    qRegisterMetaType<cv::Mat>("cv::Mat");
    qRegisterMetaType<Point>("Point");
    qRegisterMetaType<QList<FrameCellInfo>>("QList<FrameCellInfo>");
}

BigBuilderThread::~BigBuilderThread() {
    stop();
}

void BigBuilderThread::stop() {
    if (m_builder) {
        m_builder->deleteLater();
        m_builder = nullptr;
        m_builderFinishing = false;
    }
    thread.quit();
    thread.wait();
}

QList<BigBuilder *> BigBuilderThread::parkedBuilders(const QString &containerID) const {
    QList<BigBuilder *> result;
    const auto [first, last] = m_finishing.equal_range(containerID);
    for (auto it = first; it != last; ++it)
        result.append(it->second);
    return result;
}

void BigBuilderThread::start(QString containerID) {
    if (m_builder) {
        if (m_builderFinishing)
            park(m_builder); // its descriptor is being written or uploaded: keep its files
        else
            m_builder->deleteLater(); // an abandoned scan: what it had not sent is dropped
    }
    m_builderFinishing = false;
    m_builder = new BigBuilder(containerID);
    m_builder->moveToThread(&thread);
    connect(m_builder, &BigBuilder::uploadFile, this, &BigBuilderThread::m_uploadFile);
}

void BigBuilderThread::park(BigBuilder *builder) {
    for (const BigBuilder *parked : parkedBuilders(builder->containerId())) {
        if (parked == builder)
            return;
    }
    m_finishing.emplace(builder->containerId(), builder);
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
    m_builderFinishing = true;
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
    if (finish) {
        // The request names its container: park that scan's builder, never one that became
        // current after it was told to finish.
        bool known = !parkedBuilders(containerID).isEmpty();
        if (m_builder && m_builder->containerId() == containerID) {
            park(m_builder);
            m_builder = nullptr;
            m_builderFinishing = false;
            known = true;
        }
        if (known)
            emit finished(containerID);
    }
    emit uploadRequested(containerID, containerPath, filePath, finish);
}

void BigBuilderThread::uploadFinished(QString containerID) {
    const auto [first, last] = m_finishing.equal_range(containerID);
    for (auto it = first; it != last; ++it)
        it->second->deleteLater();
    m_finishing.erase(containerID);
}
