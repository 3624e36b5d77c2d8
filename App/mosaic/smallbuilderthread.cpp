#include "mosaic/smallbuilderthread.h"

#include "mosaic/bigbuilderthread.h"

#include <utility>

SmallBuilderThread::SmallBuilderThread(CameraThread *cameraThread,
                                       SmallBuilder::FrameGate frameGate,
                                       BigBuilderThread *bigBuilderThread)
    : WorkerThread(QThread::HighestPriority)
    , builder(cameraThread, std::move(frameGate)) {
    builder.moveToThread(&thread);
    connect(&builder, &SmallBuilder::updated, this, &SmallBuilderThread::builderUpdated);
    connect(&builder, &SmallBuilder::partCounted, this, [this](LiveCounters counters) {
        m_lastPartCounters = counters;
        emit partCounted(counters);
    });
    if (bigBuilderThread) {
        connect(&builder, &SmallBuilder::storeNewFrame, bigBuilderThread,
                &BigBuilderThread::storeNewFrame);
        connect(&builder, &SmallBuilder::eraseFrame, bigBuilderThread,
                &BigBuilderThread::eraseFrame);
    }
    connect(this, &SmallBuilderThread::viewSizeUpdate, &builder, &SmallBuilder::viewSizeUpdate);
    connect(this, &SmallBuilderThread::viewResolutionUpdate, &builder,
            &SmallBuilder::viewResolutionUpdate);
    connect(this, &SmallBuilderThread::mouseClick, &builder, &SmallBuilder::mouseClick);
    connect(this, &SmallBuilderThread::mouseDrag, &builder, &SmallBuilder::mouseDrag);
    connect(this, &SmallBuilderThread::reset, &builder, &SmallBuilder::reset);
}

SmallBuilderThread::~SmallBuilderThread() {
    // The builder is a member and dies before the base stops the thread: no slot of it may
    // still be running in its thread by then.
    stop();
}

void SmallBuilderThread::setRunning(bool value) {
    builder.running.exchange(value);
    emit runningChanged();
}

void SmallBuilderThread::setEraserMode(bool value) {
    builder.eraserMode.exchange(value);
    emit eraserChanged();
}

void SmallBuilderThread::builderUpdated(cv::Mat visibleImage, cv::Mat minimap, cv::Mat cameraImage,
                                        double estimationQuality, bool outOfSync,
                                        QRectF positionOnMinimap) {
    m_image = visibleImage;
    m_minimap = minimap;
    m_cameraImage = cameraImage;
    m_estimationQuality = estimationQuality;
    m_outOfSync = outOfSync;
    m_positionOnMinimap = positionOnMinimap;
    emit propertiesChanged();
}
