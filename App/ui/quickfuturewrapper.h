#pragma once

// Per-result-type adaptors that let the QML singleton `Future` work on a QFuture it only sees as
// a QVariant. One adaptor exists per registered future type; see quickfuture.h.
#include <QCoreApplication>
#include <QFuture>
#include <QFutureWatcher>
#include <QJSEngine>
#include <QJSValue>
#include <QPointer>
#include <QQmlEngine>
#include <QVariant>

#include <memory>
#include <type_traits>

namespace QuickFuture {

class VariantWrapperBase {
public:
    virtual ~VariantWrapperBase();

    virtual bool isPaused(const QVariant &future) = 0;
    virtual bool isFinished(const QVariant &future) = 0;
    virtual bool isRunning(const QVariant &future) = 0;
    virtual bool isCanceled(const QVariant &future) = 0;
    virtual int progressValue(const QVariant &future) = 0;
    virtual int progressMinimum(const QVariant &future) = 0;
    virtual int progressMaximum(const QVariant &future) = 0;
    virtual QVariant result(const QVariant &future) = 0;
    virtual QVariant results(const QVariant &future) = 0;
    virtual void onFinished(QPointer<QQmlEngine> engine, const QVariant &future,
                            const QJSValue &func) = 0;
    virtual void onCanceled(QPointer<QQmlEngine> engine, const QVariant &future,
                            const QJSValue &func) = 0;
    virtual void onProgressValueChanged(QPointer<QQmlEngine> engine, const QVariant &future,
                                        const QJSValue &func) = 0;
    virtual void sync(const QVariant &future, const QString &propertyInFuture, QObject *target,
                      const QString &propertyInTarget) = 0;

protected:
    // Calls a QML callback unless its engine is gone; a callback that throws is reported with
    // the place it threw from, and nothing else is affected.
    static void call(const QPointer<QQmlEngine> &engine, QJSValue func, const QJSValueList &args);
    // Reads one of the state names QML may mirror ("isFinished", "isRunning", "isPaused").
    bool state(const QVariant &future, const QString &name);
    static void writeState(QObject *target, const QString &property, bool value);
};

template <typename T>
class VariantWrapper : public VariantWrapperBase {
public:
    bool isPaused(const QVariant &future) override {
        const QFuture<T> f = toFuture(future);
        return f.isSuspending() || f.isSuspended();
    }
    bool isFinished(const QVariant &future) override { return toFuture(future).isFinished(); }
    bool isRunning(const QVariant &future) override { return toFuture(future).isRunning(); }
    bool isCanceled(const QVariant &future) override { return toFuture(future).isCanceled(); }
    int progressValue(const QVariant &future) override { return toFuture(future).progressValue(); }
    int progressMinimum(const QVariant &future) override {
        return toFuture(future).progressMinimum();
    }
    int progressMaximum(const QVariant &future) override {
        return toFuture(future).progressMaximum();
    }

    QVariant result(const QVariant &future) override {
        if constexpr (std::is_void_v<T>) {
            Q_UNUSED(future);
            return {};
        } else {
            const QFuture<T> f = toFuture(future);
            // resultAt() would wait for an unfinished future; QML must never block.
            if (f.isResultReadyAt(0)) {
                try {
                    return QVariant::fromValue(f.resultAt(0));
                } catch (...) {
                    // A failed future carries an exception instead of results.
                }
            }
            qWarning() << "Future.result(): The result is not ready!";
            return {};
        }
    }

    QVariant results(const QVariant &future) override {
        if constexpr (std::is_void_v<T>) {
            Q_UNUSED(future);
            return {};
        } else {
            const QFuture<T> f = toFuture(future);
            QVariantList list;
            // QFuture::results() waits for the whole future, so only the results at hand are read.
            try {
                const int count = f.resultCount();
                for (int i = 0; i < count && f.isResultReadyAt(i); ++i)
                    list.append(QVariant::fromValue(f.resultAt(i)));
            } catch (...) {
                list.clear();
            }
            if (list.isEmpty()) {
                qWarning() << "Future.results(): The result is not ready!";
                return {};
            }
            return list;
        }
    }

    void onFinished(QPointer<QQmlEngine> engine, const QVariant &future,
                    const QJSValue &func) override {
        if (!func.isCallable()) {
            qWarning() << "Future.onFinished: Callback is not callable";
            return;
        }
        const QFuture<T> f = toFuture(future);
        if (f.isFinished()) {
            post(engine, f, func);
            return;
        }
        auto *watcher = new QFutureWatcher<T>();
        QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [=]() {
            callWithResult(engine, watcher->future(), func);
            watcher->deleteLater();
        });
        watcher->setFuture(f);
    }

    void onCanceled(QPointer<QQmlEngine> engine, const QVariant &future,
                    const QJSValue &func) override {
        if (!func.isCallable()) {
            qWarning() << "Future.onCanceled: Callback is not callable";
            return;
        }
        const QFuture<T> f = toFuture(future);
        if (f.isCanceled()) {
            post(engine, f, func);
            return;
        }
        if (f.isFinished())
            return; // finished without being canceled: it never will be
        // Only a cancellation calls back; a normal finish just releases the watcher.
        auto *watcher = new QFutureWatcher<T>();
        QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [=]() {
            if (watcher->future().isCanceled())
                callWithResult(engine, watcher->future(), func);
            watcher->deleteLater();
        });
        watcher->setFuture(f);
    }

    void onProgressValueChanged(QPointer<QQmlEngine> engine, const QVariant &future,
                                const QJSValue &func) override {
        if (!func.isCallable()) {
            qWarning() << "Future.onProgressValueChanged: Callback is not callable";
            return;
        }
        const QFuture<T> f = toFuture(future);
        if (f.isFinished())
            return;
        auto *watcher = new QFutureWatcher<T>();
        // The watcher first replays the value the future has now; only changes are reported.
        auto last = std::make_shared<int>(f.progressValue());
        QObject::connect(watcher, &QFutureWatcherBase::progressValueChanged, watcher,
                         [=](int value) {
                             if (value == *last)
                                 return;
                             *last = value;
                             call(engine, func, {QJSValue(value)});
                         });
        QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [=]() {
            watcher->disconnect();
            watcher->deleteLater();
        });
        watcher->setFuture(f);
    }

    void sync(const QVariant &future, const QString &propertyInFuture, QObject *target,
              const QString &propertyInTarget) override {
        const QString property = propertyInTarget.isEmpty() ? propertyInFuture : propertyInTarget;
        const QPointer<QObject> guarded = target;
        const QVariant held = future;
        auto apply = [this, held, propertyInFuture, guarded, property]() {
            const bool value = state(held, propertyInFuture);
            if (guarded)
                writeState(guarded, property, value);
        };
        apply();
        const QFuture<T> f = toFuture(future);
        if (f.isFinished())
            return;
        auto *watcher = new QFutureWatcher<T>();
        for (auto signal : {&QFutureWatcherBase::started, &QFutureWatcherBase::canceled,
                            &QFutureWatcherBase::suspending, &QFutureWatcherBase::suspended,
                            &QFutureWatcherBase::resumed})
            QObject::connect(watcher, signal, watcher, apply);
        QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, [=]() {
            apply();
            watcher->disconnect();
            watcher->deleteLater();
        });
        watcher->setFuture(f);
    }

private:
    static QFuture<T> toFuture(const QVariant &future) { return future.value<QFuture<T>>(); }

    // The callback of an already finished future goes through the event loop, so it never
    // runs inside the call that attached it.
    static void post(const QPointer<QQmlEngine> &engine, const QFuture<T> &f,
                     const QJSValue &func) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [=]() { callWithResult(engine, f, func); },
            Qt::QueuedConnection);
    }

    static void callWithResult(const QPointer<QQmlEngine> &engine, const QFuture<T> &f,
                               const QJSValue &func) {
        if (!engine)
            return;
        if constexpr (std::is_void_v<T>) {
            call(engine, func, {});
        } else {
            QJSValue value; // undefined: canceled, failed or empty
            if (f.isResultReadyAt(0)) {
                try {
                    value = engine->toScriptValue(f.resultAt(0));
                } catch (...) {
                    value = QJSValue();
                }
            }
            call(engine, func, {value});
        }
    }
};

} // namespace QuickFuture
