#include "program/facades.h"

#include "camera/cameramanager.h"
#include "service/scan.h"
#include "shell/settings.h"

#include <QStandardPaths>

namespace {

BigBuilderThread::Options builderOptions(const Facades::Options &options) {
    BigBuilderThread::Options builder;
    builder.scansFolder = options.scansFolder.value_or(Facades::defaultScansFolder());
    builder.freeSpace = options.freeSpace;
    return builder;
}

} // namespace

QString Facades::defaultScansFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/scans");
}

Facades::Facades(Settings *settings)
    : Facades(settings, Options{}) {}

Facades::Facades(Settings *settings, const Options &options)
    : camera(settings, options.cameraPlugins.value_or(CameraManager::defaultPluginNames()))
    , api(settings, options.serviceIntervals)
    , bigBuilder(builderOptions(options))
    // The token is read from the store on every frame, in the live builder's thread (the
    // settings allow that).
    , smallBuilder(
          &camera, [settings] { return !settings->apiToken().isEmpty(); }, &bigBuilder)
    , scans(&api, &bigBuilder, settings) {
    recovered = scans.recover();
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
