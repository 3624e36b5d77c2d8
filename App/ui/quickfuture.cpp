#include "ui/quickfuture.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QHash>
#include <QQmlComponent>
#include <QSize>
#include <QVariantMap>

namespace QuickFuture {

namespace {

QHash<int, VariantWrapperBase *> &registry() {
    static QHash<int, VariantWrapperBase *> wrappers;
    return wrappers;
}

// Child of the application object: the adaptors live exactly as long as the application does.
class RegistryReleaser : public QObject {
public:
    using QObject::QObject;
    ~RegistryReleaser() override {
        qDeleteAll(registry());
        registry().clear();
    }
};

// Makes a promise of the QuickPromise library from a future. A canceled or failed future rejects
// without a reason, because a QFuture keeps no usable error text for QML.
const char promiseCreatorDocument[] = R"(import QtQuick 2.0
import QuickPromise 1.0
import QuickFuture 1.0

QtObject {
    function create(future) {
        var p = Q.promise();
        Future.onFinished(future, function(value) {
            if (Future.isCanceled(future))
                p.reject();
            else
                p.resolve(value);
        });
        return p;
    }
}
)";

QObject *provideFuture(QQmlEngine *engine, QJSEngine *) {
    auto *future = new Future();
    future->setEngine(engine);
    future->promiseCreator = QJSValue();
    if (engine) {
        QQmlComponent component(engine);
        component.setData(QByteArray(promiseCreatorDocument), QUrl());
        QObject *creator = component.isReady() ? component.create() : nullptr;
        if (creator) {
            creator->setParent(future);
            QQmlEngine::setObjectOwnership(creator, QQmlEngine::CppOwnership);
            future->promiseCreator = engine->newQObject(creator);
        } else {
            qDebug() << "Future: no promise support:" << component.errorString().trimmed();
        }
    }
    return future;
}

QString typeName(const QVariant &future) {
    return QString::fromLatin1(future.metaType().name());
}

void warnUnhandled(const char *prefix, const QVariant &future) {
    qWarning().noquote() << QStringLiteral("%1: Can not handle input data type: %2")
                                .arg(QLatin1String(prefix), typeName(future));
}

void startUp() {
    new RegistryReleaser(QCoreApplication::instance());
    qmlRegisterSingletonType<Future>("Future", 1, 0, "Future", provideFuture);
    qmlRegisterSingletonType<Future>("QuickFuture", 1, 0, "Future", provideFuture);
    registerType<QString>();
    registerType<int>();
    registerType<void>();
    registerType<bool>();
    registerType<qreal>();
    registerType<QByteArray>();
    registerType<QVariant>();
    registerType<QVariantMap>();
    registerType<QSize>();
}

void addStartUpRoutine() {
    qAddPreRoutine(startUp);
}

} // namespace

Q_CONSTRUCTOR_FUNCTION(addStartUpRoutine)

VariantWrapperBase::~VariantWrapperBase() = default;

void VariantWrapperBase::call(const QPointer<QQmlEngine> &engine, QJSValue func,
                              const QJSValueList &args) {
    if (!engine)
        return;
    const QJSValue value = func.call(args);
    if (value.isError()) {
        qWarning().noquote() << QStringLiteral("%1:%2: %3: %4")
                                    .arg(value.property(QStringLiteral("fileName")).toString(),
                                         value.property(QStringLiteral("lineNumber")).toString(),
                                         value.property(QStringLiteral("name")).toString(),
                                         value.property(QStringLiteral("message")).toString());
    }
}

bool VariantWrapperBase::state(const QVariant &future, const QString &name) {
    if (name == QLatin1String("isFinished"))
        return isFinished(future);
    if (name == QLatin1String("isRunning"))
        return isRunning(future);
    if (name == QLatin1String("isPaused"))
        return isPaused(future);
    qWarning().noquote() << QStringLiteral("Future: Unknown property: %1").arg(name);
    return false;
}

void VariantWrapperBase::writeState(QObject *target, const QString &property, bool value) {
    target->setProperty(property.toUtf8().constData(), value);
}

Future::Future(QObject *parent)
    : QObject(parent) {}

void Future::registerType(int typeId, VariantWrapperBase *wrapper) {
    if (registry().contains(typeId)) {
        qWarning().noquote() << QStringLiteral(
                                    "QuickFuture::registerType:It is already registered:%1")
                                    .arg(QString::fromLatin1(QMetaType(typeId).name()));
        delete wrapper;
        return;
    }
    registry().insert(typeId, wrapper);
}

VariantWrapperBase *Future::wrapper(int typeId) {
    return registry().value(typeId, nullptr);
}

bool Future::isFinished(const QVariant &future) {
    if (auto *w = wrapper(future.userType()))
        return w->isFinished(future);
    warnUnhandled("Future", future);
    return false;
}

bool Future::isRunning(const QVariant &future) {
    if (auto *w = wrapper(future.userType()))
        return w->isRunning(future);
    warnUnhandled("Future", future);
    return false;
}

bool Future::isCanceled(const QVariant &future) {
    if (auto *w = wrapper(future.userType()))
        return w->isCanceled(future);
    warnUnhandled("Future.isCanceled", future);
    return false;
}

int Future::progressValue(const QVariant &future) {
    if (auto *w = wrapper(future.userType()))
        return w->progressValue(future);
    warnUnhandled("Future.progressValue", future);
    return 0;
}

int Future::progressMinimum(const QVariant &future) {
    if (auto *w = wrapper(future.userType()))
        return w->progressMinimum(future);
    warnUnhandled("Future.progressMinimum", future);
    return 0;
}

int Future::progressMaximum(const QVariant &future) {
    if (auto *w = wrapper(future.userType()))
        return w->progressMaximum(future);
    warnUnhandled("Future.progressMaximum", future);
    return 0;
}

void Future::onFinished(const QVariant &future, const QJSValue &func) {
    if (auto *w = wrapper(future.userType()))
        w->onFinished(m_engine, future, func);
    else
        warnUnhandled("Future", future);
}

void Future::onCanceled(const QVariant &future, const QJSValue &func) {
    if (auto *w = wrapper(future.userType()))
        w->onCanceled(m_engine, future, func);
    else
        warnUnhandled("Future", future);
}

void Future::onProgressValueChanged(const QVariant &future, const QJSValue &func) {
    if (auto *w = wrapper(future.userType()))
        w->onProgressValueChanged(m_engine, future, func);
    else
        warnUnhandled("Future.onProgressValueChanged", future);
}

QVariant Future::result(const QVariant &future) {
    if (auto *w = wrapper(future.userType()))
        return w->result(future);
    warnUnhandled("Future", future);
    return {};
}

QVariant Future::results(const QVariant &future) {
    if (auto *w = wrapper(future.userType()))
        return w->results(future);
    warnUnhandled("Future", future);
    return {};
}

QJSValue Future::promise(const QJSValue &future) {
    QJSValue create = promiseCreator.property(QStringLiteral("create"));
    QJSValue promise;
    if (create.isCallable())
        promise = create.callWithInstance(promiseCreator, {future});
    if (promise.isError() || promise.isUndefined()) {
        qWarning() << "Future.promise: QuickPromise is not installed or setup properly";
        return QJSValue();
    }
    return promise;
}

void Future::sync(const QVariant &future, const QString &propertyInFuture, QObject *target,
                  const QString &propertyInTarget) {
    if (auto *w = wrapper(future.userType()))
        w->sync(future, propertyInFuture, target, propertyInTarget);
    else
        warnUnhandled("Future", future);
}

void Future::sync(const QVariant &future, const QString &propertyInFuture, QObject *target) {
    sync(future, propertyInFuture, target, QString());
}

} // namespace QuickFuture
