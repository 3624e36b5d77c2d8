#pragma once

#include <QMutex>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <QUrl>

#include <memory>

class QQmlEngine;
class SecretStore;

// The program's persistent configuration, one property per key of the user's settings store.
// Every read goes to the store, every write goes to the store and then emits (even when the value
// did not change). Lives in the GUI thread; apiToken() may be read from any thread.
//
// The service token is the exception: it is not kept in the settings file (which others may
// read) but in the desktop keyring, or in a file beside the settings that only the user may
// read (see SecretStore); it is read once at construction and held in memory. A token an
// earlier version left under "api/token" is moved there and removed from the settings.
class Settings : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(double brightness READ brightness WRITE setBrightness NOTIFY brightnessChanged)
    Q_PROPERTY(double contrast READ contrast WRITE setContrast NOTIFY contrastChanged)
    Q_PROPERTY(bool autoCameraSettings READ autoCameraSettings WRITE setAutoCameraSettings NOTIFY
                   autoCameraSettingsChanged)
    Q_PROPERTY(bool vignettingCorrection READ vignettingCorrection WRITE setVignettingCorrection
                   NOTIFY vignettingCorrectionChanged)
    Q_PROPERTY(QString apiToken READ apiToken WRITE setApiToken NOTIFY apiTokenChanged)
    Q_PROPERTY(QUrl apiUrl READ apiUrl WRITE setApiUrl NOTIFY apiUrlChanged)
    Q_PROPERTY(
        QString magnification READ magnification WRITE setMagnification NOTIFY magnificationChanged)
    Q_PROPERTY(QString mpp READ mpp WRITE setMpp NOTIFY mppChanged)
    Q_PROPERTY(QString cameraId READ cameraId WRITE setCameraId NOTIFY cameraIdChanged)
    Q_PROPERTY(bool autoOpen READ autoOpen WRITE setAutoOpen NOTIFY autoOpenChanged)

public:
    // Chooses the UI language among the system's preferred languages on the first run.
    explicit Settings(QQmlEngine *engine);
    // Same, with the preferred UI languages (tags such as "pl-PL", in order of preference) and
    // the folder of the translation catalogues given by the caller.
    Settings(QQmlEngine *engine, const QStringList &uiLanguages,
             const QString &catalogueDir = QStringLiteral(":/i18n/"));
    ~Settings() override;

    QString language() const;
    double brightness() const;
    double contrast() const;
    bool autoCameraSettings() const;
    bool vignettingCorrection() const;
    QString apiToken() const;
    QUrl apiUrl() const;
    QString magnification() const;
    QString mpp() const;
    QString cameraId() const;
    bool autoOpen() const;

public slots:
    void setLanguage(const QString &value);
    void setBrightness(double value);
    void setContrast(double value);
    void setAutoCameraSettings(bool value);
    void setVignettingCorrection(bool value);
    void setApiToken(const QString &value);
    void setApiUrl(const QUrl &value);
    void setMagnification(const QString &value);
    void setMpp(const QString &value);
    void setCameraId(const QString &value);
    void setAutoOpen(bool value);

signals:
    void languageChanged(const QString &value);
    void brightnessChanged(double value);
    void contrastChanged(double value);
    void autoCameraSettingsChanged(bool value);
    void vignettingCorrectionChanged(bool value);
    void apiTokenChanged(const QString &value);
    void apiUrlChanged(const QUrl &value);
    void magnificationChanged(const QString &value);
    void mppChanged(const QString &value);
    void cameraIdChanged(const QString &value);
    void autoOpenChanged(bool value);

private:
    QVariant read(const QString &key, const QVariant &defaultValue = {}) const;
    void write(const QString &key, const QVariant &value);
    QString mppKey() const;
    void chooseLanguage(const QStringList &uiLanguages);
    void loadLanguage();
    void loadToken();

    // QSettings is reentrant, not thread-safe: the live builder reads the token from its thread
    // while the GUI thread writes, so every store access goes through this lock.
    mutable QMutex storeMutex;
    QSettings store;
    QTranslator translator;
    QQmlEngine *engine;
    QString catalogueDir;
    std::unique_ptr<SecretStore> secrets;
    // Guarded by storeMutex.
    QString token;
};
