#include "program/facades.h"

#include "camera/cameramanager.h"
#include "service/scan.h"
#include "shell/settings.h"

Facades::Facades(Settings *settings)
    : Facades(settings, Options{}) {}

Facades::Facades(Settings *settings, const Options &options)
    : camera(settings, options.cameraPlugins.value_or(CameraManager::defaultPluginNames()))
    , api(settings, options.serviceIntervals)
    , bigBuilder()
    // The token is read from the store on every frame, in the live builder's thread (the
    // settings allow that).
    , smallBuilder(
          &camera, [settings] { return !settings->apiToken().isEmpty(); }, &bigBuilder) {
    QObject::connect(&api, &ApiThread::uploadFinished, &bigBuilder,
                     &BigBuilderThread::removeScan);
    QObject::connect(
        &api, &ApiThread::currentScanChanged, &bigBuilder,
        [this](Scan *scan) {
            if (scan)
                bigBuilder.start(scan->containerId());
        },
        Qt::DirectConnection);
    QObject::connect(
        &bigBuilder, &BigBuilderThread::uploadRequested, &api,
        [this](QString containerID, QString containerPath, QString filePath, bool finish) {
            api.uploadFile(containerID, containerPath, filePath, finish);
        });
}

Facades::~Facades() {
    stop();
}

void Facades::stop() {
    smallBuilder.stop();
    bigBuilder.stop();
    api.stop();
    camera.stop();
}
