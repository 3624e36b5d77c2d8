#include "testcamera.h"

#include <map>
#include <stdexcept>
#include <utility>

namespace testcamera {

namespace {
std::mutex journalMutex;
std::vector<std::string> journal;

std::mutex configMutex;
std::map<std::string, PluginConfig> configs;
std::map<std::string, std::vector<QWeakPointer<FakeCamera>>> made;
} // namespace

void Journal::add(const std::string &entry) {
    std::lock_guard lock(journalMutex);
    journal.push_back(entry);
}

std::vector<std::string> Journal::entries() {
    std::lock_guard lock(journalMutex);
    return journal;
}

void Journal::clear() {
    std::lock_guard lock(journalMutex);
    journal.clear();
}

FakeBackend::FakeBackend(Spec spec)
    : spec(std::move(spec))
    , current(this->spec.value) {}

FakeBackend::~FakeBackend() = default;

QVariant FakeBackend::value() {
    reads.fetch_add(1);
    std::lock_guard lock(mutex);
    return current;
}

QVariant FakeBackend::min() {
    return spec.describe ? spec.min : CameraPropertyBackend::min();
}

QVariant FakeBackend::max() {
    return spec.describe ? spec.max : CameraPropertyBackend::max();
}

QVariant FakeBackend::step() {
    return spec.describe ? spec.step : CameraPropertyBackend::step();
}

bool FakeBackend::logScale() {
    return spec.describe ? spec.logScale : CameraPropertyBackend::logScale();
}

QList<common::PropertyEnumOption> FakeBackend::options() {
    return spec.describe ? spec.options : CameraPropertyBackend::options();
}

QVariant FakeBackend::scanningValue() {
    return spec.describe ? spec.scanningValue : CameraPropertyBackend::scanningValue();
}

void FakeBackend::setValue(QVariant value) {
    std::lock_guard lock(mutex);
    written.append(value);
    if (spec.rejectedValue.isValid() && value == spec.rejectedValue)
        throw std::runtime_error("value out of range");
    current = value;
}

void FakeBackend::setCurrentValue(const QVariant &value) {
    std::lock_guard lock(mutex);
    current = value;
}

QList<QVariant> FakeBackend::writes() const {
    std::lock_guard lock(mutex);
    return written;
}

FakeCamera::FakeCamera(Spec spec)
    : spec(std::move(spec)) {}

FakeCamera::~FakeCamera() {
    Journal::add(label() + " destroyed");
}

cv::Mat FakeCamera::frame() {
    const int call = frames.fetch_add(1);
    std::lock_guard lock(mutex);
    if (!fixedFrame.empty())
        return fixedFrame.clone();
    const cv::Size size = spec.frameSize.empty() ? spec.size : spec.frameSize;
    if (size.empty())
        return {};
    const double level = call % 2 ? 255. : 0.;
    return cv::Mat(size, CV_8UC3, cv::Scalar::all(level));
}

cv::Size FakeCamera::size() {
    const int call = sizes.fetch_add(1) + 1;
    std::lock_guard lock(mutex);
    if (spec.sizeThrowsFromCall > 0 && call >= spec.sizeThrowsFromCall)
        throw std::runtime_error("camera size unavailable");
    return spec.size;
}

void FakeCamera::start() {
    Journal::add(label() + " start");
    if (spec.startThrows)
        throw std::runtime_error("camera busy");
}

void FakeCamera::stop() {
    Journal::add(label() + " stop");
}

std::vector<std::pair<QString, QSharedPointer<common::CameraPropertyBackend>>>
FakeCamera::properties() {
    std::lock_guard lock(mutex);
    made.clear();
    std::vector<std::pair<QString, QSharedPointer<common::CameraPropertyBackend>>> result;
    for (const auto &[name, backendSpec] : spec.properties) {
        auto backend = QSharedPointer<FakeBackend>::create(backendSpec);
        made.push_back(backend);
        result.emplace_back(name, backend);
    }
    return result;
}

void FakeCamera::setSize(cv::Size size, cv::Size frameSize) {
    std::lock_guard lock(mutex);
    spec.size = size;
    spec.frameSize = frameSize;
}

void FakeCamera::setFrame(const cv::Mat &frame) {
    std::lock_guard lock(mutex);
    fixedFrame = frame;
}

std::vector<QSharedPointer<FakeBackend>> FakeCamera::backends() const {
    std::lock_guard lock(mutex);
    std::vector<QSharedPointer<FakeBackend>> alive;
    for (const auto &backend : made)
        if (auto strong = backend.toStrongRef())
            alive.push_back(strong);
    return alive;
}

PluginConfig pluginConfig(const std::string &plugin) {
    std::lock_guard lock(configMutex);
    return configs[plugin];
}

void setPluginConfig(const std::string &plugin, const PluginConfig &config) {
    std::lock_guard lock(configMutex);
    configs[plugin] = config;
}

bool consumeStartupFailure(const std::string &plugin) {
    std::lock_guard lock(configMutex);
    auto &config = configs[plugin];
    if (config.startupFailures <= 0)
        return false;
    --config.startupFailures;
    return true;
}

void resetPluginConfigs() {
    std::lock_guard lock(configMutex);
    configs.clear();
    made.clear();
}

std::vector<QWeakPointer<FakeCamera>> madeCameras(const std::string &plugin) {
    std::lock_guard lock(configMutex);
    return made[plugin];
}

void recordMadeCameras(const std::string &plugin,
                       const std::vector<QWeakPointer<FakeCamera>> &cameras) {
    std::lock_guard lock(configMutex);
    made[plugin] = cameras;
}

} // namespace testcamera
