// The live builder's link to the camera and service facades: where its frames come from.
#include "mosaic/smallbuilder.h"

#include "camera/camerathread.h"
#include "service/apithread.h"
#include "shell/settings.h"

SmallBuilder::SmallBuilder(CameraThread *cameraThread, ApiThread *apiThread)
    : cameraThread(cameraThread)
    , apiThread(apiThread) {
    // Names under which queued connections and QML find the types that cross threads.
    qRegisterMetaType<cv::Mat>("cv::Mat");
    qRegisterMetaType<Point>("Point");
    qRegisterMetaType<QList<FrameCellInfo>>("QList<FrameCellInfo>");
    if (cameraThread)
        connect(cameraThread, &CameraThread::newFrame, this, &SmallBuilder::update);
    reset();
}

void SmallBuilder::update() {
    if (!running || !cameraThread || !apiThread)
        return;
    Settings *settings = apiThread->settings();
    if (!settings || settings->apiToken().isEmpty())
        return;
    const QSharedPointer<FrameInfo> latest = cameraThread->latestFrame();
    // Queued calls pile up when the builder falls behind; they find the frame seen already.
    if (!latest || latest == frame)
        return;
    processFrame(latest);
}
