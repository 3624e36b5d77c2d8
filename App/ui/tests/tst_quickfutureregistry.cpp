// The adaptor registry and the parts of the `Future` singleton that need no QML test file.
#include "ui/quickfuture.h"

#include <QByteArray>
#include <QPoint>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSize>
#include <QVariantMap>
#include <QtTest>

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

QTEST_MAIN(TestQuickFutureRegistry)
#include "tst_quickfutureregistry.moc"
