#include "shell/settings.h"

#include "shell/buildconfig.h"
#include "shell/redaction.h"
#include "shell/secretstore.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QLocale>
#include <QMutexLocker>
#include <QQmlEngine>

namespace {
const QString languageKey = QStringLiteral("app/language");
const QString brightnessKey = QStringLiteral("camera/brightness");
const QString contrastKey = QStringLiteral("camera/contrast");
const QString autoCameraSettingsKey = QStringLiteral("camera/autoCameraSettings");
const QString vignettingCorrectionKey = QStringLiteral("camera/vignettingCorrection");
const QString apiTokenKey = QStringLiteral("api/token");
const QString apiUrlKey = QStringLiteral("api/url");
const QString magnificationKey = QStringLiteral("lens/magnification");
const QString mppKeyFormat = QStringLiteral("lens/mpp/%1/%2");
const QString cameraIdKey = QStringLiteral("camera/id");
const QString autoOpenKey = QStringLiteral("app/autoOpen");
} // namespace

Settings::Settings(QQmlEngine *engine)
    : Settings(engine, QLocale::system().uiLanguages()) {}

Settings::Settings(QQmlEngine *engine, const QStringList &uiLanguages, const QString &catalogueDir)
    : QObject(nullptr)
    , engine(engine)
    , catalogueDir(catalogueDir) {
    bool firstRun;
    {
        QMutexLocker lock(&storeMutex);
        firstRun = !store.contains(languageKey);
    }
    if (firstRun)
        chooseLanguage(uiLanguages);
    loadLanguage();

    // The token's places belong to this settings store, so a second store (a test run, the run
    // command's own) never reads or overwrites the user's token.
    const QFileInfo settingsFile(store.fileName());
    SecretStore::Options where;
    where.service = QCoreApplication::organizationName() + QLatin1Char(' ') +
                    QCoreApplication::applicationName();
    where.key = apiTokenKey + QLatin1Char(' ') + settingsFile.absoluteFilePath();
    where.filePath = settingsFile.absolutePath() + QLatin1Char('/') +
                     settingsFile.completeBaseName() + QStringLiteral(".token");
    secrets = std::make_unique<SecretStore>(where);
    loadToken();
}

void Settings::loadToken() {
    bool legacy;
    QString value;
    {
        QMutexLocker lock(&storeMutex);
        legacy = store.contains(apiTokenKey);
        value = store.value(apiTokenKey).toString();
    }
    if (legacy) {
        // Written by an earlier version into the settings file.
        if (secrets->write(value)) {
            QMutexLocker lock(&storeMutex);
            store.remove(apiTokenKey);
            store.sync();
            qDebug() << "Service token moved out of the settings file";
        } else {
            qWarning() << "Service token left in the settings file: nowhere safer to keep it";
        }
    } else {
        value = secrets->read();
    }
    redaction::addSecret(value);
    QMutexLocker lock(&storeMutex);
    token = value;
}

Settings::~Settings() {
    QCoreApplication::removeTranslator(&translator);
}

void Settings::chooseLanguage(const QStringList &uiLanguages) {
    for (const QString &tag : uiLanguages) {
        const QString name = QLocale(tag).name();
        const QString path = catalogueDir + name;
        qDebug() << "Try to load " << path;
        QTranslator candidate;
        if (candidate.load(path)) {
            qDebug() << "Set language" << name;
            write(languageKey, name);
            return;
        }
    }
}

void Settings::loadLanguage() {
    const QString name = language();
    if (name.isEmpty())
        return;
    const QString path = catalogueDir + name;
    qDebug() << "Try to load " << path;
    if (!translator.isEmpty())
        QCoreApplication::removeTranslator(&translator);
    if (!translator.load(path))
        return;
    qDebug() << "Loaded language" << name;
    QCoreApplication::installTranslator(&translator);
    if (engine)
        engine->retranslate();
}

QVariant Settings::read(const QString &key, const QVariant &defaultValue) const {
    QMutexLocker lock(&storeMutex);
    return store.value(key, defaultValue);
}

void Settings::write(const QString &key, const QVariant &value) {
    QMutexLocker lock(&storeMutex);
    store.setValue(key, value);
}

QString Settings::mppKey() const {
    return mppKeyFormat.arg(cameraId(), magnification());
}

QString Settings::language() const {
    return read(languageKey).toString();
}

double Settings::brightness() const {
    return read(brightnessKey, 0.0).toReal();
}

double Settings::contrast() const {
    return read(contrastKey, 0.0).toReal();
}

bool Settings::autoCameraSettings() const {
    return read(autoCameraSettingsKey, false).toBool();
}

bool Settings::vignettingCorrection() const {
    return read(vignettingCorrectionKey, false).toBool();
}

QString Settings::apiToken() const {
    QMutexLocker lock(&storeMutex);
    return token;
}

QUrl Settings::apiUrl() const {
    return read(apiUrlKey, QUrl(QStringLiteral(MIREVA_SERVICE_URL))).toUrl();
}

QString Settings::magnification() const {
    return read(magnificationKey, QString()).toString();
}

QString Settings::mpp() const {
    return read(mppKey(), QString()).toString();
}

QString Settings::cameraId() const {
    return read(cameraIdKey, QString()).toString();
}

bool Settings::autoOpen() const {
    return read(autoOpenKey, false).toBool();
}

void Settings::setLanguage(const QString &value) {
    write(languageKey, value);
    emit languageChanged(value);
}

void Settings::setBrightness(double value) {
    write(brightnessKey, value);
    emit brightnessChanged(value);
}

void Settings::setContrast(double value) {
    write(contrastKey, value);
    emit contrastChanged(value);
}

void Settings::setAutoCameraSettings(bool value) {
    write(autoCameraSettingsKey, value);
    emit autoCameraSettingsChanged(value);
}

void Settings::setVignettingCorrection(bool value) {
    write(vignettingCorrectionKey, value);
    emit vignettingCorrectionChanged(value);
}

void Settings::setApiToken(const QString &value) {
    redaction::addSecret(value);
    {
        QMutexLocker lock(&storeMutex);
        token = value;
    }
    if (!secrets->write(value))
        qWarning() << "Service token kept for this run only: it could not be stored";
    emit apiTokenChanged(value);
}

void Settings::setApiUrl(const QUrl &value) {
    write(apiUrlKey, value);
    emit apiUrlChanged(value);
}

void Settings::setMagnification(const QString &value) {
    write(magnificationKey, value);
    emit magnificationChanged(value);
    emit mppChanged(mpp());
}

void Settings::setMpp(const QString &value) {
    write(mppKey(), value);
    emit mppChanged(value);
}

void Settings::setCameraId(const QString &value) {
    write(cameraIdKey, value);
    emit cameraIdChanged(value);
    emit mppChanged(mpp());
}

void Settings::setAutoOpen(bool value) {
    write(autoOpenKey, value);
    emit autoOpenChanged(value);
}
