#pragma once

#include "common/cameraplugin.h"

#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QVariant>

// One adjustable camera feature on the camera thread: the only object that reads or writes the
// plug-in's backend. It lives in the camera thread and has no parent; the camera manager owns it.
class CameraProperty : public QObject {
    Q_OBJECT
public:
    CameraProperty(const QString &name, QSharedPointer<common::CameraPropertyBackend> backend);

    QString name() const { return m_name; }
    // For the frontend's constructor, which runs in the camera thread.
    common::CameraPropertyBackend *backend() const { return m_backend.data(); }

signals:
    void valueChanged(QVariant value);
    void activeChanged(bool active);

public slots:
    // A user edit: the plug-in may refuse it, which is logged and otherwise ignored.
    void setValue(QVariant value);
    bool updateActive();
    void update();
    // Forces the scanning value (if the feature has one) and remembers the value to restore.
    void beginScanning();
    void endScanning();

private:
    QString m_name;
    QSharedPointer<common::CameraPropertyBackend> m_backend;
    QVariant savedValue;
};

// The GUI-thread mirror of one CameraProperty, as QML shows and edits it. It is linked to its
// CameraProperty only through queued connections, so QML never touches the backend.
class CameraPropertyFrontend : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ name CONSTANT)
    Q_PROPERTY(common::PropertyType type READ type CONSTANT)
    Q_PROPERTY(QVariant value READ value WRITE setValue NOTIFY valueChanged)
    Q_PROPERTY(QVariant min READ min CONSTANT)
    Q_PROPERTY(QVariant max READ max CONSTANT)
    Q_PROPERTY(QVariant step READ step CONSTANT)
    Q_PROPERTY(QList<common::PropertyEnumOption> options READ options CONSTANT)
    Q_PROPERTY(bool logScale READ logScale CONSTANT)
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
public:
    // Runs in the camera thread: reads the constant description and the current state once.
    explicit CameraPropertyFrontend(CameraProperty *property);

    QString name() const { return m_name; }
    common::PropertyType type() const { return m_type; }
    QVariant value() const { return m_value; }
    QVariant min() const { return m_min; }
    QVariant max() const { return m_max; }
    QVariant step() const { return m_step; }
    bool active() const { return m_active; }
    bool logScale() const { return m_logScale; }
    QList<common::PropertyEnumOption> options() const { return m_options; }

signals:
    void valueChanged(QVariant value);
    void activeChanged(bool active);

public slots:
    void setValue(QVariant value);
    void setActive(bool active);

private:
    QString m_name;
    common::PropertyType m_type;
    QVariant m_value;
    QVariant m_min;
    QVariant m_max;
    QVariant m_step;
    bool m_active;
    bool m_logScale;
    QList<common::PropertyEnumOption> m_options;
};

Q_DECLARE_METATYPE(CameraPropertyFrontend *)
Q_DECLARE_METATYPE(QList<CameraPropertyFrontend *>)
