#include "camera/cameraproperty.h"

#include <QDebug>

#include <exception>
#include <utility>

CameraProperty::CameraProperty(const QString &name,
                               QSharedPointer<common::CameraPropertyBackend> backend)
    : QObject(nullptr)
    , m_name(name)
    , m_backend(std::move(backend)) {}

void CameraProperty::setValue(QVariant value) {
    try {
        m_backend->setValue(value);
    } catch (const std::exception &e) {
        qDebug() << "Failed to set property. Error:" << e.what();
    }
}

bool CameraProperty::updateActive() {
    const bool active = m_backend->active();
    emit activeChanged(active);
    return active;
}

void CameraProperty::update() {
    emit valueChanged(m_backend->value());
}

void CameraProperty::beginScanning() {
    const QVariant scanningValue = m_backend->scanningValue();
    if (scanningValue.isNull()) {
        savedValue = QVariant();
        return;
    }
    savedValue = m_backend->value();
    m_backend->setValue(scanningValue);
}

void CameraProperty::endScanning() {
    if (savedValue.isNull())
        return;
    m_backend->setValue(savedValue);
}

CameraPropertyFrontend::CameraPropertyFrontend(CameraProperty *property)
    : QObject(nullptr)
    , m_name(property->name()) {
    common::CameraPropertyBackend *backend = property->backend();
    m_type = backend->type();
    m_min = backend->min();
    m_max = backend->max();
    m_step = backend->step();
    m_value = backend->value();
    m_active = backend->active();
    m_logScale = backend->logScale();
    m_options = backend->options();
    qDebug() << m_name << m_min << m_max << m_step << m_value;

    connect(this, &CameraPropertyFrontend::valueChanged, property, &CameraProperty::setValue);
    connect(property, &CameraProperty::valueChanged, this, &CameraPropertyFrontend::setValue);
    connect(property, &CameraProperty::activeChanged, this, &CameraPropertyFrontend::setActive);
}

void CameraPropertyFrontend::setValue(QVariant value) {
    if (value == m_value)
        return;
    m_value = value;
    emit valueChanged(value);
}

void CameraPropertyFrontend::setActive(bool active) {
    if (active == m_active)
        return;
    m_active = active;
    emit activeChanged(active);
}
