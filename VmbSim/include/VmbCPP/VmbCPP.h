#pragma once

// Object interface of the camera SDK stand-in: the system, its cameras, their features and
// frames, and the observer through which acquired frames are delivered. The cameras are
// simulated microscopes configured by the file named in the VMBSIM_CONFIG environment
// variable (see VmbSim/README.md); without it there is one default camera.
//
// Every operation returns a VmbErrorType; VmbErrorSuccess (0) means success.

#include <VmbC/VmbCommonTypes.h>
#include <VmbImageTransform/VmbTransform.h>

#include <memory>
#include <string>
#include <vector>

namespace vmbsim {
class FeatureSet;
class SimCamera;
struct FrameBuffer;
} // namespace vmbsim

namespace VmbCPP {

class Camera;
class Feature;
class Frame;
class IFrameObserver;
class EnumEntry;

using CameraPtr = std::shared_ptr<Camera>;
using FeaturePtr = std::shared_ptr<Feature>;
using FramePtr = std::shared_ptr<Frame>;
using IFrameObserverPtr = std::shared_ptr<IFrameObserver>;
using CameraPtrVector = std::vector<CameraPtr>;
using FeaturePtrVector = std::vector<FeaturePtr>;
using EnumEntryVector = std::vector<EnumEntry>;

enum FrameAllocationMode {
    FrameAllocation_AnnounceFrame = 0,
    FrameAllocation_AllocAndAnnounceFrame = 1,
};

// One choice of an enumeration feature.
class VMBSIM_API EnumEntry {
public:
    EnumEntry() = default;
    EnumEntry(std::string name, std::string displayName, VmbInt64_t value);
    VmbErrorType GetName(std::string &name) const;
    VmbErrorType GetDisplayName(std::string &displayName) const;
    VmbErrorType GetValue(VmbInt64_t &value) const;

private:
    std::string m_name;
    std::string m_displayName;
    VmbInt64_t m_value = 0;
};

// One camera feature. Values are read and written on the camera itself; nothing is cached.
class VMBSIM_API Feature {
public:
    Feature(std::shared_ptr<vmbsim::FeatureSet> set, int index);

    VmbErrorType GetName(std::string &name) const;
    VmbErrorType GetDisplayName(std::string &displayName) const;
    VmbErrorType GetDataType(VmbFeatureDataType &dataType) const;

    VmbErrorType GetValue(VmbInt64_t &value) const;
    VmbErrorType GetValue(double &value) const;
    VmbErrorType GetValue(bool &value) const;
    VmbErrorType GetValue(std::string &value) const;

    VmbErrorType SetValue(VmbInt64_t value);
    VmbErrorType SetValue(double value);
    VmbErrorType SetValue(bool value);
    VmbErrorType SetValue(const char *value);

    VmbErrorType GetRange(VmbInt64_t &minimum, VmbInt64_t &maximum) const;
    VmbErrorType GetRange(double &minimum, double &maximum) const;
    VmbErrorType GetIncrement(VmbInt64_t &increment) const;
    VmbErrorType GetEntries(EnumEntryVector &entries) const;

    VmbErrorType RunCommand();

private:
    std::shared_ptr<vmbsim::FeatureSet> m_set;
    int m_index;
};

// One image buffer of a running acquisition.
class VMBSIM_API Frame {
public:
    explicit Frame(std::shared_ptr<vmbsim::FrameBuffer> buffer);

    VmbErrorType GetImage(VmbUchar_t *&buffer) const;
    VmbErrorType GetBuffer(VmbUchar_t *&buffer) const;
    VmbErrorType GetPixelFormat(VmbPixelFormatType &pixelFormat) const;
    VmbErrorType GetWidth(VmbUint32_t &width) const;
    VmbErrorType GetHeight(VmbUint32_t &height) const;
    VmbErrorType GetFrameID(VmbUint64_t &frameId) const;

    std::shared_ptr<vmbsim::FrameBuffer> buffer() const { return m_buffer; }

private:
    std::shared_ptr<vmbsim::FrameBuffer> m_buffer;
};

// Receives every filled frame of a continuous acquisition, on the SDK's acquisition thread.
class VMBSIM_API IFrameObserver {
public:
    virtual ~IFrameObserver();
    virtual void FrameReceived(const FramePtr frame) = 0;

protected:
    explicit IFrameObserver(CameraPtr camera);
    CameraPtr m_pCamera;
};

class VMBSIM_API Camera {
public:
    explicit Camera(std::shared_ptr<vmbsim::SimCamera> sim);
    ~Camera();

    VmbErrorType Open(VmbAccessModeType accessMode);
    VmbErrorType Close();
    VmbErrorType GetID(std::string &id) const;
    VmbErrorType GetName(std::string &name) const;
    VmbErrorType GetModel(std::string &model) const;
    VmbErrorType GetFeatureByName(const char *name, FeaturePtr &feature);
    VmbErrorType GetFeatures(FeaturePtrVector &features);

    VmbErrorType StartContinuousImageAcquisition(
        int bufferCount, const IFrameObserverPtr &observer,
        FrameAllocationMode allocationMode = FrameAllocation_AnnounceFrame);
    VmbErrorType StopContinuousImageAcquisition();
    VmbErrorType QueueFrame(const FramePtr &frame);
    VmbErrorType FlushQueue();

private:
    std::shared_ptr<vmbsim::SimCamera> m_sim;
};

// The process-wide system object.
class VMBSIM_API VmbSystem {
public:
    static VmbSystem &GetInstance();

    // Reads the configuration and brings up the configured cameras.
    VmbErrorType Startup();
    // Stops every acquisition and forgets the cameras.
    VmbErrorType Shutdown();
    VmbErrorType GetCameras(CameraPtrVector &cameras);
    VmbErrorType GetCameraByID(const char *id, CameraPtr &camera);

    VmbSystem(const VmbSystem &) = delete;
    VmbSystem &operator=(const VmbSystem &) = delete;

private:
    VmbSystem();
    ~VmbSystem();
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace VmbCPP
