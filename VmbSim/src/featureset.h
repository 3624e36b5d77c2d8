#pragma once

// The features of one simulated camera: names, display names, data types, ranges, entries
// and current values, behind one lock shared by the host's calls and the acquisition thread.

#include "simconfig.h"

#include <VmbC/VmbCommonTypes.h>

#include <array>
#include <mutex>
#include <string>
#include <vector>

namespace vmbsim {

struct EntryData {
    std::string name;
    std::string displayName;
    long long value = 0;
};

struct FeatureData {
    std::string name;
    std::string displayName;
    VmbFeatureDataType type = VmbFeatureDataInt;
    double number = 0; // integer, float, bool, and the entry index of an enumeration
    std::string text;  // string features
    double min = 0, max = 0;
    long long increment = 1;
    std::vector<EntryData> entries;
    bool writable = true;
    bool lockedWhileAcquiring = false; // image size cannot change under a running acquisition
};

class FeatureSet {
public:
    // The standard features of a simulated camera, minus the missing ones, with the
    // configured overrides applied. Throws ConfigError for an override that makes no sense.
    explicit FeatureSet(const CameraConfig &config);

    int indexOf(const std::string &name) const;
    const FeatureData &data(int index) const { return m_features[size_t(index)]; }
    int size() const { return int(m_features.size()); }

    VmbErrorType getInt(int index, long long &value);
    VmbErrorType getFloat(int index, double &value);
    VmbErrorType getBool(int index, bool &value);
    VmbErrorType getString(int index, std::string &value);
    VmbErrorType setInt(int index, long long value);
    VmbErrorType setFloat(int index, double value);
    VmbErrorType setBool(int index, bool value);
    VmbErrorType setString(int index, const char *value);
    VmbErrorType getIntRange(int index, long long &min, long long &max);
    VmbErrorType getFloatRange(int index, double &min, double &max);
    VmbErrorType getIncrement(int index, long long &increment);
    VmbErrorType getEntries(int index, std::vector<EntryData> &entries);

    // For the simulation: numeric value (fallback when missing or not numeric), the selected
    // entry name ("Off" when missing), and writes that bypass access rules.
    double number(const std::string &name, double fallback) const;
    std::string entry(const std::string &name) const;
    void setNumber(const std::string &name, double value);
    void setEntry(const std::string &name, const std::string &entryName);
    double numberMin(const std::string &name, double fallback) const;
    double numberMax(const std::string &name, double fallback) const;
    std::array<double, 3> balance() const;
    void setBalance(const std::array<double, 3> &ratios);

    void setAcquiring(bool acquiring);

private:
    VmbErrorType checkWrite(int index) const;
    int balanceIndex() const;

    mutable std::mutex m_mutex;
    std::vector<FeatureData> m_features;
    std::array<double, 3> m_balance{1, 1, 1};
    bool m_acquiring = false;
};

} // namespace vmbsim
