#pragma once

#include <QException>
#include <QFuture>
#include <QMetaType>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <nlohmann/json.hpp>

class QNetworkReply;

using json = nlohmann::json;

// A failure of the service or of the network. Travels inside futures; the user-facing text is
// `message`, never what().
class ApiException : public QException {
public:
    explicit ApiException(QString message, int statusCode = 0)
        : message(std::move(message))
        , statusCode(statusCode) {}

    void raise() const override { throw *this; }
    ApiException *clone() const override { return new ApiException(*this); }
    const char *what() const noexcept override { return "Unknown exception"; }

    QString message;
    // HTTP status of the failed reply; 0 when there was none or the error was raised locally.
    int statusCode = 0;
};

enum NetworkRequestType { Get = 0, Post = 1 };

// How one upload attempt ended, and what is worth trying next.
struct UploadResult {
    enum Outcome {
        Stored,       // stored, with the ETag of the local file
        Failed,       // may work later: the network, the service's own trouble, a bad reply
        Permanent,    // will not work however often it is tried (400, 404, 413, no local file)
        Unauthorized, // the log-in has ended (401)
        Forbidden,    // refused (403): may work with a fresh presigned request, once
    };
    Outcome outcome = Failed;
    int status = 0; // the HTTP status that decided it; 0 without one
    // What went wrong, short and the same for the same fault ("storage HTTP 500"): failures
    // are reported by it, once.
    QString cause;
    QString etag; // when stored: the verified ETag

    // The outcome an HTTP error status stands for.
    static Outcome outcomeOf(int status);
};

// The logged-in user as the service describes it.
class User {
    Q_GADGET
    Q_PROPERTY(QString email MEMBER email)
    Q_PROPERTY(QString firstName MEMBER firstName)
    Q_PROPERTY(QString lastName MEMBER lastName)
    Q_PROPERTY(QString organizationName MEMBER organizationName)
    Q_PROPERTY(QString targetFolderName MEMBER targetFolderName)

public:
    QString email;
    QString firstName;
    QString lastName;
    QString organizationName;
    QString targetFolderName;

    bool operator==(const User &) const = default;
};
Q_DECLARE_METATYPE(User)

// The client of the Tavrona service. Lives in the service thread: every slot, timer and reply
// continuation runs there, so its state needs no lock.
class Api : public QObject {
    Q_OBJECT

public:
    static constexpr int defaultPollIntervalMs = 4000;
    // A request that moves no byte for this long is cut.
    static constexpr int defaultTransferTimeoutMs = 60000;

    // With a non-empty token the user is queried at once, so a stored token is validated at start.
    Api(QUrl apiUrl, QString apiToken, int pollIntervalMs = defaultPollIntervalMs,
        int transferTimeoutMs = defaultTransferTimeoutMs);

    QFuture<QString> newContainer();
    // Stored when the storage took the file and answered with the ETag of the local file; a
    // reply without an ETag is a failed upload. Never ends with an exception: every failure is
    // a result that says whether trying again can help.
    QFuture<UploadResult> uploadFile(QString containerID, QString containerPath, QString filePath);
    QFuture<QString> saveScan(QString containerID, QString filename);

    // Lower-case hexadecimal MD5 of the file; empty when it cannot be read.
    static QString calculateETag(const QString &filePath);
    // True only when the reply carries an ETag equal to the expected one.
    static bool verifyETag(QNetworkReply *reply, const QString &expected);
    // Throws nlohmann's type_error when a field is missing or not a string.
    static User parseUser(json reply);

signals:
    void apiError(QString message);
    void userLoading();
    void userLoaded(User user);
    void userLoadingFailed();
    void userLoggedIn(QString apiToken);
    void userLoggedOut();
    void loginUrlChanged(QString loginUrl);

public slots:
    void queryUser();
    void logOut();
    void logIn();
    void cancelLogIn();

private slots:
    void checkLogIn();

private:
    friend class TestApi;

    QFuture<json> apiCall(QUrl url, json body, NetworkRequestType type);
    QFuture<UploadResult> sendToStorage(const json &presign, const QString &filePath,
                                        const QString &expectedETag);
    // Whether the file may go to the storage address the service gave; a refusal is logged and
    // told to the user.
    bool storageUrlAllowed(const QUrl &url, const QString &filePath);
    // Ends a log-in whose reply the client cannot use, so the panel does not wait for ever.
    void failLogIn(const QString &reason);

    QUrl apiUrl;
    QString apiToken;
    QString activationCode;
    // The start of a log-in is on its way: a poll that comes first must wait for it, or a slow
    // reply would end the log-in before the browser even opened.
    bool logInStarting = false;
    int pollIntervalMs;
    QNetworkAccessManager *network;
    // Refused storage addresses already told to the user.
    QSet<QString> reportedRefusals;
};
