#include "camera/cameramanager.h"
#include "camera/cameraproperty.h"
#include "camera/frameinfo.h"
#include "common/cameraplugin.h"

#include <QList>
#include <QMetaType>

// The camera types travel through queued connections and are read by QML; registering them
// when the library loads makes them usable before any camera object exists.
static void registerCameraTypes() {
    qRegisterMetaType<common::PropertyType>("common::PropertyType");
    // QML reads the kind of a feature as its number.
    QMetaType::registerConverter<common::PropertyType, int>(
        [](common::PropertyType type) { return int(type); });
    qRegisterMetaType<common::PropertyEnumOption>("common::PropertyEnumOption");
    qRegisterMetaType<QList<common::PropertyEnumOption>>();
    qRegisterMetaType<CameraInfo>("CameraInfo");
    qRegisterMetaType<QList<CameraInfo>>();
    qRegisterMetaType<CameraPropertyFrontend *>();
    qRegisterMetaType<QList<CameraPropertyFrontend *>>();
    qRegisterMetaType<QSharedPointer<common::AbstractCamera>>();
    qRegisterMetaType<FrameInfo>("FrameInfo");
}
Q_CONSTRUCTOR_FUNCTION(registerCameraTypes)
