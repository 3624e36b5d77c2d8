#pragma once

#include "camera/camerathread.h"
#include "mosaic/bigbuilderthread.h"
#include "mosaic/smallbuilderthread.h"
#include "program/scankeeper.h"
#include "service/apithread.h"

#include <QStringList>

#include <optional>

class Settings;

// The program's four facades and the links between them, created in this order: the camera,
// the service client, the full-resolution builder and the live builder. The live builder takes
// the camera's frames while someone is logged in (the settings hold a log-in token) and hands
// the cells to keep to the full-resolution builder; a new scan of the service starts a builder,
// its files go to the service for upload, and the scan keeper records what the service confirms
// in the scan's folder, which lasts until the scan is saved or discarded. On construction the
// scans that earlier runs left in the scans folder are taken up (ScanKeeper). The entry
// function, the end-to-end test and the report all compose the program through this one class.
class Facades {
public:
    struct Options {
        ApiThread::Intervals serviceIntervals = {};
        // The camera plug-ins to load; the default ones when unset.
        std::optional<QStringList> cameraPlugins = std::nullopt;
        // Where the scans are kept; "scans" in the application's local data location when
        // unset.
        std::optional<QString> scansFolder = std::nullopt;
        // How the full-resolution builder learns the free space; the file system's when empty.
        scanfolder::FreeSpaceProbe freeSpace = {};
    };

    // "scans" in the application's local data location.
    static QString defaultScansFolder();

    explicit Facades(Settings *settings);
    Facades(Settings *settings, const Options &options);
    // Stops the facades if stop() was not called.
    ~Facades();

    // Stops the facades' threads in a fixed order: the live builder, the full-resolution
    // builder, the service client, the camera.
    void stop();

    // Declared in the order of creation, which the links rely on (callers that bind them in one
    // line name all six).
    CameraThread camera;
    ApiThread api;
    BigBuilderThread bigBuilder;
    SmallBuilderThread smallBuilder;
    ScanKeeper scans;
    // The scans taken up from earlier runs, by container ID.
    QStringList recovered;
};
