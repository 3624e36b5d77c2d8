#include "featureset.h"

#include <algorithm>
#include <cmath>

namespace vmbsim {

namespace {

std::vector<EntryData> autoEntries() {
    return {{"Off", "Off", 0}, {"Once", "Once", 1}, {"Continuous", "Continuous", 2}};
}

FeatureData intFeature(std::string name, std::string display, double value, double min, double max,
                       long long increment) {
    FeatureData f;
    f.name = std::move(name);
    f.displayName = std::move(display);
    f.type = VmbFeatureDataInt;
    f.number = value;
    f.min = min;
    f.max = max;
    f.increment = increment;
    return f;
}

FeatureData floatFeature(std::string name, std::string display, double value, double min,
                         double max) {
    FeatureData f = intFeature(std::move(name), std::move(display), value, min, max, 1);
    f.type = VmbFeatureDataFloat;
    return f;
}

FeatureData enumFeature(std::string name, std::string display, std::vector<EntryData> entries,
                        int selected) {
    FeatureData f;
    f.name = std::move(name);
    f.displayName = std::move(display);
    f.type = VmbFeatureDataEnum;
    f.entries = std::move(entries);
    f.number = selected;
    return f;
}

} // namespace

FeatureSet::FeatureSet(const CameraConfig &config) {
    const double sensorW = config.widthPx, sensorH = config.heightPx;
    std::vector<FeatureData> all;
    FeatureData width = intFeature("Width", "Width", sensorW, 64, sensorW, 2);
    width.lockedWhileAcquiring = true;
    FeatureData height = intFeature("Height", "Height", sensorH, 64, sensorH, 2);
    height.lockedWhileAcquiring = true;
    all.push_back(width);
    all.push_back(height);
    all.push_back(floatFeature("ExposureTime", "Exposure Time", 10000.0, 20.0, 1000000.0));
    all.push_back(floatFeature("Gain", "Gain", 0.0, 0.0, 24.0));
    all.push_back(floatFeature("Gamma", "Gamma", 1.0, 0.4, 2.4));
    all.push_back(enumFeature("ExposureAuto", "Exposure Auto", autoEntries(), 0));
    all.push_back(enumFeature("GainAuto", "Gain Auto", autoEntries(), 0));
    all.push_back(
        floatFeature("AutoTargetBrightness", "Auto Target Brightness", 110.0, 10.0, 240.0));
    all.push_back(enumFeature("BalanceWhiteAuto", "Balance White Auto", autoEntries(), 0));
    all.push_back(enumFeature("BalanceRatioSelector", "Balance Ratio Selector",
                              {{"Red", "Red", 0}, {"Green", "Green", 1}, {"Blue", "Blue", 2}}, 0));
    all.push_back(floatFeature("BalanceRatio", "Balance Ratio", 1.0, 0.25, 4.0));
    FeatureData model;
    model.name = "DeviceModelName";
    model.displayName = "Device Model Name";
    model.type = VmbFeatureDataString;
    model.text = config.model;
    model.writable = false;
    all.push_back(model);
    FeatureData trigger;
    trigger.name = "TriggerSoftware";
    trigger.displayName = "Trigger Software";
    trigger.type = VmbFeatureDataCommand;
    all.push_back(trigger);

    for (auto &f : all) {
        if (std::find(config.missingFeatures.begin(), config.missingFeatures.end(), f.name) ==
            config.missingFeatures.end())
            m_features.push_back(std::move(f));
    }

    for (const FeatureOverride &o : config.features) {
        int index = indexOf(o.name);
        if (index < 0)
            throw ConfigError("feature override for unknown or missing feature \"" + o.name + "\"");
        FeatureData &f = m_features[size_t(index)];
        if (o.type) {
            static const std::pair<const char *, VmbFeatureDataType> types[] = {
                {"int", VmbFeatureDataInt},   {"float", VmbFeatureDataFloat},
                {"enum", VmbFeatureDataEnum}, {"string", VmbFeatureDataString},
                {"bool", VmbFeatureDataBool}, {"command", VmbFeatureDataCommand}};
            for (const auto &[name, type] : types) {
                if (*o.type == name)
                    f.type = type;
            }
            if (f.type == VmbFeatureDataInt)
                f.number = std::round(f.number);
            if (f.type == VmbFeatureDataBool)
                f.number = f.number != 0;
        }
        if (o.displayName)
            f.displayName = *o.displayName;
        if (o.min)
            f.min = *o.min;
        if (o.max)
            f.max = *o.max;
        if (o.increment)
            f.increment = std::max<long long>(1, std::llround(*o.increment));
        if (o.writable)
            f.writable = *o.writable;
        if (!o.entries.empty()) {
            f.entries.clear();
            for (size_t i = 0; i < o.entries.size(); ++i)
                f.entries.push_back({o.entries[i].first, o.entries[i].second, (long long)i});
            f.number = 0;
        }
        if (f.type == VmbFeatureDataEnum && f.entries.empty())
            throw ConfigError("enumeration feature \"" + o.name + "\" needs entries");
        if (o.value)
            f.number = *o.value;
        if (o.stringValue) {
            if (f.type == VmbFeatureDataEnum) {
                auto it = std::find_if(f.entries.begin(), f.entries.end(), [&](const EntryData &e) {
                    return e.name == *o.stringValue;
                });
                if (it == f.entries.end())
                    throw ConfigError("\"" + *o.stringValue + "\" is no entry of \"" + o.name +
                                      "\"");
                f.number = double(it - f.entries.begin());
            } else {
                f.text = *o.stringValue;
            }
        }
        if (f.min > f.max)
            throw ConfigError("feature \"" + o.name + "\" has min above max");
    }
    // Out of the box the balance ratios neutralise the lamp, as a camera's stored user set would.
    m_balance = {1.0 / config.optics.sensorResponse[0], 1.0, 1.0 / config.optics.sensorResponse[2]};
    for (auto &b : m_balance)
        b = std::round(b * 100) / 100;
}

int FeatureSet::indexOf(const std::string &name) const {
    for (size_t i = 0; i < m_features.size(); ++i) {
        if (m_features[i].name == name)
            return int(i);
    }
    return -1;
}

int FeatureSet::balanceIndex() const {
    int selector = indexOf("BalanceRatioSelector");
    if (selector < 0)
        return 0;
    const FeatureData &f = m_features[size_t(selector)];
    if (f.type != VmbFeatureDataEnum || f.entries.empty())
        return 0;
    const std::string &name = f.entries[size_t(f.number)].name;
    return name == "Green" ? 1 : (name == "Blue" ? 2 : 0);
}

VmbErrorType FeatureSet::checkWrite(int index) const {
    const FeatureData &f = m_features[size_t(index)];
    if (!f.writable || (f.lockedWhileAcquiring && m_acquiring))
        return VmbErrorInvalidAccess;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::getInt(int index, long long &value) {
    std::lock_guard lock(m_mutex);
    const FeatureData &f = m_features[size_t(index)];
    if (f.type == VmbFeatureDataInt)
        value = (long long)f.number;
    else if (f.type == VmbFeatureDataEnum)
        value = f.entries[size_t(f.number)].value;
    else
        return VmbErrorWrongType;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::getFloat(int index, double &value) {
    std::lock_guard lock(m_mutex);
    const FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataFloat)
        return VmbErrorWrongType;
    value = f.name == "BalanceRatio" ? m_balance[size_t(balanceIndex())] : f.number;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::getBool(int index, bool &value) {
    std::lock_guard lock(m_mutex);
    const FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataBool)
        return VmbErrorWrongType;
    value = f.number != 0;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::getString(int index, std::string &value) {
    std::lock_guard lock(m_mutex);
    const FeatureData &f = m_features[size_t(index)];
    if (f.type == VmbFeatureDataEnum)
        value = f.entries[size_t(f.number)].name;
    else if (f.type == VmbFeatureDataString)
        value = f.text;
    else
        return VmbErrorWrongType;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::setInt(int index, long long value) {
    std::lock_guard lock(m_mutex);
    FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataInt && f.type != VmbFeatureDataEnum)
        return VmbErrorWrongType;
    if (VmbErrorType e = checkWrite(index))
        return e;
    if (f.type == VmbFeatureDataEnum) {
        for (size_t i = 0; i < f.entries.size(); ++i) {
            if (f.entries[i].value == value) {
                f.number = double(i);
                return VmbErrorSuccess;
            }
        }
        return VmbErrorInvalidValue;
    }
    if (value < f.min || value > f.max || (value - (long long)f.min) % f.increment != 0)
        return VmbErrorInvalidValue;
    f.number = double(value);
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::setFloat(int index, double value) {
    std::lock_guard lock(m_mutex);
    FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataFloat)
        return VmbErrorWrongType;
    if (VmbErrorType e = checkWrite(index))
        return e;
    if (!std::isfinite(value) || value < f.min || value > f.max)
        return VmbErrorInvalidValue;
    if (f.name == "BalanceRatio")
        m_balance[size_t(balanceIndex())] = value;
    else
        f.number = value;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::setBool(int index, bool value) {
    std::lock_guard lock(m_mutex);
    FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataBool)
        return VmbErrorWrongType;
    if (VmbErrorType e = checkWrite(index))
        return e;
    f.number = value ? 1 : 0;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::setString(int index, const char *value) {
    if (!value)
        return VmbErrorBadParameter;
    std::lock_guard lock(m_mutex);
    FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataEnum && f.type != VmbFeatureDataString)
        return VmbErrorWrongType;
    if (VmbErrorType e = checkWrite(index))
        return e;
    if (f.type == VmbFeatureDataString) {
        f.text = value;
        return VmbErrorSuccess;
    }
    for (size_t i = 0; i < f.entries.size(); ++i) {
        if (f.entries[i].name == value) {
            f.number = double(i);
            return VmbErrorSuccess;
        }
    }
    return VmbErrorInvalidValue;
}

VmbErrorType FeatureSet::getIntRange(int index, long long &min, long long &max) {
    std::lock_guard lock(m_mutex);
    const FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataInt)
        return VmbErrorWrongType;
    min = (long long)f.min;
    max = (long long)f.max;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::getFloatRange(int index, double &min, double &max) {
    std::lock_guard lock(m_mutex);
    const FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataFloat)
        return VmbErrorWrongType;
    min = f.min;
    max = f.max;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::getIncrement(int index, long long &increment) {
    std::lock_guard lock(m_mutex);
    const FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataInt)
        return VmbErrorWrongType;
    increment = f.increment;
    return VmbErrorSuccess;
}

VmbErrorType FeatureSet::getEntries(int index, std::vector<EntryData> &entries) {
    std::lock_guard lock(m_mutex);
    const FeatureData &f = m_features[size_t(index)];
    if (f.type != VmbFeatureDataEnum)
        return VmbErrorWrongType;
    entries = f.entries;
    return VmbErrorSuccess;
}

double FeatureSet::number(const std::string &name, double fallback) const {
    std::lock_guard lock(m_mutex);
    int i = indexOf(name);
    if (i < 0)
        return fallback;
    const FeatureData &f = m_features[size_t(i)];
    if (f.type != VmbFeatureDataInt && f.type != VmbFeatureDataFloat &&
        f.type != VmbFeatureDataBool)
        return fallback;
    return f.number;
}

double FeatureSet::numberMin(const std::string &name, double fallback) const {
    std::lock_guard lock(m_mutex);
    int i = indexOf(name);
    return i < 0 ? fallback : m_features[size_t(i)].min;
}

double FeatureSet::numberMax(const std::string &name, double fallback) const {
    std::lock_guard lock(m_mutex);
    int i = indexOf(name);
    return i < 0 ? fallback : m_features[size_t(i)].max;
}

std::string FeatureSet::entry(const std::string &name) const {
    std::lock_guard lock(m_mutex);
    int i = indexOf(name);
    if (i < 0 || m_features[size_t(i)].type != VmbFeatureDataEnum)
        return "Off";
    const FeatureData &f = m_features[size_t(i)];
    return f.entries[size_t(f.number)].name;
}

void FeatureSet::setNumber(const std::string &name, double value) {
    std::lock_guard lock(m_mutex);
    int i = indexOf(name);
    if (i < 0)
        return;
    FeatureData &f = m_features[size_t(i)];
    f.number = std::clamp(value, f.min, f.max);
    if (f.type == VmbFeatureDataInt)
        f.number = std::round(f.number);
}

void FeatureSet::setEntry(const std::string &name, const std::string &entryName) {
    std::lock_guard lock(m_mutex);
    int i = indexOf(name);
    if (i < 0 || m_features[size_t(i)].type != VmbFeatureDataEnum)
        return;
    FeatureData &f = m_features[size_t(i)];
    for (size_t k = 0; k < f.entries.size(); ++k) {
        if (f.entries[k].name == entryName)
            f.number = double(k);
    }
}

std::array<double, 3> FeatureSet::balance() const {
    std::lock_guard lock(m_mutex);
    return m_balance;
}

void FeatureSet::setBalance(const std::array<double, 3> &ratios) {
    std::lock_guard lock(m_mutex);
    int i = indexOf("BalanceRatio");
    for (size_t c = 0; c < 3; ++c)
        m_balance[c] =
            i < 0 ? ratios[c]
                  : std::clamp(ratios[c], m_features[size_t(i)].min, m_features[size_t(i)].max);
}

void FeatureSet::setAcquiring(bool acquiring) {
    std::lock_guard lock(m_mutex);
    m_acquiring = acquiring;
}

} // namespace vmbsim
