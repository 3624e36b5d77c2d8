#pragma once

// The camera plug-in contract, compiled into the program and into every camera plug-in.
//
// A plug-in is a shared library that exports, unmangled, two data symbols:
//   `pluginContractVersion`  the version of this contract it was built against (declared below;
//                            the plug-in defines it as common::contractVersion), and
//   `plugin`                 a global object of a class derived from common::CameraPlugin.
// The program reads the version first and refuses a plug-in of any other version without
// touching `plugin`; otherwise it imports `plugin` by name and reaches cameras and their
// adjustable features only through the classes below.
//
// The layout of these classes is part of the binary interface between the program and the
// plug-ins. Never reorder virtual operations, never change a signature, and never add a data
// member; a change that cannot be avoided raises common::contractVersion and gets a line
// below. Host and plug-ins link the same Qt Core and OpenCV shared libraries and are built with
// the same compiler and standard library.
//
// History:
//   1  first version (CameraPlugin, AbstractCamera, CameraPropertyBackend, PropertyType,
//      PropertyEnumOption, CameraInfo).
//   2  the contract has a version: every plug-in exports `pluginContractVersion`, and the
//      program refuses a plug-in without it or of another version. The classes are as in 1.
//
// Every call is made from the program's camera thread. Objects a plug-in creates are handed
// out as QSharedPointers carrying the plug-in's deleter, so they are destroyed by plug-in code.

#include <QList>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>
#include <QVariant>

#include <opencv2/core.hpp>

#include <string>
#include <utility>
#include <vector>

namespace common {

// The version of this contract (see the history above).
inline constexpr int contractVersion = 2;

// Kinds of camera feature: a plain enumeration, registered as the meta type
// "common::PropertyType". The numbers are part of the contract (the QML keeps a copy).
enum PropertyType {
    Integer = 0,     // slider with integer steps
    Real = 1,        // slider, optionally on a logarithmic scale
    Boolean = 2,     // check box
    Trigger = 3,     // button; any write executes the action
    String = 4,      // text field
    Enumeration = 5, // buttons (three options or fewer) or a drop-down list
};

// One choice of an Enumeration feature.
class PropertyEnumOption {
    Q_GADGET
    Q_PROPERTY(QString displayName MEMBER displayName)
    Q_PROPERTY(QVariant value MEMBER value)
public:
    QString displayName; // text shown to the user
    QVariant value;      // value passed to setValue() and reported by value() when selected

    bool operator==(const PropertyEnumOption &other) const {
        return displayName == other.displayName && value == other.value;
    }
};

// One adjustable feature of a camera.
class CameraPropertyBackend {
public:
    // slot 0
    virtual ~CameraPropertyBackend() = default;
    // slot 1: current value: qint64 (Integer), double (Real), bool (Boolean),
    // QString (Enumeration: the selected option's value)
    virtual QVariant value() { return {}; }
    // slot 2: constant for the object's life
    virtual PropertyType type() = 0;
    // slots 3-5: bounds and increment (Integer and Real); constant
    virtual QVariant min() { return QVariant(int(0)); }
    virtual QVariant max() { return QVariant(int(1)); }
    virtual QVariant step() { return QVariant(int(1)); }
    // slot 6: whether the UI moves the value on a logarithmic scale; constant
    virtual bool logScale() { return false; }
    // slot 7: the choices of an Enumeration; constant
    virtual QList<PropertyEnumOption> options() { return {}; }
    // slot 8: keeps the slots after it in place; never called
    virtual bool reserved() { return true; }
    // slot 9: write a value converted from whatever the UI sent; may throw std::exception
    virtual void setValue(QVariant value) = 0;
    // slot 10: whether the feature can be edited now; may change at any time
    virtual bool active() { return true; }
    // slot 11: value to force while a scan is recorded; null means "leave alone"
    virtual QVariant scanningValue() { return {}; }
};

// One camera.
class AbstractCamera {
public:
    // slot 0: newest delivered frame as a new CV_8UC3 matrix in R, G, B order, or an empty
    // matrix when there is none or it cannot be converted. Must not throw.
    virtual cv::Mat frame() = 0;
    // slot 1: current image size in pixels
    virtual cv::Size size() = 0;
    // slot 2: closes the camera
    virtual ~AbstractCamera() = default;
    // slot 3: identifier stable across refreshes and runs (stored in the settings)
    virtual std::string id() = 0;
    // slot 4: human-readable model name
    virtual std::string name() = 0;
    // slot 5: begin continuous acquisition; may throw std::exception
    virtual void start() = 0;
    // slot 6: end continuous acquisition
    virtual void stop() = 0;
    // slot 7: adjustable features with their display names, in display order
    virtual std::vector<std::pair<QString, QSharedPointer<CameraPropertyBackend>>> properties() = 0;
};

// The object a plug-in exports as `plugin`.
class CameraPlugin {
public:
    // slot 0: called once right after the import
    virtual void initialize() {}
    // slot 1: bring up the camera system; called once after all plug-ins have been loaded
    virtual void startup() {}
    // slot 2: release the camera system; called once, after every camera was released
    virtual void shutdown() {}
    // slot 3: the cameras attached now, each ready to start(), in the order offered
    virtual std::vector<QSharedPointer<AbstractCamera>> cameras() = 0;
    // slot 4: never invoked by the host (the object is a global of the plug-in library)
    virtual ~CameraPlugin() = default;
};

} // namespace common

// One discovered camera as the UI sees it.
class CameraInfo {
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id)
    Q_PROPERTY(QString description MEMBER description)
public:
    QString id;          // the camera's id(), decoded from UTF-8
    QString description; // the camera's name(), decoded from UTF-8

    bool operator==(const CameraInfo &other) const {
        return id == other.id && description == other.description;
    }
};

// Every plug-in defines it, at namespace scope, beside `plugin`:
//     const int pluginContractVersion = common::contractVersion;
extern "C" __attribute__((visibility("default"))) const int pluginContractVersion;

Q_DECLARE_METATYPE(common::PropertyType)
Q_DECLARE_METATYPE(common::PropertyEnumOption)
Q_DECLARE_METATYPE(CameraInfo)
