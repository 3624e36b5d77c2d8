#include "shell/buildconfig.h"
#include "shell/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMetaProperty>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>

// The test catalogues (Polish and English, one message each) are built from tests/i18n/*.ts.
static const QString testCatalogues = QStringLiteral(":/testi18n/");

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void keysDefaultsAndSignals_data();
    void keysDefaultsAndSignals();
    void sameValueStillEmits();
    void mppFollowsCameraAndMagnification();
    void wrongTypeConvertsByVariantRules();
    void firstRunLanguage_data();
    void firstRunLanguage();
    void storedLanguageIsKept();
    void tokenReadFromAnotherThread();
    void tokenKeptOutOfTheSettingsFile();
    void tokenFromAnEarlierVersionMoves();
    void tokenStaysWhereItIsWhenNowhereSaferIsWritable();

private:
    // Where the token goes when no keyring answers (none does in the tests): beside the
    // settings file.
    static QString tokenFile() {
        const QFileInfo settingsFile(QSettings().fileName());
        return settingsFile.absolutePath() + QLatin1Char('/') + settingsFile.completeBaseName() +
               QStringLiteral(".token");
    }
    static QByteArray settingsFileBytes() {
        QSettings().sync();
        QFile file(QSettings().fileName());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static std::unique_ptr<Settings> make(const QStringList &uiLanguages = {}) {
        return std::make_unique<Settings>(nullptr, uiLanguages, testCatalogues);
    }
};

void TestSettings::initTestCase() {
    // Never touch the user's real settings.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("TavronaTest"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_settings"));
}

void TestSettings::init() {
    QSettings().clear();
    QFile::remove(tokenFile());
    QDir(tokenFile()).removeRecursively();
}

void TestSettings::keysDefaultsAndSignals_data() {
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("defaultValue");
    QTest::addColumn<QVariant>("newValue");

    QTest::newRow("language") << QByteArray("language") << "app/language" << QVariant(QString())
                              << QVariant(QStringLiteral("pl_PL"));
    QTest::newRow("brightness") << QByteArray("brightness") << "camera/brightness" << QVariant(0.0)
                                << QVariant(0.25);
    QTest::newRow("contrast") << QByteArray("contrast") << "camera/contrast" << QVariant(0.0)
                              << QVariant(-1.5);
    QTest::newRow("autoCameraSettings")
        << QByteArray("autoCameraSettings") << "camera/autoCameraSettings" << QVariant(false)
        << QVariant(true);
    QTest::newRow("vignettingCorrection")
        << QByteArray("vignettingCorrection") << "camera/vignettingCorrection" << QVariant(false)
        << QVariant(true);
    QTest::newRow("apiUrl") << QByteArray("apiUrl") << "api/url"
                            << QVariant(QUrl(QStringLiteral(MIREVA_SERVICE_URL)))
                            << QVariant(QUrl(QStringLiteral("https://service.example/")));
    QTest::newRow("magnification") << QByteArray("magnification") << "lens/magnification"
                                   << QVariant(QString()) << QVariant(QStringLiteral("2.5"));
    QTest::newRow("mpp") << QByteArray("mpp") << "lens/mpp//" << QVariant(QString())
                         << QVariant(QStringLiteral("0.34500"));
    QTest::newRow("cameraId") << QByteArray("cameraId") << "camera/id" << QVariant(QString())
                              << QVariant(QStringLiteral("DEV_000F31"));
    QTest::newRow("autoOpen") << QByteArray("autoOpen") << "app/autoOpen" << QVariant(false)
                              << QVariant(true);
}

void TestSettings::keysDefaultsAndSignals() {
    QFETCH(QByteArray, property);
    QFETCH(QString, key);
    QFETCH(QVariant, defaultValue);
    QFETCH(QVariant, newValue);

    auto settings = make();
    const QMetaObject *meta = settings->metaObject();
    const QMetaProperty metaProperty = meta->property(meta->indexOfProperty(property));
    QVERIFY(metaProperty.isValid());
    QVERIFY(metaProperty.hasNotifySignal());
    QCOMPARE(metaProperty.notifySignal().name(), property + "Changed");
    QCOMPARE(metaProperty.notifySignal().parameterNames().value(0), QByteArray("value"));

    QCOMPARE(settings->property(property), defaultValue);
    QSignalSpy spy(settings.get(), metaProperty.notifySignal());
    QVERIFY(settings->setProperty(property, newValue));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().value(0), newValue);
    QCOMPARE(settings->property(property), newValue);
    QCOMPARE(QSettings().value(key), newValue);

    // A new object reads what the previous one wrote.
    settings.reset();
    QCOMPARE(make()->property(property), newValue);
}

void TestSettings::sameValueStillEmits() {
    auto settings = make();
    QSignalSpy spy(settings.get(), &Settings::contrastChanged);
    settings->setContrast(1.0);
    settings->setContrast(1.0);
    QCOMPARE(spy.size(), 2);
}

void TestSettings::mppFollowsCameraAndMagnification() {
    auto settings = make();
    settings->setCameraId(QStringLiteral("camA"));
    settings->setMagnification(QStringLiteral("10"));
    settings->setMpp(QStringLiteral("0.34500"));
    QCOMPARE(QSettings().value(QStringLiteral("lens/mpp/camA/10")).toString(),
             QStringLiteral("0.34500"));

    QStringList order;
    connect(settings.get(), &Settings::cameraIdChanged, this,
            [&order](const QString &value) { order << QStringLiteral("cameraId:") + value; });
    connect(settings.get(), &Settings::magnificationChanged, this,
            [&order](const QString &value) { order << QStringLiteral("magnification:") + value; });
    connect(settings.get(), &Settings::mppChanged, this,
            [&order](const QString &value) { order << QStringLiteral("mpp:") + value; });

    settings->setCameraId(QStringLiteral("camB")); // nothing calibrated for camB
    settings->setMpp(QStringLiteral("1.20000"));
    settings->setCameraId(QStringLiteral("camA"));
    settings->setMagnification(QStringLiteral("40"));
    settings->setMagnification(QStringLiteral("10"));
    QCOMPARE(order,
             QStringList({"cameraId:camB", "mpp:", "mpp:1.20000", "cameraId:camA", "mpp:0.34500",
                          "magnification:40", "mpp:", "magnification:10", "mpp:0.34500"}));
    QCOMPARE(QSettings().value(QStringLiteral("lens/mpp/camB/10")).toString(),
             QStringLiteral("1.20000"));
}

void TestSettings::wrongTypeConvertsByVariantRules() {
    QSettings().setValue(QStringLiteral("camera/brightness"), QStringLiteral("not a number"));
    QSettings().setValue(QStringLiteral("app/autoOpen"), QStringLiteral("true"));
    auto settings = make();
    QCOMPARE(settings->brightness(), 0.0);
    QCOMPARE(settings->autoOpen(), true);
}

void TestSettings::firstRunLanguage_data() {
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("hello");

    QTest::newRow("Polish, then English")
        << QStringList({"pl-PL", "en-US"}) << "pl_PL" << QStringLiteral("Cześć");
    QTest::newRow("no catalogue, then English (United States)")
        << QStringList({"de-DE", "en-US"}) << "en_US"
        << "Hello (en_US)";
    QTest::newRow("bare language tag") << QStringList({"pl"}) << "pl_PL" << QStringLiteral("Cześć");
    QTest::newRow("nothing available") << QStringList({"de-DE", "fr-FR"}) << QString() << "Hello";
    QTest::newRow("no preferences") << QStringList() << QString() << "Hello";
}

void TestSettings::firstRunLanguage() {
    QFETCH(QStringList, uiLanguages);
    QFETCH(QString, chosen);
    QFETCH(QString, hello);

    auto settings = make(uiLanguages);
    QCOMPARE(QSettings().contains(QStringLiteral("app/language")), !chosen.isEmpty());
    QCOMPARE(settings->language(), chosen);
    QCOMPARE(QCoreApplication::translate("Probe", "Hello"), hello);
    settings.reset();
    QCOMPARE(QCoreApplication::translate("Probe", "Hello"), QStringLiteral("Hello"));
}

void TestSettings::storedLanguageIsKept() {
    QSettings().setValue(QStringLiteral("app/language"), QStringLiteral("en_US"));
    auto settings = make({QStringLiteral("pl-PL")});
    QCOMPARE(settings->language(), QStringLiteral("en_US"));
    QCOMPARE(QCoreApplication::translate("Probe", "Hello"), QStringLiteral("Hello (en_US)"));

    // A language changed at run time is stored for the next start only.
    QSignalSpy spy(settings.get(), &Settings::languageChanged);
    settings->setLanguage(QStringLiteral("pl_PL"));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(QCoreApplication::translate("Probe", "Hello"), QStringLiteral("Hello (en_US)"));
    settings.reset();
    settings = make();
    QCOMPARE(QCoreApplication::translate("Probe", "Hello"), QStringLiteral("Cześć"));
}

void TestSettings::tokenReadFromAnotherThread() {
    // The live builder reads the token in its own thread while the GUI thread writes the store.
    auto settings = make();
    std::atomic<bool> done = false;
    std::atomic<int> wellFormed = 0;
    std::unique_ptr<QThread> reader(QThread::create([&] {
        while (!done) {
            const QString token = settings->apiToken();
            if (token.isEmpty() || token.startsWith(QStringLiteral("token-")))
                ++wellFormed;
        }
    }));
    reader->start();
    int i = 0;
    for (; i < 2000 || wellFormed < 1000; ++i) {
        settings->setApiToken(QStringLiteral("token-%1").arg(i));
        settings->setCameraId(QStringLiteral("cam%1").arg(i));
    }
    done = true;
    QVERIFY(reader->wait());
    QCOMPARE(settings->apiToken(), QStringLiteral("token-%1").arg(i - 1));
}

void TestSettings::tokenKeptOutOfTheSettingsFile() {
    auto settings = make();
    QCOMPARE(settings->apiToken(), QString());
    QSignalSpy spy(settings.get(), &Settings::apiTokenChanged);
    settings->setApiToken(QStringLiteral("token-kept-apart"));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().toString(), QStringLiteral("token-kept-apart"));
    QCOMPARE(settings->apiToken(), QStringLiteral("token-kept-apart"));
    settings->setCameraId(QStringLiteral("camA")); // the settings file is written
    QVERIFY(!QSettings().contains(QStringLiteral("api/token")));
    QVERIFY(settingsFileBytes().contains("camA"));
    QVERIFY(!settingsFileBytes().contains("token-kept-apart"));

    QFile file(tokenFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("token-kept-apart"));
    QCOMPARE(file.permissions() & ~(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ReadUser | QFileDevice::WriteUser),
             QFileDevice::Permissions());
    file.close();

    // The next start reads it; a log-out removes it.
    settings.reset();
    settings = make();
    QCOMPARE(settings->apiToken(), QStringLiteral("token-kept-apart"));
    settings->setApiToken(QString());
    QVERIFY(!QFile::exists(tokenFile()));
    settings.reset();
    QCOMPARE(make()->apiToken(), QString());
}

void TestSettings::tokenFromAnEarlierVersionMoves() {
    QSettings().setValue(QStringLiteral("api/token"), QStringLiteral("token-from-before"));
    QSettings().setValue(QStringLiteral("camera/id"), QStringLiteral("camA"));
    QSettings().sync();
    QVERIFY(settingsFileBytes().contains("token-from-before"));
    auto settings = make();
    QCOMPARE(settings->apiToken(), QStringLiteral("token-from-before"));
    QVERIFY(!QSettings().contains(QStringLiteral("api/token")));
    QVERIFY(!settingsFileBytes().contains("token-from-before"));
    QCOMPARE(settings->cameraId(), QStringLiteral("camA"));
    settings.reset();
    QCOMPARE(make()->apiToken(), QStringLiteral("token-from-before"));
}

// A token that can be kept nowhere safer stays in the settings file rather than being lost.
void TestSettings::tokenStaysWhereItIsWhenNowhereSaferIsWritable() {
    QSettings().setValue(QStringLiteral("api/token"), QStringLiteral("token-from-before"));
    QVERIFY(QDir().mkpath(tokenFile())); // a folder where the file would go
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("could not be stored"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("left in the settings file"));
    auto settings = make();
    QCOMPARE(settings->apiToken(), QStringLiteral("token-from-before"));
    QCOMPARE(QSettings().value(QStringLiteral("api/token")).toString(),
             QStringLiteral("token-from-before"));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
