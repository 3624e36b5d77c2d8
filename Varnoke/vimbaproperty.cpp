#include "vimbaproperty.h"

#include "vimbaexception.h"

#include <QDebug>

#include <type_traits>

template <typename T>
VimbaProperty<T>::VimbaProperty(VmbCPP::FeaturePtr feature, bool logScale,
                                std::optional<T> lowerBound, std::optional<T> upperBound,
                                std::optional<std::function<bool()>> activePredicate,
                                std::optional<std::function<void()>> beforeAccess)
    : m_feature(std::move(feature))
    , m_min(T(0))
    , m_max(T(1))
    , m_step(T(1))
    , m_logScale(logScale)
    , m_activePredicate(activePredicate ? std::move(*activePredicate)
                                        : std::function<bool()>([] { return true; }))
    , m_beforeAccess(beforeAccess ? std::move(*beforeAccess) : std::function<void()>([] {})) {
    if constexpr (!std::is_same_v<T, bool>) {
        // A failed range query keeps the start values.
        m_feature->GetRange(m_min, m_max);
    }
    if constexpr (std::is_same_v<T, double>)
        m_step = 0.01;
    if (lowerBound && *lowerBound > m_min)
        m_min = *lowerBound;
    if (upperBound && *upperBound < m_max)
        m_max = *upperBound;
}

template <typename T>
QVariant VimbaProperty<T>::value() {
    m_beforeAccess();
    T value{};
    checkVmb(m_feature->GetValue(value), "m_feature->GetValue(value) failed");
    return QVariant::fromValue(value);
}

template <typename T>
common::PropertyType VimbaProperty<T>::type() {
    if constexpr (std::is_same_v<T, long long>)
        return common::Integer;
    else if constexpr (std::is_same_v<T, double>)
        return common::Real;
    else
        return common::Boolean;
}

template <typename T>
void VimbaProperty<T>::setValue(QVariant value) {
    m_beforeAccess();
    T converted{};
    if (value.metaType() == QMetaType::fromType<T>()) {
        converted = value.value<T>();
    } else if (value.convert(QMetaType::fromType<T>())) {
        converted = value.value<T>();
    }
    // A rejected write is not reported: the next poll shows the value the camera kept.
    m_feature->SetValue(converted);
}

template class VimbaProperty<long long>;
template class VimbaProperty<double>;
template class VimbaProperty<bool>;

VimbaEnumProperty::VimbaEnumProperty(std::vector<VmbCPP::FeaturePtr> features,
                                     QVariant scanningValue)
    : m_features(std::move(features))
    , m_scanningValue(std::move(scanningValue)) {
    const VmbCPP::FeaturePtr &feat = m_features.at(0);
    VmbCPP::EnumEntryVector entries;
    checkVmb(feat->GetEntries(entries), "feat->GetEntries(entries) failed");
    qDebug() << "Entries size:" << entries.size();
    for (const auto &entry : entries) {
        std::string displayName, name;
        if (entry.GetDisplayName(displayName) != VmbErrorSuccess ||
            entry.GetName(name) != VmbErrorSuccess)
            continue;
        common::PropertyEnumOption option;
        option.displayName = QString::fromStdString(displayName);
        option.value = QVariant(QString::fromStdString(name));
        m_options.append(option);
    }
    VmbInt64_t value = 0;
    checkVmb(feat->GetValue(value), "feat->GetValue(value) failed");
    for (size_t i = 1; i < m_features.size(); ++i)
        checkVmb(m_features[i]->SetValue(value), "features[i]->SetValue(value) failed");
}

QVariant VimbaEnumProperty::value() {
    std::string value;
    checkVmb(m_features[0]->GetValue(value), "m_features[0]->GetValue(value) failed");
    return QVariant(QString::fromStdString(value));
}

void VimbaEnumProperty::setValue(QVariant value) {
    const std::string strValue = value.toString().toStdString();
    qDebug() << "Set value" << strValue.c_str();
    for (const auto &feat : m_features)
        checkVmb(feat->SetValue(strValue.c_str()), "feat->SetValue(strValue.c_str()) failed");
}

QSharedPointer<common::CameraPropertyBackend>
makePropertyByType(const VmbCPP::FeaturePtr &feature) {
    VmbFeatureDataType type = VmbFeatureDataUnknown;
    checkVmb(feature->GetDataType(type), "feature->GetDataType(type) failed");
    qDebug() << "data type" << int(type);
    switch (int(type)) {
    case 1:
        return QSharedPointer<VimbaProperty<long long>>::create(feature, false);
    case 2:
        return QSharedPointer<VimbaProperty<double>>::create(feature, false);
    case 3:
        return QSharedPointer<VimbaEnumProperty>::create(std::vector<VmbCPP::FeaturePtr>{feature});
    case 5:
        return QSharedPointer<VimbaProperty<bool>>::create(feature, false);
    default:
        return nullptr;
    }
}
