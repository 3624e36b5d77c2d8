#pragma once

#include "service/api.h"
#include "service/scan.h"
#include "shell/workerthread.h"

#include <QDateTime>
#include <QFuture>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVariant>

#include <map>
#include <optional>

class Settings;

// The service client as QML and the program see it. Lives in the GUI thread and owns the
// service thread, in which its Api runs; keeps the log-in state and one Scan per container it
// knows: those created in this run and those an earlier run left behind (resumeScan).
//
// Uploads are retried until they succeed or cannot: a failure that may pass (the network, the
// service's own trouble, a reply without a matching ETag) is tried again after a delay that
// starts at `retryMs` and doubles up to `maxRetryMs`, each spread by a random `jitter`; a file
// the service refuses for good (400, 403 twice in a row, 404, 413, a missing local file) is not
// tried again and its scan is marked failed; a 401 holds every upload until the user logs in
// again. A scan's uploads go only while its owner is the logged-in user, so a scan never goes
// into another user's container. Crash reports go once per scan and cause.
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
    static constexpr int defaultMaxRetryIntervalMs = 5 * 60 * 1000;

    struct Intervals {
        int pollMs = Api::defaultPollIntervalMs;
        int retryMs = defaultRetryIntervalMs;       // before the first retry
        int maxRetryMs = defaultMaxRetryIntervalMs; // the longest wait between two attempts
        int transferTimeoutMs = Api::defaultTransferTimeoutMs;
        double jitter = 0.2; // each wait is spread over +-jitter of itself
    };

    explicit ApiThread(Settings *settings);
    ApiThread(Settings *settings, Intervals intervals);
    ~ApiThread() override;

    // The wait before the attempt after `failures` failed ones in a row, for a random `unit` in
    // [0, 1): retryMs * 2^(failures - 1), spread by the jitter, never above maxRetryMs.
    static int retryDelayMs(const Intervals &intervals, int failures, double unit);

    QVariant user() const;
    bool isLoading() const { return loading; }
    bool isLoggedIn() const;
    QString loginUrl() const { return lastLoginUrl; }
    // The scan started last in this run; null before the first and once it is discarded.
    Scan *currentScan() const { return current; }
    // Every scan known and not discarded, oldest first.
    QList<Scan *> scans() const;

    // Takes up a scan an earlier run left behind: its files already uploaded count as such, and
    // with `finishUploaded` its last file is one of them. Its other files are asked for again
    // with uploadFile. It becomes neither current nor another user's.
    Scan *resumeScan(const QString &containerID, const QString &owner, const QDateTime &startedAt,
                     const QStringList &uploadedFiles, bool finishUploaded);

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
    // A file the service stored, with the ETag that proved it whole.
    void fileUploaded(QString containerID, QString containerPath, QString filePath, QString etag);
    void saveRequested(QString containerID, QString filename);
    void scanSaved(QString containerID, QString viewUrl);
    void scanDiscarded(QString containerID);
    void scanFailed(QString containerID, QString reason);

public slots:
    void uploadFile(QString containerID, QString containerPath, QString filePath, bool finish);
    QFuture<QString> saveScan(QString containerID, QString filename);
    QFuture<Scan *> startNewScan();
    // Gives the scan up: its uploads stop and a save waiting for it fails.
    void discardScan(QString containerID);

private:
    // One file's way to the service.
    struct FileUpload {
        enum class State { Waiting, Sending, Held, Done, Failed };
        QString filePath;
        bool finish = false;
        State state = State::Waiting;
        int failures = 0;         // failed attempts in a row, for the backoff
        bool refusedOnce = false; // the last attempt was refused (403)
        bool askedAgain = false;  // asked for again while being sent
        quint64 attempt = 0;      // the attempt a timer or a reply belongs to
    };
    struct ScanUploads {
        std::map<QString, FileUpload> files; // by container path
        QSet<QString> reported;              // causes already sent as crash reports
        QSet<QString> told;                  // causes told to the user since the last success
        int session = -1;                    // the log-in session it was made in
    };

    Scan *findScan(const QString &containerID) const;
    bool mayUpload(Scan *scan) const;
    void refreshWaiting();
    void send(Scan *scan, const QString &containerPath);
    void retryLater(Scan *scan, const QString &containerPath, FileUpload &upload);
    void onUploadResult(const QString &containerID, const QString &containerPath, quint64 attempt,
                        const UploadResult &result);
    void report(Scan *scan, ScanUploads &state, const QString &containerPath,
                const FileUpload &upload, const QString &cause);
    void failFile(Scan *scan, ScanUploads &state, const QString &containerPath, FileUpload &upload,
                  const QString &cause);
    void releaseHeld();
    QFuture<QString> saveWhenReady(Scan *scan, QString filename);

    void onUserLoading();
    void onUserLoadingFailed();
    void onUserLoaded(const User &loadedUser);
    void onUserLoggedIn(const QString &token);
    void onUserLoggedOut();
    void onLoginUrlChanged(const QString &url);

    // Deleted in the service thread as that thread ends.
    QPointer<Api> api;
    Settings *settingsStore;
    Intervals intervals;
    std::optional<User> currentUser;
    bool loading = false;
    QString lastLoginUrl;
    QList<Scan *> scanList; // every scan, discarded ones too
    Scan *current = nullptr;
    QHash<const Scan *, ScanUploads> uploads;
    // Counts the log-ins and log-outs: a scan whose owner is not known yet goes only in the
    // session it was made in.
    int session = 0;
    // A 401 holds every upload until a user is loaded again.
    bool heldForLogIn = false;
    // Scans whose uploadFinished has gone out: it goes out once per scan.
    QSet<const Scan *> finishedScans;
};
