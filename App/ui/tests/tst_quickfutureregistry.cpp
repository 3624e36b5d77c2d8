// The adaptor registry and the parts of the `Future` singleton that need no QML test file.
#include "ui/quickfuture.h"

#include <QByteArray>
#include <QPoint>
#include <QPromise>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSize>
#include <QVariantMap>
#include <QtTest>

#include <memory>

namespace {

using Registrar = void (*)();

template <typename T>
int futureTypeId() {
    return QMetaType::fromType<QFuture<T>>().id();
}

template <typename T>
void addRow(const char *tag) {
    QTest::newRow(tag) << futureTypeId<T>() << Registrar(&QuickFuture::registerType<T>);
}

QuickFuture::Future *futureSingleton(QQmlEngine &engine) {
    const int typeId = qmlTypeId("QuickFuture", 1, 0, "Future");
    return engine.singletonInstance<QuickFuture::Future *>(typeId);
}

} // namespace

Q_DECLARE_METATYPE(Registrar)

class TestQuickFutureRegistry : public QObject {
    Q_OBJECT
private slots:
    void builtInAdaptorsRegisteredAtStartUp_data();
    void builtInAdaptorsRegisteredAtStartUp();
    void duplicateRegistrationKeepsTheFirst_data() { builtInAdaptorsRegisteredAtStartUp_data(); }
    void duplicateRegistrationKeepsTheFirst();
    void newTypeRegistersOnce();
    void promiseWithoutQuickPromiseWarns();
    void promiseWithQuickPromise();
    void singletonUnderBothModuleNames_data();
    void singletonUnderBothModuleNames();
    void callbackNeedsItsEngine_data();
    void callbackNeedsItsEngine();
};

void TestQuickFutureRegistry::builtInAdaptorsRegisteredAtStartUp_data() {
    QTest::addColumn<int>("typeId");
    QTest::addColumn<Registrar>("registrar");
    addRow<QString>("QString");
    addRow<int>("int");
    addRow<void>("void");
    addRow<bool>("bool");
    addRow<qreal>("qreal");
    addRow<QByteArray>("QByteArray");
    addRow<QVariant>("QVariant");
    addRow<QVariantMap>("QVariantMap");
    addRow<QSize>("QSize");
}

void TestQuickFutureRegistry::builtInAdaptorsRegisteredAtStartUp() {
    QFETCH(int, typeId);
    QVERIFY(QuickFuture::Future::wrapper(typeId) != nullptr);
}

void TestQuickFutureRegistry::duplicateRegistrationKeepsTheFirst() {
    QFETCH(int, typeId);
    QFETCH(Registrar, registrar);
    QuickFuture::VariantWrapperBase *first = QuickFuture::Future::wrapper(typeId);
    QVERIFY(first);
    const QString warning = QStringLiteral("QuickFuture::registerType:It is already registered:%1")
                                .arg(QString::fromLatin1(QMetaType(typeId).name()));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    registrar();
    QCOMPARE(QuickFuture::Future::wrapper(typeId), first);
}

void TestQuickFutureRegistry::newTypeRegistersOnce() {
    const int typeId = futureTypeId<QPoint>();
    QVERIFY(!QuickFuture::Future::wrapper(typeId));
    QuickFuture::registerType<QPoint>();
    QuickFuture::VariantWrapperBase *first = QuickFuture::Future::wrapper(typeId);
    QVERIFY(first);

    QuickFuture::Future future;
    const QVariant ready = QVariant::fromValue(QtFuture::makeReadyFuture(QPoint(3, 4)));
    QVERIFY(future.isFinished(ready));
    QCOMPARE(future.result(ready).toPoint(), QPoint(3, 4));

    QTest::ignoreMessage(QtWarningMsg,
                         "QuickFuture::registerType:It is already registered:QFuture<QPoint>");
    QuickFuture::registerType<QPoint>();
    QCOMPARE(QuickFuture::Future::wrapper(typeId), first);
}

void TestQuickFutureRegistry::promiseWithoutQuickPromiseWarns() {
    // Without the import path "qrc:///" the QuickPromise module can not be found.
    QQmlEngine engine;
    QuickFuture::Future *future = futureSingleton(engine);
    QVERIFY(future);
    QCOMPARE(future->engine(), &engine);
    QTest::ignoreMessage(QtWarningMsg,
                         "Future.promise: QuickPromise is not installed or setup properly");
    const QJSValue promise =
        future->promise(engine.toScriptValue(QtFuture::makeReadyFuture(QString("x"))));
    QVERIFY(promise.isUndefined());
}

void TestQuickFutureRegistry::promiseWithQuickPromise() {
    QQmlEngine engine;
    engine.addImportPath(QStringLiteral("qrc:///"));
    QuickFuture::Future *future = futureSingleton(engine);
    QVERIFY(future);
    const QJSValue promise =
        future->promise(engine.toScriptValue(QtFuture::makeReadyFuture(QString("x"))));
    QVERIFY(promise.isObject());
    QVERIFY(promise.property(QStringLiteral("then")).isCallable());
}

void TestQuickFutureRegistry::singletonUnderBothModuleNames_data() {
    QTest::addColumn<QString>("uri");
    QTest::newRow("QuickFuture") << QStringLiteral("QuickFuture");
    QTest::newRow("Future") << QStringLiteral("Future");
}

void TestQuickFutureRegistry::singletonUnderBothModuleNames() {
    QFETCH(QString, uri);
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData(QStringLiteral("import QtQml 2.0\nimport %1 1.0\n"
                                     "QtObject { property bool known: typeof Future.onFinished "
                                     "=== 'function' }")
                          .arg(uri)
                          .toUtf8(),
                      QUrl());
    std::unique_ptr<QObject> object(component.create());
    QVERIFY2(object, qPrintable(component.errorString()));
    QVERIFY(object->property("known").toBool());
}

// A callback whose QML engine is gone by the time its future finishes is dropped.
void TestQuickFutureRegistry::callbackNeedsItsEngine_data() {
    QTest::addColumn<bool>("finishedFirst");
    QTest::addColumn<bool>("deleteEngine");
    QTest::addColumn<QString>("seen");
    QTest::newRow("finished, engine alive") << true << false << QStringLiteral("done");
    QTest::newRow("finished, engine deleted") << true << true << QString();
    QTest::newRow("running, engine alive") << false << false << QStringLiteral("done");
    QTest::newRow("running, engine deleted") << false << true << QString();
}

void TestQuickFutureRegistry::callbackNeedsItsEngine() {
    QFETCH(bool, finishedFirst);
    QFETCH(bool, deleteEngine);
    QFETCH(QString, seen);

    QObject probe;
    auto engine = std::make_unique<QQmlEngine>();
    QQmlEngine::setObjectOwnership(&probe, QQmlEngine::CppOwnership);
    engine->globalObject().setProperty(QStringLiteral("probe"), engine->newQObject(&probe));
    const QJSValue callback =
        engine->evaluate(QStringLiteral("(function(value) { probe.objectName = value; })"));
    QVERIFY(callback.isCallable());
    QuickFuture::Future *future = futureSingleton(*engine);
    QVERIFY(future);

    QPromise<QString> promise;
    promise.start();
    if (finishedFirst) {
        promise.addResult(QStringLiteral("done"));
        promise.finish();
    }
    future->onFinished(QVariant::fromValue(promise.future()), callback);
    if (deleteEngine)
        engine.reset();
    if (!finishedFirst) {
        promise.addResult(QStringLiteral("done"));
        promise.finish();
    }
    QTRY_COMPARE(probe.objectName(), seen);
    // Give a dropped callback the same chance to run.
    QTest::qWait(20);
    QCOMPARE(probe.objectName(), seen);
}

QTEST_MAIN(TestQuickFutureRegistry)
#include "tst_quickfutureregistry.moc"
