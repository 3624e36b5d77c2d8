#include "camera/cameraproperty.h"
#include "testcamera.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

using testcamera::FakeBackend;

namespace {
QSharedPointer<FakeBackend> backendOf(FakeBackend::Spec spec) {
    return QSharedPointer<FakeBackend>::create(std::move(spec));
}

FakeBackend::Spec exposure() {
    FakeBackend::Spec spec;
    spec.type = common::Real;
    spec.value = 10000.;
    spec.describe = true;
    spec.min = 50.;
    spec.max = 1000000.;
    spec.step = 1.;
    spec.logScale = true;
    spec.rejectedValue = -1.;
    return spec;
}

FakeBackend::Spec exposureAuto() {
    FakeBackend::Spec spec;
    spec.type = common::Enumeration;
    spec.value = QStringLiteral("Continuous");
    spec.describe = true;
    spec.options = {{QStringLiteral("Off"), QStringLiteral("Off")},
                    {QStringLiteral("Once"), QStringLiteral("Once")},
                    {QStringLiteral("Continuous"), QStringLiteral("Continuous")}};
    spec.scanningValue = QStringLiteral("Off");
    return spec;
}
} // namespace

class TestCameraProperty : public QObject {
    Q_OBJECT
private slots:
    void frontendCopiesTheDescription_data() {
        QTest::addColumn<bool>("describe");
        QTest::addColumn<QVariant>("min");
        QTest::addColumn<QVariant>("max");
        QTest::addColumn<QVariant>("step");
        QTest::addColumn<bool>("logScale");
        QTest::addColumn<int>("options");
        // A backend overriding only type, value and setValue: the contract's defaults.
        QTest::newRow("defaults") << false << QVariant(0) << QVariant(1) << QVariant(1) << false
                                  << 0;
        QTest::newRow("described")
            << true << QVariant(50.) << QVariant(1000000.) << QVariant(1.) << true << 0;
    }
    void frontendCopiesTheDescription() {
        QFETCH(bool, describe);
        FakeBackend::Spec spec = exposure();
        spec.describe = describe;
        auto backend = backendOf(spec);
        CameraProperty property(QStringLiteral("Exposure"), backend);
        CameraPropertyFrontend frontend(&property);
        QCOMPARE(frontend.name(), QStringLiteral("Exposure"));
        QCOMPARE(frontend.type(), common::Real);
        QTEST(frontend.min(), "min");
        QTEST(frontend.max(), "max");
        QTEST(frontend.step(), "step");
        QTEST(frontend.logScale(), "logScale");
        QTEST(int(frontend.options().size()), "options");
        QCOMPARE(frontend.value(), QVariant(10000.));
        QVERIFY(frontend.active());
        QVERIFY(backend->writes().isEmpty());
    }

    void qmlReadsKindNumberAndOptions() {
        auto backend = backendOf(exposureAuto());
        CameraProperty property(QStringLiteral("Exposure auto"), backend);
        CameraPropertyFrontend frontend(&property);
        QQmlEngine engine;
        engine.rootContext()->setContextProperty("feature", &frontend);
        QQmlExpression expression(engine.rootContext(), nullptr,
                                  "[feature.type, feature.options.length, "
                                  "feature.options[2].displayName, feature.value].join(',')");
        QCOMPARE(expression.evaluate().toString(), QStringLiteral("5,3,Continuous,Continuous"));
        QVERIFY(!expression.hasError());
    }

    void userWriteReachesBackendOnce() {
        auto backend = backendOf(exposure());
        CameraProperty property(QStringLiteral("Exposure"), backend);
        CameraPropertyFrontend frontend(&property);
        QSignalSpy changed(&frontend, &CameraPropertyFrontend::valueChanged);

        frontend.setValue(10000.);
        QCOMPARE(changed.count(), 0);
        QVERIFY(backend->writes().isEmpty());

        // A slider may deliver an int for a Real feature.
        frontend.setValue(2000);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(backend->writes(), QList<QVariant>{QVariant(2000)});
        QCOMPARE(backend->value(), QVariant(2000));

        // The poll reads the same value back: nothing more happens.
        property.update();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(backend->writes().size(), 1);
    }

    void cameraSideChangeIsWrittenBackOnce() {
        auto backend = backendOf(exposure());
        CameraProperty property(QStringLiteral("Exposure"), backend);
        CameraPropertyFrontend frontend(&property);
        QSignalSpy changed(&frontend, &CameraPropertyFrontend::valueChanged);
        backend->setCurrentValue(321.5);
        property.update();
        QCOMPARE(frontend.value(), QVariant(321.5));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(backend->writes(), QList<QVariant>{QVariant(321.5)});
        property.update();
        QCOMPARE(backend->writes().size(), 1);
    }

    void rejectedWriteIsLoggedAndKept() {
        auto backend = backendOf(exposure());
        CameraProperty property(QStringLiteral("Exposure"), backend);
        CameraPropertyFrontend frontend(&property);
        QTest::ignoreMessage(QtDebugMsg, "Failed to set property. Error: value out of range");
        frontend.setValue(-1.);
        QCOMPARE(frontend.value(), QVariant(-1.));
        QCOMPARE(backend->value(), QVariant(10000.));
        // The next poll brings the camera's value back to the panel.
        property.update();
        QCOMPARE(frontend.value(), QVariant(10000.));
    }

    void activeStateFollowsThePoll() {
        auto backend = backendOf(exposure());
        CameraProperty property(QStringLiteral("Exposure"), backend);
        CameraPropertyFrontend frontend(&property);
        QSignalSpy propertyActive(&property, &CameraProperty::activeChanged);
        QSignalSpy frontendActive(&frontend, &CameraPropertyFrontend::activeChanged);
        QVERIFY(property.updateActive());
        QCOMPARE(propertyActive.count(), 1);
        QCOMPARE(frontendActive.count(), 0);
        backend->setActive(false);
        QVERIFY(!property.updateActive());
        QCOMPARE(frontendActive.count(), 1);
        QCOMPARE(frontendActive.at(0).at(0).toBool(), false);
        QVERIFY(!frontend.active());
    }

    void scanningForcesAndRestores_data() {
        QTest::addColumn<bool>("hasScanningValue");
        QTest::addColumn<bool>("begin");
        QTest::addColumn<QList<QVariant>>("writes");
        QTest::newRow("forced and restored")
            << true << true << QList<QVariant>{QStringLiteral("Off"), QStringLiteral("Continuous")};
        QTest::newRow("no scanning value") << false << true << QList<QVariant>{};
        QTest::newRow("end without begin") << true << false << QList<QVariant>{};
    }
    void scanningForcesAndRestores() {
        QFETCH(bool, hasScanningValue);
        QFETCH(bool, begin);
        FakeBackend::Spec spec = exposureAuto();
        if (!hasScanningValue)
            spec.scanningValue = QVariant();
        auto backend = backendOf(spec);
        CameraProperty property(QStringLiteral("Exposure auto"), backend);
        if (begin)
            property.beginScanning();
        property.endScanning();
        QTEST(backend->writes(), "writes");
    }

    void endingTwiceRestoresTwice() {
        auto backend = backendOf(exposureAuto());
        CameraProperty property(QStringLiteral("Exposure auto"), backend);
        property.beginScanning();
        property.endScanning();
        QCOMPARE(backend->writes().size(), 2);
        // Ending twice restores twice: the remembered value is kept.
        property.endScanning();
        QCOMPARE(backend->writes().size(), 3);
        QCOMPARE(backend->writes().last(), QVariant(QStringLiteral("Continuous")));
    }

    void writesCrossThreadsThroughQueuedConnections() {
        QThread cameraThread;
        cameraThread.start();
        auto backend = backendOf(exposure());
        auto property = std::make_unique<CameraProperty>(QStringLiteral("Exposure"), backend);
        auto frontend = std::make_unique<CameraPropertyFrontend>(property.get());
        property->moveToThread(&cameraThread);

        frontend->setValue(777.);
        QTRY_COMPARE(backend->writes(), QList<QVariant>{QVariant(777.)});

        backend->setCurrentValue(900.);
        QMetaObject::invokeMethod(property.get(), &CameraProperty::update);
        QTRY_COMPARE(frontend->value(), QVariant(900.));
        QTRY_COMPARE(backend->writes().size(), 2);

        QMetaObject::invokeMethod(
            property.get(), [&] { property.reset(); }, Qt::BlockingQueuedConnection);
        cameraThread.quit();
        cameraThread.wait();
    }
};

QTEST_GUILESS_MAIN(TestCameraProperty)
#include "tst_cameraproperty.moc"
