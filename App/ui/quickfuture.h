#pragma once

// The QML singleton `Future` (modules "QuickFuture" and "Future", 1.0): lets QML wait on the
// QFutures the program's objects return, read their results, mirror their state into a property
// or turn them into promises of the QuickPromise module.
#include "ui/quickfuturewrapper.h"

#include <QJSValue>
#include <QObject>
#include <QPointer>
#include <QQmlEngine>
#include <QVariant>

namespace QuickFuture {

class Future : public QObject {
    Q_OBJECT
public:
    explicit Future(QObject *parent = nullptr);

    QQmlEngine *engine() const { return m_engine; }
    void setEngine(QQmlEngine *engine) { m_engine = engine; }

    // The JavaScript wrapper of the object whose create(future) makes a promise, or undefined.
    QJSValue promiseCreator;

    // Registers the adaptor under the meta-type ID of a QFuture type; the registry owns it.
    // A second adaptor for the same ID is refused with a warning and deleted.
    static void registerType(int typeId, VariantWrapperBase *wrapper);
    static VariantWrapperBase *wrapper(int typeId);

public slots:
    bool isFinished(const QVariant &future);
    bool isRunning(const QVariant &future);
    bool isCanceled(const QVariant &future);
    int progressValue(const QVariant &future);
    int progressMinimum(const QVariant &future);
    int progressMaximum(const QVariant &future);
    void onFinished(const QVariant &future, const QJSValue &func);
    void onCanceled(const QVariant &future, const QJSValue &func);
    void onProgressValueChanged(const QVariant &future, const QJSValue &func);
    QVariant result(const QVariant &future);
    QVariant results(const QVariant &future);
    QJSValue promise(const QJSValue &future);
    void sync(const QVariant &future, const QString &propertyInFuture, QObject *target,
              const QString &propertyInTarget);
    void sync(const QVariant &future, const QString &propertyInFuture, QObject *target);

private:
    QPointer<QQmlEngine> m_engine;
};

// Makes futures of result type T usable from QML. Call before the QML engine starts.
template <typename T>
void registerType() {
    Future::registerType(QMetaType::fromType<QFuture<T>>().id(), new VariantWrapper<T>());
}

} // namespace QuickFuture
