// The UI catalogues in the program's resources: the Polish one renders every text the UI looks
// up, and a first start on a system that prefers Polish brings the documents up in Polish.
#include "shell/settings.h"

#include <QCoreApplication>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSettings>
#include <QStandardPaths>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {
// Every text the UI translates, by the context it is looked up in.
const QList<QPair<const char *, QStringList>> translatedTexts = {
    {"Api",
     {"Network error:",
      "Log-in refused: the service gave a log-in page this program does not open (%1)",
      "Upload refused: the service gave a storage address this program does not send files to "
      "(%1)",
      "The scan was saved, but the service gave a page for it this program does not open (%1)"}},
    {"CameraProperties", {"Camera properties"}},
    {"LensProfile", {"Calibrate", "Lens properties", "Magnification", "Pixel density"}},
    {"MainWindow",
     {"An error occurred. Please try again", "Are you sure you don't want to save this scan?",
      "Before you begin, please log in to Tavrona", "Click on the grid cells you want to erase",
      "Finish", "Initializing", "Move the camera to the next part and click <b>Start scanning</b>",
      "New scan", "Next part", "Photo series",
      "Press space or click <b>Take photo</b> to take a photo", "Resume", "Searching for cameras",
      "Select the camera to see the preview", "Start scanning", "Take photo",
      "The scan hasn't been saved",
      "The disk is full or the scan folder cannot be written: no more cells are stored. Finish "
      "the scan to upload what it holds.",
      "Recovered the unsaved scan of %1"}},
    {"SaveOptions",
     {"Enter the scan name", "Error", "Failed to save %1: %2", "Open Scan", "The upload failed: %1",
      "Open scan after saving", "Save", "Save scan to Tavrona", "Saved as %1", "Saved scan %1",
      "Saving scan"}},
    {"ScanView",
     {"Click on two points at a measurable distance", "Distance between A and B (milimeters)",
      "Invalid input", "The distance between A and B is too small"}},
    {"SelectCamera", {"Camera", "Searching for cameras", "Select camera"}},
    {"TopBar",
     {"Done", "Eraser", "Finish", "Hide camera", "Next part", "Pause", "Ruler tool", "Sharpness",
      "Show camera"}},
    {"UserView",
     {"Cancel", "Confirm login in web browser", "Connect to Tavrona", "Log In", "Log out"}},
    {"VignettingCorrection",
     {"Cancel profile generation", "Enabled", "Generate vignetting profile",
      "Move camera in all directions", "Vignetting correction"}},
    {"ApiThread",
     {"Failed to upload file %1", "Your log-in has ended. Log in again to go on with the uploads.",
      "The scan cannot be uploaded: the service does not take %1 (%2)", "The scan was discarded"}},
    {"UnsavedScans",
     {"Scan of %1: the upload failed (%2)", "Scan of %1: saving as %2",
      "Scan of %1: waiting for %2 to log in", "Scan of %1: 1 file to upload",
      "Scan of %1: %n files to upload", "Scan of %1: uploaded, not saved",
      "Scan of %1: preparing the upload", "Saved scan %1", "Failed to save %1: %2", "Unsaved scans",
      "Scan name", "Save", "Discard", "Discard the scan of %1?",
      "Its files are deleted from this computer, and it is not saved."}},
};

// Placeholders (%1, %2, ...) and markup tags of a text, in order.
QStringList fixedParts(const QString &text) {
    QStringList parts;
    static const QRegularExpression pattern(QStringLiteral("%\\d|<[^>]*>|\\n"));
    for (const QRegularExpressionMatch &match : pattern.globalMatch(text))
        parts.append(match.captured());
    return parts;
}
} // namespace

class TestTranslations : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void polishRendersEveryText_data();
    void polishRendersEveryText();
    void tellingRows_data();
    void tellingRows();
    void polishPlurals_data();
    void polishPlurals();
    void englishCatalogueIsEmpty();
    void firstStartFollowsTheSystemLanguage_data();
    void firstStartFollowsTheSystemLanguage();

private:
    QTranslator polish;
};

void TestTranslations::initTestCase() {
    // Never touch the user's real settings.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("TavronaTest"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_translations"));
    QVERIFY(polish.load(QStringLiteral(":/i18n/pl_PL")));
    QVERIFY(!polish.isEmpty());
}

void TestTranslations::init() {
    QSettings().clear();
}

void TestTranslations::polishRendersEveryText_data() {
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QString>("source");
    for (const auto &[context, texts] : translatedTexts) {
        for (const QString &text : texts)
            QTest::addRow("%s: %s", context, qPrintable(text)) << QByteArray(context) << text;
    }
    QTest::newRow("QObject: log pattern")
        << QByteArray("QObject") << QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6\n");
}

void TestTranslations::polishRendersEveryText() {
    QFETCH(QByteArray, context);
    QFETCH(QString, source);
    const QString translated = polish.translate(context.constData(), source.toUtf8().constData());
    QVERIFY2(!translated.isEmpty(), "no Polish text");
    QCOMPARE(fixedParts(translated), fixedParts(source));
    if (context == "QObject")
        QCOMPARE(translated, source);
}

void TestTranslations::tellingRows_data() {
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("expected");
    auto row = [](const char *context, const char *source, const char *expected) {
        QTest::addRow("%s: %s", context, source)
            << QByteArray(context) << QString::fromUtf8(source) << QString::fromUtf8(expected);
    };
    row("MainWindow", "Before you begin, please log in to Tavrona",
        "Zanim zaczniesz, zaloguj się do Tavrona");
    row("MainWindow", "Finish", "Koniec");
    row("MainWindow", "Move the camera to the next part and click <b>Start scanning</b>",
        "Przesuń kamerę do następnego fragmentu i kliknij <b>Rozpocznij skanowanie</b>");
    row("SaveOptions", "Failed to save %1: %2", "Nie udało się zapisać %1: %2");
    row("SaveOptions", "Saved as %1", "Zapisany jako %1");
    row("ScanView", "Distance between A and B (milimeters)",
        "Odległość pomiędzy A i B (milimetry)");
    row("TopBar", "Eraser", "Usuwanie");
    row("TopBar", "Finish", "Koniec");
}

void TestTranslations::tellingRows() {
    QFETCH(QByteArray, context);
    QFETCH(QString, source);
    QFETCH(QString, expected);
    QCOMPARE(polish.translate(context.constData(), source.toUtf8().constData()), expected);
}

void TestTranslations::polishPlurals_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected");
    QTest::newRow("2") << 2 << QString::fromUtf8("Skan z %1: %n pliki do przesłania");
    QTest::newRow("4") << 4 << QString::fromUtf8("Skan z %1: %n pliki do przesłania");
    QTest::newRow("5") << 5 << QString::fromUtf8("Skan z %1: %n plików do przesłania");
    QTest::newRow("12") << 12 << QString::fromUtf8("Skan z %1: %n plików do przesłania");
    QTest::newRow("22") << 22 << QString::fromUtf8("Skan z %1: %n pliki do przesłania");
}

void TestTranslations::polishPlurals() {
    QFETCH(int, count);
    QFETCH(QString, expected);
    QCOMPARE(polish.translate("UnsavedScans", "Scan of %1: %n files to upload", nullptr, count),
             expected);
}

void TestTranslations::englishCatalogueIsEmpty() {
    // English is the source language: the catalogue exists so it can be chosen, and holds nothing.
    QTranslator english;
    QVERIFY(english.load(QStringLiteral(":/i18n/en_US")));
    QVERIFY(english.isEmpty());
}

void TestTranslations::firstStartFollowsTheSystemLanguage_data() {
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("button");
    QTest::newRow("Polish first") << QStringList{"pl-PL", "en-US"} << "pl_PL"
                                  << QString::fromUtf8("Korekcja winietowania")
                                  << QString::fromUtf8("Wygeneruj profil winietowania");
    QTest::newRow("untranslated, then English") << QStringList{"xx-XX", "en-US"} << "en_US"
                                                << "Vignetting correction"
                                                << "Generate vignetting profile";
}

void TestTranslations::firstStartFollowsTheSystemLanguage() {
    QFETCH(QStringList, uiLanguages);
    QFETCH(QString, language);
    QFETCH(QString, title);
    QFETCH(QString, button);

    QQmlEngine engine;
    engine.addImportPath(QStringLiteral("qrc:///"));
    auto settings = std::make_unique<Settings>(&engine, uiLanguages);
    QCOMPARE(settings->language(), language);
    QCOMPARE(QSettings().value(QStringLiteral("app/language")).toString(), language);

    engine.rootContext()->setContextProperty(QStringLiteral("settings"), settings.get());
    engine.rootContext()->setContextProperty(QStringLiteral("cameraThread"), nullptr);
    QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/qml/VignettingCorrection.qml")));
    std::unique_ptr<QObject> panel(component.create());
    QVERIFY2(panel, qPrintable(component.errorString()));
    QCOMPARE(panel->property("title").toString(), title);
    auto *generate = qvariant_cast<QObject *>(panel->property("generateButton"));
    QVERIFY(generate);
    QCOMPARE(generate->property("text").toString(), button);
}

QTEST_MAIN(TestTranslations)

#include "tst_translations.moc"
