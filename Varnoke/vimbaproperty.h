#pragma once

// Camera features of the vendor SDK as properties of the plug-in contract.

#include "common/cameraplugin.h"

#include <VmbCPP/VmbCPP.h>

#include <functional>
#include <optional>
#include <vector>

// A numeric or boolean feature (T = long long, double or bool).
template <typename T>
class VimbaProperty : public common::CameraPropertyBackend {
public:
    VimbaProperty(VmbCPP::FeaturePtr feature, bool logScale, std::optional<T> lowerBound = {},
                  std::optional<T> upperBound = {},
                  std::optional<std::function<bool()>> activePredicate = {},
                  std::optional<std::function<void()>> beforeAccess = {});

    QVariant value() override;
    common::PropertyType type() override;
    QVariant min() override { return QVariant::fromValue(m_min); }
    QVariant max() override { return QVariant::fromValue(m_max); }
    QVariant step() override { return QVariant::fromValue(m_step); }
    bool logScale() override { return m_logScale; }
    void setValue(QVariant value) override;
    bool active() override { return m_activePredicate(); }

    // The SDK feature, for reads that must not run the hook (the camera's image size).
    const VmbCPP::FeaturePtr &feature() const { return m_feature; }

private:
    VmbCPP::FeaturePtr m_feature;
    T m_min;
    T m_max;
    T m_step;
    bool m_logScale;
    std::function<bool()> m_activePredicate;
    std::function<void()> m_beforeAccess;
};

extern template class VimbaProperty<long long>;
extern template class VimbaProperty<double>;
extern template class VimbaProperty<bool>;

// An enumeration feature; over several features it shows the first and writes all of them
// (automatic gain follows automatic exposure this way).
class VimbaEnumProperty : public common::CameraPropertyBackend {
public:
    VimbaEnumProperty(std::vector<VmbCPP::FeaturePtr> features, QVariant scanningValue = {});

    QVariant value() override;
    common::PropertyType type() override { return common::Enumeration; }
    QList<common::PropertyEnumOption> options() override { return m_options; }
    void setValue(QVariant value) override;
    QVariant scanningValue() override { return m_scanningValue; }

private:
    std::vector<VmbCPP::FeaturePtr> m_features;
    QList<common::PropertyEnumOption> m_options;
    QVariant m_scanningValue;
};

// The property class that fits the feature's data type, or null for types the host cannot
// edit (string, command, raw and the rest).
QSharedPointer<common::CameraPropertyBackend> makePropertyByType(const VmbCPP::FeaturePtr &feature);
