// Runs the tst_*.qml files of this folder. The engine gets the program's resources (the
// QuickPromise module) through the import path "qrc:///" and a `futureSource` that hands out
// futures in every state the bridge must handle.
#include "ui/quickfuture.h"
#include "shell/metatypes.h"

#include <QException>
#include <QFuture>
#include <QPoint>
#include <QPromise>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSize>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <QtQuickTest/quicktest.h>

#include <memory>

// An object a future can carry, as the service's scan records are.
class Specimen : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ name CONSTANT)
public:
    Specimen(const QString &name, QObject *parent)
        : QObject(parent)
        , m_name(name) {}
    QString name() const { return m_name; }

private:
    QString m_name;
};

class FutureFailure : public QException {
public:
    void raise() const override { throw *this; }
    FutureFailure *clone() const override { return new FutureFailure(*this); }
    const char *what() const noexcept override { return "the work failed"; }
};

class FutureSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Finished futures with one result.
    Q_INVOKABLE QFuture<QString> readyString(const QString &value) {
        return QtFuture::makeReadyFuture(value);
    }
    Q_INVOKABLE QFuture<int> readyInt(int value) { return QtFuture::makeReadyFuture(value); }
    Q_INVOKABLE QFuture<void> readyVoid() { return QtFuture::makeReadyFuture(); }
    Q_INVOKABLE QFuture<bool> readyBool(bool value) { return QtFuture::makeReadyFuture(value); }
    Q_INVOKABLE QFuture<qreal> readyReal(double value) {
        return QtFuture::makeReadyFuture(qreal(value));
    }
    Q_INVOKABLE QFuture<QByteArray> readyBytes(const QString &text) {
        return QtFuture::makeReadyFuture(text.toUtf8());
    }
    Q_INVOKABLE QFuture<QVariant> readyVariant(const QVariant &value) {
        return QtFuture::makeReadyFuture(value);
    }
    Q_INVOKABLE QFuture<QVariantMap> readyMap(const QVariantMap &value) {
        return QtFuture::makeReadyFuture(value);
    }
    Q_INVOKABLE QFuture<QSize> readySize(int width, int height) {
        return QtFuture::makeReadyFuture(QSize(width, height));
    }
    Q_INVOKABLE QFuture<Specimen *> readyObject(const QString &name) {
        return QtFuture::makeReadyFuture(new Specimen(name, this));
    }
    // The program's image type, as the camera hands it out; QML only passes it on.
    Q_INVOKABLE QFuture<cv::Mat> readyImage(int rows, int cols) {
        return QtFuture::makeReadyFuture(cv::Mat(rows, cols, CV_8UC3, cv::Scalar(1, 2, 3)));
    }
    Q_INVOKABLE int imageRows(const QVariant &image) const {
        return image.canConvert<cv::Mat>() ? image.value<cv::Mat>().rows : -1;
    }
    // A finished future with several results.
    Q_INVOKABLE QFuture<QString> readyStrings(const QStringList &values) {
        const QList<QString> list = values;
        return QtFuture::makeReadyFuture(list);
    }

    // Futures that ended without a result.
    Q_INVOKABLE QFuture<QString> failedString() {
        return QtFuture::makeExceptionalFuture<QString>(FutureFailure());
    }
    Q_INVOKABLE QFuture<Specimen *> failedObject() {
        return QtFuture::makeExceptionalFuture<Specimen *>(FutureFailure());
    }
    Q_INVOKABLE QFuture<QString> canceledString() {
        QPromise<QString> promise;
        QFuture<QString> future = promise.future();
        promise.start();
        future.cancel();
        promise.finish();
        return future;
    }

    // Futures still running until the test completes them.
    Q_INVOKABLE QFuture<QString> runningString() {
        m_string = std::make_shared<QPromise<QString>>();
        m_string->start();
        return m_string->future();
    }
    Q_INVOKABLE QFuture<void> runningVoid() {
        m_void = std::make_shared<QPromise<void>>();
        m_void->start();
        return m_void->future();
    }
    Q_INVOKABLE QFuture<Specimen *> runningObject() {
        m_object = std::make_shared<QPromise<Specimen *>>();
        m_object->start();
        return m_object->future();
    }
    Q_INVOKABLE void finishString(const QString &value) {
        m_string->addResult(value);
        m_string->finish();
    }
    // Completes the running string future from a worker thread, as the service does.
    Q_INVOKABLE void finishStringInThread(const QString &value) {
        auto promise = m_string;
        QThread *worker = QThread::create([promise, value]() {
            promise->addResult(value);
            promise->finish();
        });
        connect(worker, &QThread::finished, worker, &QObject::deleteLater);
        worker->start();
    }
    Q_INVOKABLE void setStringProgress(int minimum, int maximum, int value) {
        m_string->setProgressRange(minimum, maximum);
        m_string->setProgressValue(value);
    }
    Q_INVOKABLE void cancelString() {
        m_string->future().cancel();
        m_string->finish();
    }
    Q_INVOKABLE void failString() {
        m_string->setException(FutureFailure());
        m_string->finish();
    }
    Q_INVOKABLE void finishVoid() { m_void->finish(); }
    Q_INVOKABLE void finishObject(const QString &name) {
        m_object->addResult(new Specimen(name, this));
        m_object->finish();
    }
    Q_INVOKABLE void failObject() {
        m_object->setException(FutureFailure());
        m_object->finish();
    }

    // A future type the bridge has no adaptor for, and the name its warnings use.
    Q_INVOKABLE QFuture<QPoint> unhandled() { return QtFuture::makeReadyFuture(QPoint(1, 2)); }
    Q_INVOKABLE QString unhandledTypeName() const {
        return QString::fromLatin1(QMetaType::fromType<QFuture<QPoint>>().name());
    }

private:
    std::shared_ptr<QPromise<QString>> m_string;
    std::shared_ptr<QPromise<void>> m_void;
    std::shared_ptr<QPromise<Specimen *>> m_object;
};

class Setup : public QObject {
    Q_OBJECT
public slots:
    void applicationAvailable() {
        QuickFuture::registerType<Specimen *>();
        QuickFuture::registerType<cv::Mat>();
    }
    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:///"));
        auto *source = new FutureSource(engine);
        engine->rootContext()->setContextProperty(QStringLiteral("futureSource"), source);
    }
};

QUICK_TEST_MAIN_WITH_SETUP(quickfuture, Setup)

#include "quickfuturetest.moc"
