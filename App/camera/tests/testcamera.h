#pragma once

// Cameras, features and plug-in settings shared by the camera tests and the test plug-in
// libraries. Both link this one library, so a plug-in loaded by name sees the configuration the
// test wrote and records into the same journal.

#include "common/cameraplugin.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <opencv2/core.hpp>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace testcamera {

// What happened, in order, across the plug-ins and their objects ("Alpha initialize",
// "Alpha/a1 start", "Alpha/a1 destroyed", ...).
class Journal {
public:
    static void add(const std::string &entry);
    static std::vector<std::string> entries();
    static void clear();
};

// One feature of a fake camera. Records every write; can refuse writes.
class FakeBackend : public common::CameraPropertyBackend {
public:
    struct Spec {
        common::PropertyType type = common::Integer;
        QVariant value;
        // When set, the backend overrides the descriptive operations with these values;
        // otherwise it keeps the contract's defaults.
        bool describe = false;
        QVariant min, max, step;
        bool logScale = false;
        QList<common::PropertyEnumOption> options;
        QVariant scanningValue;
        // A write of a value equal to this one throws std::runtime_error.
        QVariant rejectedValue;
    };

    explicit FakeBackend(Spec spec);
    ~FakeBackend() override;

    QVariant value() override;
    common::PropertyType type() override { return spec.type; }
    QVariant min() override;
    QVariant max() override;
    QVariant step() override;
    bool logScale() override;
    QList<common::PropertyEnumOption> options() override;
    void setValue(QVariant value) override;
    bool active() override { return activeNow.load(); }
    QVariant scanningValue() override;

    // Test side: what the camera holds and reports.
    void setActive(bool active) { activeNow.store(active); }
    void setCurrentValue(const QVariant &value);
    QList<QVariant> writes() const;
    int valueReads() const { return reads.load(); }

private:
    Spec spec;
    mutable std::mutex mutex;
    QVariant current;
    QList<QVariant> written;
    std::atomic_bool activeNow{true};
    std::atomic_int reads{0};
};

// A fake camera delivering uniform frames whose grey level alternates between 0 and 255, so
// that consecutive frames differ as much as they can.
class FakeCamera : public common::AbstractCamera {
public:
    struct Spec {
        std::string plugin; // journal prefix
        std::string id;
        std::string name;
        cv::Size size{640, 480};
        // Size of the delivered frames; empty means the reported size.
        cv::Size frameSize;
        bool startThrows = false;
        // size() throws from this call on (counting from 1); 0 never.
        int sizeThrowsFromCall = 0;
        std::vector<std::pair<QString, FakeBackend::Spec>> properties;
    };

    explicit FakeCamera(Spec spec);
    ~FakeCamera() override;

    cv::Mat frame() override;
    cv::Size size() override;
    std::string id() override { return spec.id; }
    std::string name() override { return spec.name; }
    void start() override;
    void stop() override;
    std::vector<std::pair<QString, QSharedPointer<common::CameraPropertyBackend>>>
    properties() override;

    // Test side; safe while the camera thread uses the camera.
    void setSize(cv::Size size, cv::Size frameSize = {});
    // A frame to deliver instead of the alternating ones (empty: back to those).
    void setFrame(const cv::Mat &frame);
    int frameCalls() const { return frames.load(); }
    int sizeCalls() const { return sizes.load(); }
    // The backends made by the last properties() call that are still alive, in order.
    std::vector<QSharedPointer<FakeBackend>> backends() const;

private:
    std::string label() const { return spec.plugin + "/" + spec.id; }

    Spec spec;
    mutable std::mutex mutex;
    cv::Mat fixedFrame;
    // Weak: only the host may keep a camera's features alive.
    std::vector<QWeakPointer<FakeBackend>> made;
    std::atomic_int frames{0};
    std::atomic_int sizes{0};
};

// How the test plug-in library with this name behaves.
struct PluginConfig {
    std::vector<FakeCamera::Spec> cameras;
    int startupFailures = 0; // startup() throws this many times before it succeeds
};

// Locked access to the configuration of one test plug-in ("Alpha", "Beta").
PluginConfig pluginConfig(const std::string &plugin);
void setPluginConfig(const std::string &plugin, const PluginConfig &config);
// Counts one startup() call and tells whether it has to fail.
bool consumeStartupFailure(const std::string &plugin);
void resetPluginConfigs();

// The cameras the plug-in made in its last cameras() call, for tests that steer them. Held
// weakly: only the host may keep a plug-in's camera alive.
std::vector<QWeakPointer<FakeCamera>> madeCameras(const std::string &plugin);
void recordMadeCameras(const std::string &plugin,
                       const std::vector<QWeakPointer<FakeCamera>> &cameras);

} // namespace testcamera
