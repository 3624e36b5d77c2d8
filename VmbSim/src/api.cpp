// The object interface of the SDK stand-in, on top of the simulated cameras.

#include "featureset.h"
#include "simcamera.h"
#include "simconfig.h"

#include <VmbCPP/VmbCPP.h>

#include <cstdio>
#include <mutex>

namespace VmbCPP {

// --- EnumEntry ---------------------------------------------------------------------------

EnumEntry::EnumEntry(std::string name, std::string displayName, VmbInt64_t value)
    : m_name(std::move(name))
    , m_displayName(std::move(displayName))
    , m_value(value) {}

VmbErrorType EnumEntry::GetName(std::string &name) const {
    if (m_name.empty())
        return VmbErrorBadHandle;
    name = m_name;
    return VmbErrorSuccess;
}

VmbErrorType EnumEntry::GetDisplayName(std::string &displayName) const {
    if (m_name.empty())
        return VmbErrorBadHandle;
    displayName = m_displayName;
    return VmbErrorSuccess;
}

VmbErrorType EnumEntry::GetValue(VmbInt64_t &value) const {
    if (m_name.empty())
        return VmbErrorBadHandle;
    value = m_value;
    return VmbErrorSuccess;
}

// --- Feature -----------------------------------------------------------------------------

Feature::Feature(std::shared_ptr<vmbsim::FeatureSet> set, int index)
    : m_set(std::move(set))
    , m_index(index) {}

VmbErrorType Feature::GetName(std::string &name) const {
    name = m_set->data(m_index).name;
    return VmbErrorSuccess;
}

VmbErrorType Feature::GetDisplayName(std::string &displayName) const {
    displayName = m_set->data(m_index).displayName;
    return VmbErrorSuccess;
}

VmbErrorType Feature::GetDataType(VmbFeatureDataType &dataType) const {
    dataType = m_set->data(m_index).type;
    return VmbErrorSuccess;
}

VmbErrorType Feature::GetValue(VmbInt64_t &value) const {
    return m_set->getInt(m_index, value);
}

VmbErrorType Feature::GetValue(double &value) const {
    return m_set->getFloat(m_index, value);
}

VmbErrorType Feature::GetValue(bool &value) const {
    return m_set->getBool(m_index, value);
}

VmbErrorType Feature::GetValue(std::string &value) const {
    return m_set->getString(m_index, value);
}

VmbErrorType Feature::SetValue(VmbInt64_t value) {
    return m_set->setInt(m_index, value);
}

VmbErrorType Feature::SetValue(double value) {
    return m_set->setFloat(m_index, value);
}

VmbErrorType Feature::SetValue(bool value) {
    return m_set->setBool(m_index, value);
}

VmbErrorType Feature::SetValue(const char *value) {
    return m_set->setString(m_index, value);
}

VmbErrorType Feature::GetRange(VmbInt64_t &minimum, VmbInt64_t &maximum) const {
    return m_set->getIntRange(m_index, minimum, maximum);
}

VmbErrorType Feature::GetRange(double &minimum, double &maximum) const {
    return m_set->getFloatRange(m_index, minimum, maximum);
}

VmbErrorType Feature::GetIncrement(VmbInt64_t &increment) const {
    return m_set->getIncrement(m_index, increment);
}

VmbErrorType Feature::GetEntries(EnumEntryVector &entries) const {
    std::vector<vmbsim::EntryData> data;
    if (VmbErrorType e = m_set->getEntries(m_index, data))
        return e;
    entries.clear();
    for (const auto &d : data)
        entries.emplace_back(d.name, d.displayName, d.value);
    return VmbErrorSuccess;
}

VmbErrorType Feature::RunCommand() {
    return m_set->data(m_index).type == VmbFeatureDataCommand ? VmbErrorSuccess : VmbErrorWrongType;
}

// --- Frame -------------------------------------------------------------------------------

Frame::Frame(std::shared_ptr<vmbsim::FrameBuffer> buffer)
    : m_buffer(std::move(buffer)) {}

VmbErrorType Frame::GetImage(VmbUchar_t *&buffer) const {
    if (m_buffer->imageFails)
        return VmbErrorIncomplete;
    buffer = m_buffer->pixels.data();
    return VmbErrorSuccess;
}

VmbErrorType Frame::GetBuffer(VmbUchar_t *&buffer) const {
    buffer = m_buffer->pixels.data();
    return VmbErrorSuccess;
}

VmbErrorType Frame::GetPixelFormat(VmbPixelFormatType &pixelFormat) const {
    pixelFormat = m_buffer->pixelFormat;
    return VmbErrorSuccess;
}

VmbErrorType Frame::GetWidth(VmbUint32_t &width) const {
    width = m_buffer->width;
    return VmbErrorSuccess;
}

VmbErrorType Frame::GetHeight(VmbUint32_t &height) const {
    height = m_buffer->height;
    return VmbErrorSuccess;
}

VmbErrorType Frame::GetFrameID(VmbUint64_t &frameId) const {
    frameId = m_buffer->frameId;
    return VmbErrorSuccess;
}

// --- IFrameObserver ----------------------------------------------------------------------

IFrameObserver::IFrameObserver(CameraPtr camera)
    : m_pCamera(std::move(camera)) {}

IFrameObserver::~IFrameObserver() = default;

// --- Camera ------------------------------------------------------------------------------

Camera::Camera(std::shared_ptr<vmbsim::SimCamera> sim)
    : m_sim(std::move(sim)) {}

Camera::~Camera() = default;

VmbErrorType Camera::Open(VmbAccessModeType accessMode) {
    if (accessMode != VmbAccessModeFull && accessMode != VmbAccessModeRead)
        return VmbErrorBadParameter;
    return m_sim->open();
}

VmbErrorType Camera::Close() {
    return m_sim->close();
}

VmbErrorType Camera::GetID(std::string &id) const {
    id = m_sim->config().id;
    return VmbErrorSuccess;
}

VmbErrorType Camera::GetName(std::string &name) const {
    name = m_sim->config().name;
    return VmbErrorSuccess;
}

VmbErrorType Camera::GetModel(std::string &model) const {
    model = m_sim->config().model;
    return VmbErrorSuccess;
}

VmbErrorType Camera::GetFeatureByName(const char *name, FeaturePtr &feature) {
    if (!name)
        return VmbErrorBadParameter;
    if (!m_sim->isOpen())
        return VmbErrorDeviceNotOpen;
    int index = m_sim->features()->indexOf(name);
    if (index < 0)
        return VmbErrorNotFound;
    feature = std::make_shared<Feature>(m_sim->features(), index);
    return VmbErrorSuccess;
}

VmbErrorType Camera::GetFeatures(FeaturePtrVector &features) {
    if (!m_sim->isOpen())
        return VmbErrorDeviceNotOpen;
    features.clear();
    for (int i = 0; i < m_sim->features()->size(); ++i)
        features.push_back(std::make_shared<Feature>(m_sim->features(), i));
    return VmbErrorSuccess;
}

VmbErrorType Camera::StartContinuousImageAcquisition(int bufferCount,
                                                     const IFrameObserverPtr &observer,
                                                     FrameAllocationMode allocationMode) {
    if (allocationMode != FrameAllocation_AnnounceFrame &&
        allocationMode != FrameAllocation_AllocAndAnnounceFrame)
        return VmbErrorBadParameter;
    return m_sim->start(bufferCount, observer);
}

VmbErrorType Camera::StopContinuousImageAcquisition() {
    return m_sim->stop();
}

VmbErrorType Camera::QueueFrame(const FramePtr &frame) {
    return m_sim->queue(frame);
}

VmbErrorType Camera::FlushQueue() {
    return m_sim->flush();
}

// --- VmbSystem ---------------------------------------------------------------------------

struct VmbSystem::Private {
    std::mutex mutex;
    bool started = false;
    CameraPtrVector cameras;
};

VmbSystem::VmbSystem()
    : d(std::make_unique<Private>()) {}

VmbSystem::~VmbSystem() = default;

VmbSystem &VmbSystem::GetInstance() {
    static VmbSystem instance;
    return instance;
}

VmbErrorType VmbSystem::Startup() {
    std::lock_guard lock(d->mutex);
    if (d->started)
        return VmbErrorSuccess;
    vmbsim::SimConfig config;
    try {
        config = vmbsim::loadConfigFromEnvironment();
    } catch (const vmbsim::ConfigError &e) {
        std::fprintf(stderr, "VmbSim: configuration refused: %s\n", e.what());
        return VmbErrorBadParameter;
    }
    if (config.startupError)
        return VmbErrorType(config.startupError);
    CameraPtrVector cameras;
    try {
        for (const auto &c : config.cameras)
            cameras.push_back(std::make_shared<Camera>(std::make_shared<vmbsim::SimCamera>(c)));
    } catch (const vmbsim::ConfigError &e) {
        std::fprintf(stderr, "VmbSim: configuration refused: %s\n", e.what());
        return VmbErrorBadParameter;
    }
    d->cameras = std::move(cameras);
    d->started = true;
    return VmbErrorSuccess;
}

VmbErrorType VmbSystem::Shutdown() {
    CameraPtrVector cameras;
    {
        std::lock_guard lock(d->mutex);
        if (!d->started)
            return VmbErrorApiNotStarted;
        d->started = false;
        cameras.swap(d->cameras);
    }
    // Cameras still held elsewhere stop delivering; their objects stay valid.
    for (auto &camera : cameras)
        camera->StopContinuousImageAcquisition();
    return VmbErrorSuccess;
}

VmbErrorType VmbSystem::GetCameras(CameraPtrVector &cameras) {
    std::lock_guard lock(d->mutex);
    if (!d->started)
        return VmbErrorApiNotStarted;
    cameras = d->cameras;
    return VmbErrorSuccess;
}

VmbErrorType VmbSystem::GetCameraByID(const char *id, CameraPtr &camera) {
    std::lock_guard lock(d->mutex);
    if (!d->started)
        return VmbErrorApiNotStarted;
    if (!id)
        return VmbErrorBadParameter;
    for (const auto &c : d->cameras) {
        std::string cid;
        c->GetID(cid);
        if (cid == id) {
            camera = c;
            return VmbErrorSuccess;
        }
    }
    return VmbErrorNotFound;
}

} // namespace VmbCPP
