#pragma once

#include "camera/camerathread.h"
#include "mosaic/bigbuilderthread.h"
#include "mosaic/smallbuilderthread.h"
#include "service/apithread.h"

#include <QStringList>

#include <optional>

class Settings;

// The program's four facades and the links between them, created in this order: the camera,
// the service client, the full-resolution builder and the live builder. The live builder takes
// the camera's frames while someone is logged in (the settings hold a log-in token) and hands
// the cells to keep to the full-resolution builder; a new scan of the service starts a builder,
// its files go to the service for upload, and the service's word that a container is wholly
// uploaded lets its builder go. The entry function, the end-to-end test and the report all
// compose the program through this one class.
class Facades {
public:
    struct Options {
        ApiThread::Intervals serviceIntervals;
        // The camera plug-ins to load; the default ones when unset.
        std::optional<QStringList> cameraPlugins;
    };

    explicit Facades(Settings *settings);
    Facades(Settings *settings, const Options &options);
    // Stops the facades if stop() was not called.
    ~Facades();

    // Stops the facades' threads in a fixed order: the live builder, the full-resolution
    // builder, the service client, the camera.
    void stop();

    // Declared in the order of creation, which the links rely on.
    CameraThread camera;
    ApiThread api;
    BigBuilderThread bigBuilder;
    SmallBuilderThread smallBuilder;
};
