// Loading camera plug-ins by name: real shared libraries built beside this program, found by the
// loader's own search, in the order of the name list.
#include "camera/cameramanager.h"
#include "logcapture.h"
#include "testcamera.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <exception>
#include <memory>

using testcamera::FakeBackend;
using testcamera::FakeCamera;
using testcamera::Journal;
using Entries = std::vector<std::string>;

namespace {
FakeCamera::Spec camera(const std::string &id, const std::string &name) {
    FakeCamera::Spec spec;
    spec.id = id;
    spec.name = name;
    spec.size = {64, 48};
    return spec;
}

void configure(const std::string &plugin, std::vector<FakeCamera::Spec> cameras,
               int startupFailures = 0) {
    testcamera::PluginConfig config;
    config.cameras = std::move(cameras);
    config.startupFailures = startupFailures;
    testcamera::setPluginConfig(plugin, config);
}

QList<CameraInfo> published(const QSignalSpy &spy) {
    return spy.last().at(0).value<QList<CameraInfo>>();
}

// Entries of the journal after the given one, for checking order without the noise before it.
Entries after(const Entries &entries, const std::string &first) {
    auto it = std::find(entries.begin(), entries.end(), first);
    return it == entries.end() ? Entries{} : Entries(it, entries.end());
}

struct FrontendOwner : QObject {
    explicit FrontendOwner(CameraManager *manager) {
        connect(
            manager, &CameraManager::cameraChanged, this,
            [this](QSharedPointer<common::AbstractCamera>, QList<CameraPropertyFrontend *> list) {
                for (auto *frontend : list)
                    frontend->setParent(this);
                last = list;
            });
    }
    QList<CameraPropertyFrontend *> last;
};

const QStringList bothPlugins{"MirevaTestAlpha", "MirevaTestBeta"};
} // namespace

class TestCameraPlugins : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        Journal::clear();
        testcamera::resetPluginConfigs();
    }

    void defaultNamesAreFixed() {
        QCOMPARE(CameraManager::defaultPluginNames(), (QStringList{"Varnoke", "Sendrik"}));
    }

    void loadsInOrderAndReportsFailures() {
        configure("Alpha", {camera("a1", "Alpha One"), camera("a2", "Alpha Two")});
        configure("Beta", {camera("b1", "Beta One")});
        LogCapture log;
        {
            CameraManager manager(QStringList{"MirevaTestAlpha", "MirevaTestMissing",
                                              "MirevaTestNoPlugin", "MirevaTestBeta"});
            QSignalSpy listed(&manager, &CameraManager::availableCamerasChanged);
            manager.findAvailableCameras();
            QCOMPARE(listed.count(), 1);
            const QList<CameraInfo> cameras = published(listed);
            QCOMPARE(cameras.size(), 3);
            QCOMPARE(cameras.at(0), (CameraInfo{"a1", "Alpha One"}));
            QCOMPARE(cameras.at(1), (CameraInfo{"a2", "Alpha Two"}));
            QCOMPARE(cameras.at(2), (CameraInfo{"b1", "Beta One"}));
            QVERIFY(!manager.hasCamera());
        }
        const QStringList all = log.lines();
        const QStringList lines = all.mid(all.indexOf("Loading plugin \"MirevaTestAlpha\""));
        const QStringList expected{
            "Loading plugin \"MirevaTestAlpha\"",
            "Plugin successfully loaded",
            "Loading plugin \"MirevaTestMissing\"",
            "Failed to load plugin \"MirevaTestMissing\" reason:",
            "boost::dll::shared_library::load() failed",
            "Loading plugin \"MirevaTestNoPlugin\"",
            "Failed to load plugin \"MirevaTestNoPlugin\" reason:",
            "boost::dll::shared_library::get() failed",
            "Loading plugin \"MirevaTestBeta\"",
            "Plugin successfully loaded",
        };
        QVERIFY2(lines.size() >= expected.size(), qPrintable(lines.join('\n')));
        for (qsizetype i = 0; i < expected.size(); ++i)
            QVERIFY2(lines.at(i).startsWith(expected.at(i)), qPrintable(lines.join('\n')));
        QCOMPARE(lines.at(10), QStringLiteral("\"Alpha One\""));
        QCOMPARE(
            Journal::entries(),
            (Entries{"Alpha initialize", "Beta initialize", "Alpha startup", "Beta startup",
                     "Alpha cameras", "Beta cameras", "Alpha/a1 destroyed", "Alpha/a2 destroyed",
                     "Beta/b1 destroyed", "Alpha shutdown", "Beta shutdown"}));
    }

    void refusesAnotherContractAndTriesTheNext_data() {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("refusal");
        const QString needed = QString::number(common::contractVersion);
        QTest::newRow("older contract")
            << "OldContract"
            << QStringLiteral("built for contract version %1, this program needs version %2")
                   .arg(common::contractVersion - 1)
                   .arg(needed);
        QTest::newRow("newer contract")
            << "NewerContract"
            << QStringLiteral("built for contract version %1, this program needs version %2")
                   .arg(common::contractVersion + 1)
                   .arg(needed);
        QTest::newRow("no version")
            << "Unversioned"
            << QStringLiteral("it declares no contract version (this program needs version %1)")
                   .arg(needed);
    }
    void refusesAnotherContractAndTriesTheNext() {
        QFETCH(QString, label);
        QFETCH(QString, refusal);
        const QString library = QStringLiteral("MirevaTest") + label;
        // The refused plug-in would offer a camera of its own.
        configure(label.toStdString(), {camera("x1", "Refused One")});
        configure("Beta", {camera("b1", "Beta One")});
        LogCapture log;
        {
            CameraManager manager(QStringList{library, "MirevaTestBeta"});
            QSignalSpy listed(&manager, &CameraManager::availableCamerasChanged);
            manager.findAvailableCameras();
            QCOMPARE(published(listed), (QList<CameraInfo>{{"b1", "Beta One"}}));
        }
        const QStringList all = log.lines();
        const QStringList lines = all.mid(all.indexOf("Loading plugin \"" + library + "\""));
        QVERIFY2(lines.size() >= 4, qPrintable(all.join('\n')));
        QCOMPARE(lines.at(1), "Refused plugin \"" + library + "\": " + refusal);
        QCOMPARE(lines.at(2), QStringLiteral("Loading plugin \"MirevaTestBeta\""));
        QCOMPARE(lines.at(3), QStringLiteral("Plugin successfully loaded"));
        // Nothing of the refused plug-in was called.
        QCOMPARE(Journal::entries(), (Entries{"Beta initialize", "Beta startup", "Beta cameras",
                                              "Beta/b1 destroyed", "Beta shutdown"}));
    }

    void noPluginPublishesAnEmptyList() {
        LogCapture log;
        CameraManager manager(QStringList{"MirevaTestMissing", "MirevaTestAbsent"});
        QSignalSpy listed(&manager, &CameraManager::availableCamerasChanged);
        QSignalSpy changed(&manager, &CameraManager::cameraChanged);
        manager.findAvailableCameras();
        QCOMPARE(listed.count(), 1);
        QVERIFY(published(listed).isEmpty());
        QCOMPARE(log.linesStartingWith("Failed to load plugin").size(), 2);
        QCOMPARE(log.linesStartingWith("boost::dll::shared_library::load() failed").size(), 2);
        manager.setCameraId("a1");
        QVERIFY(!manager.hasCamera());
        QCOMPARE(changed.count(), 0);
    }

    void emptyPluginContributesNothing() {
        configure("Alpha", {});
        configure("Beta", {camera("b1", "Beta One")});
        CameraManager manager(bothPlugins);
        QSignalSpy listed(&manager, &CameraManager::availableCamerasChanged);
        manager.findAvailableCameras();
        QCOMPARE(published(listed), (QList<CameraInfo>{{"b1", "Beta One"}}));
    }

    void failedStartupIsRetriedWithoutImportingAgain() {
        configure("Alpha", {camera("a1", "Alpha One")}, 1);
        configure("Beta", {camera("b1", "Beta One")});
        CameraManager manager(bothPlugins);
        QSignalSpy listed(&manager, &CameraManager::availableCamerasChanged);
        QVERIFY_THROWS_EXCEPTION(std::exception, manager.findAvailableCameras());
        QCOMPARE(listed.count(), 0);

        LogCapture log;
        manager.findAvailableCameras();
        QCOMPARE(listed.count(), 1);
        QCOMPARE(published(listed), (QList<CameraInfo>{{"a1", "Alpha One"}, {"b1", "Beta One"}}));
        QVERIFY(log.linesStartingWith("Loading plugin").isEmpty());
        QCOMPARE(Journal::entries(),
                 (Entries{"Alpha initialize", "Beta initialize", "Alpha startup", "Alpha startup",
                          "Beta startup", "Alpha cameras", "Beta cameras"}));

        // Later discoveries neither load nor start anything again.
        manager.findAvailableCameras();
        QCOMPARE(published(listed).size(), 2);
        const Entries entries = Journal::entries();
        QCOMPARE(std::count(entries.begin(), entries.end(), "Alpha startup"), 2);
    }

    void selectsByExactIdFirstMatchWins_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("opened");
        QTest::newRow("first plug-in") << "a1"
                                       << "Alpha/a1 start";
        QTest::newRow("second plug-in") << "b1"
                                        << "Beta/b1 start";
        QTest::newRow("shared id: the first listed") << "same"
                                                     << "Alpha/same start";
        QTest::newRow("case matters") << "A1" << QString();
        QTest::newRow("empty id") << QString() << QString();
    }
    void selectsByExactIdFirstMatchWins() {
        QFETCH(QString, id);
        QFETCH(QString, opened);
        configure("Alpha", {camera("a1", "Alpha One"), camera("same", "Alpha Same")});
        configure("Beta", {camera("same", "Beta Same"), camera("b1", "Beta One")});
        CameraManager manager(bothPlugins);
        manager.findAvailableCameras();
        Journal::clear();
        manager.setCameraId(id);
        QCOMPARE(manager.hasCamera(), !opened.isEmpty());
        const Entries expected = opened.isEmpty() ? Entries{} : Entries{opened.toStdString()};
        QCOMPARE(Journal::entries(), expected);
    }

    void unknownIdClosesTheOpenCamera() {
        FakeCamera::Spec spec = camera("a1", "Alpha One");
        FakeBackend::Spec gain;
        gain.type = common::Real;
        gain.value = 2.;
        spec.properties = {{"Gain", gain}};
        configure("Alpha", {spec});
        CameraManager manager(bothPlugins);
        FrontendOwner owner(&manager);
        QSignalSpy changed(&manager, &CameraManager::cameraChanged);
        manager.findAvailableCameras();
        manager.setCameraId("a1");
        QCOMPARE(owner.last.size(), 1);
        LogCapture log;
        manager.setCameraId("nonexistent");
        QVERIFY(!manager.hasCamera());
        QCOMPARE(log.lines(), (QStringList{"Set camera start", "Set camera stop"}));
        QVERIFY(changed.last().at(0).value<QSharedPointer<common::AbstractCamera>>().isNull());
        QVERIFY(owner.last.isEmpty());
        QVERIFY(after(Journal::entries(), "Alpha/a1 start").size() >= 2);
        QCOMPARE(after(Journal::entries(), "Alpha/a1 start").at(1), std::string("Alpha/a1 stop"));
    }

    void failedStartKeepsTheCameraListed() {
        FakeCamera::Spec busy = camera("a1", "Alpha One");
        busy.startThrows = true;
        configure("Alpha", {busy});
        CameraManager manager(bothPlugins);
        QSignalSpy listed(&manager, &CameraManager::availableCamerasChanged);
        manager.findAvailableCameras();
        manager.setCameraId("a1");
        QVERIFY(!manager.hasCamera());
        QCOMPARE(published(listed).size(), 1);
        // It stays selectable: choosing it again tries to start it again.
        manager.setCameraId("a1");
        const Entries entries = Journal::entries();
        QCOMPARE(std::count(entries.begin(), entries.end(), "Alpha/a1 start"), 2);
    }

    void refreshReleasesTheOpenCameraFirstAndReopens() {
        configure("Alpha", {camera("a1", "Alpha One")});
        CameraManager manager(bothPlugins);
        manager.findAvailableCameras();
        manager.setCameraId("a1");
        Journal::clear();
        manager.findAvailableCameras();
        manager.setCameraId("a1");
        QCOMPARE(Journal::entries(), (Entries{"Alpha/a1 stop", "Alpha/a1 destroyed",
                                              "Alpha cameras", "Beta cameras", "Alpha/a1 start"}));
        QVERIFY(manager.hasCamera());
    }

    void teardownReleasesCamerasBeforeShutdown() {
        FakeCamera::Spec spec = camera("a1", "Alpha One");
        FakeBackend::Spec gain;
        gain.type = common::Real;
        gain.value = 2.;
        spec.properties = {{"Gain", gain}};
        configure("Alpha", {spec});
        configure("Beta", {camera("b1", "Beta One")});
        auto manager = std::make_unique<CameraManager>(bothPlugins);
        FrontendOwner owner(manager.get());
        // A receiver still holding the announced camera must not keep it past the teardown.
        QSignalSpy changed(manager.get(), &CameraManager::cameraChanged);
        manager->findAvailableCameras();
        manager->setCameraId("a1");
        QWeakPointer<FakeBackend> backend =
            testcamera::madeCameras("Alpha").at(0).toStrongRef()->backends().at(0);
        Journal::clear();
        manager.reset();
        QVERIFY(backend.isNull());
        QCOMPARE(Journal::entries(), (Entries{"Beta/b1 destroyed", "Alpha/a1 destroyed",
                                              "Alpha shutdown", "Beta shutdown"}));
    }
};

QTEST_GUILESS_MAIN(TestCameraPlugins)
#include "tst_cameraplugins.moc"
