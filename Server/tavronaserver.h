#pragma once

#include "database.h"
#include "presign.h"
#include "serveroptions.h"
#include "storage.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrlQuery>

#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

namespace tavrona {

class RequestGuard;

struct HttpReply {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    static HttpReply json(const nlohmann::json &value, int status = 200);
    static HttpReply error(int status, const QString &message,
                           const nlohmann::json &details = nullptr);
    static HttpReply html(const QString &page, int status = 200);
};

struct HttpRequest {
    QByteArray method;
    QString path; // decoded, without the query
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;
    QString peer;
    QString baseUrl; // "http://host:port/" as the client reached us

    QByteArray header(const QByteArray &lowerName) const;
};

// The Tavrona service: the API the program calls, the presigned storage it uploads to, the
// browser pages (log-in confirmation, saved scans, crash reports) and the crash-report intake.
// Single-threaded: everything runs in the thread that owns the object.
class TavronaServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    explicit TavronaServer(ServerOptions options, QObject *parent = nullptr);
    ~TavronaServer() override;

    // Opens (or creates) the data folder and database, seeds the demo account and listens.
    bool start(QString *error);

    quint16 port() const { return m_port; }
    QString baseUrl() const;

    ServerOptions &options() { return m_options; }
    Database &database() { return m_db; }
    Storage &storage() { return m_storage; }
    const Presigner &presigner() const { return *m_presigner; }
    qint64 now() const;

    // The routing and the handlers, without the HTTP transport.
    HttpReply dispatch(const HttpRequest &request);

    static QString demoEmail() { return QStringLiteral("demo@tavrona.local"); }
    static QString hashSecret(const QString &secret);
    static QString randomHex(int bytes);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    qint64 bodyLimit(const QByteArray &method, const QByteArray &path) const;
    std::optional<User> authenticate(const HttpRequest &request, HttpReply *failure);
    std::optional<nlohmann::json> jsonBody(const HttpRequest &request, HttpReply *failure);
    std::optional<User> ownedContainer(const HttpRequest &request, const QString &containerId,
                                       HttpReply *failure);

    HttpReply startLogIn(const HttpRequest &request);
    HttpReply pollActivation(const HttpRequest &request);
    HttpReply revokeToken(const HttpRequest &request);
    HttpReply userInfo(const HttpRequest &request);
    HttpReply newContainer(const HttpRequest &request);
    HttpReply presignUpload(const HttpRequest &request, const QString &containerId);
    HttpReply saveScan(const HttpRequest &request, const QString &containerId);
    HttpReply storagePut(const HttpRequest &request, const QString &containerId,
                         const QString &path);
    HttpReply storagePost(const HttpRequest &request, const QString &containerId);
    HttpReply storeUpload(const QString &containerId, const QString &path, const QByteArray &data);
    HttpReply crashEnvelope(const HttpRequest &request, const QString &project);
    HttpReply activationPage(const HttpRequest &request, const QString &code);
    HttpReply scanPage(const QString &scanId);
    HttpReply scanImage(const QString &scanId, const QString &imageName);
    HttpReply crashReportList();
    HttpReply crashReportFile(const QString &id);

    ServerOptions m_options;
    Database m_db;
    Storage m_storage;
    std::unique_ptr<Presigner> m_presigner;
    RequestGuard *m_guard = nullptr;
    quint16 m_port = 0;
    quint64 m_presignCount = 0;
};

nlohmann::json userJson(const User &user);

} // namespace tavrona
