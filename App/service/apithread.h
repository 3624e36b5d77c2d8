#pragma once

#include "service/api.h"
#include "service/scan.h"
#include "shell/workerthread.h"

#include <QFuture>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QVariant>

#include <optional>

class Settings;

// The service client as QML and the program see it. Lives in the GUI thread and
// owns the service thread, in which its Api runs; keeps the log-in state and one Scan per
// container created in this run.
class ApiThread : public WorkerThread {
    Q_OBJECT
    Q_PROPERTY(QVariant user READ user NOTIFY userChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isLoggedIn READ isLoggedIn NOTIFY isLoggedInChanged)
    Q_PROPERTY(QString loginUrl READ loginUrl NOTIFY loginUrlChanged)
    Q_PROPERTY(Scan *currentScan READ currentScan NOTIFY currentScanChanged)
    Q_PROPERTY(QList<Scan *> scans READ scans NOTIFY scansChanged)

public:
    static constexpr int defaultRetryIntervalMs = 5000;

    struct Intervals {
        int pollMs = Api::defaultPollIntervalMs;
        int retryMs = defaultRetryIntervalMs;
    };

    explicit ApiThread(Settings *settings);
    ApiThread(Settings *settings, Intervals intervals);
    ~ApiThread() override;

    QVariant user() const;
    bool isLoading() const { return loading; }
    bool isLoggedIn() const;
    QString loginUrl() const { return lastLoginUrl; }
    Scan *currentScan() const { return scanList.isEmpty() ? nullptr : scanList.last(); }
    QList<Scan *> scans() const { return scanList; }

signals:
    void logIn();
    void logOut();
    void queryUser();
    void cancelLogIn();
    void userChanged();
    void isLoadingChanged();
    void isLoggedInChanged();
    void apiError(QString message);
    void uploadFinished(QString containerID);
    void currentScanChanged(Scan *scan);
    void scansChanged(QList<Scan *> scans);
    void loginUrlChanged();

public slots:
    void uploadFile(QString containerID, QString containerPath, QString filePath, bool finish,
                    int retry = 0);
    QFuture<QString> saveScan(QString containerID, QString filename);
    QFuture<Scan *> startNewScan();

private:
    Scan *findScan(const QString &containerID) const;
    void onUploadResult(Scan *scan, const QString &containerPath, const QString &filePath,
                        bool finish, int retry, bool ok);

    void onUserLoading();
    void onUserLoadingFailed();
    void onUserLoaded(const User &loadedUser);
    void onUserLoggedIn(const QString &token);
    void onUserLoggedOut();
    void onLoginUrlChanged(const QString &url);

    // Deleted in the service thread as that thread ends.
    QPointer<Api> api;
    Settings *settingsStore;
    int retryIntervalMs;
    std::optional<User> currentUser;
    bool loading = false;
    QString lastLoginUrl;
    QList<Scan *> scanList;
    // Scans whose uploadFinished has gone out: it goes out once per scan.
    QSet<const Scan *> finishedScans;
};
