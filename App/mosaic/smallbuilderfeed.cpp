// The live builder's link to the camera facade: where its frames come from, and when.
#include "mosaic/smallbuilder.h"

#include "camera/camerathread.h"

#include <utility>

SmallBuilder::SmallBuilder(CameraThread *cameraThread, FrameGate frameGate)
    : cameraThread(cameraThread)
    , frameGate(std::move(frameGate)) {
    // Names under which queued connections and QML find the types that cross threads.
    qRegisterMetaType<cv::Mat>("cv::Mat");
    qRegisterMetaType<Point>("Point");
    qRegisterMetaType<QList<FrameCellInfo>>("QList<FrameCellInfo>");
    qRegisterMetaType<LiveCounters>("LiveCounters");
    if (cameraThread)
        connect(cameraThread, &CameraThread::newFrame, this, &SmallBuilder::update);
    reset();
}

void SmallBuilder::update() {
    if (!running || !cameraThread || !frameGate || !frameGate()) {
        counting.paused();
        return;
    }
    const QSharedPointer<FrameInfo> latest = cameraThread->latestFrame();
    // Queued calls pile up when the builder falls behind; they find the frame seen already.
    if (!latest || latest == frame)
        return;
    processFrame(latest);
}
