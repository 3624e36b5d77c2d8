#pragma once

#include "handlers/containers.h"
#include "handlers/crashreports.h"
#include "handlers/login.h"
#include "handlers/scans.h"
#include "http.h"
#include "router.h"
#include "servicecontext.h"

#include <QAbstractHttpServer>
#include <QHttpServerResponder>

#include <memory>

namespace tavrona {

class JobPool;
class RequestGuard;

// The Tavrona service: the API the program calls, the presigned storage it uploads to, the
// browser pages (log-in confirmation, saved scans, crash reports) and the crash-report intake.
// The routes are one table (see addRoutes); the handlers of each resource live in handlers/.
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

    ServerOptions &options() { return m_context.options; }
    Database &database() { return m_context.db; }
    Storage &storage() { return m_context.storage; }
    const Presigner &presigner() const { return *m_context.presigner; }
    qint64 now() const { return m_context.now(); }
    const Router &router() const { return m_router; }
    JobPool *jobs() { return m_jobs.get(); }

    // The routing and the handlers, without the HTTP transport.
    HttpReply dispatch(HttpRequest request);

    static QString demoEmail() { return ServiceContext::demoEmail(); }
    static QString hashSecret(const QString &secret) { return ServiceContext::hashSecret(secret); }
    static QString randomHex(int bytes) { return ServiceContext::randomHex(bytes); }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    void addRoutes();
    bool startJobs(const QString &root, QString *error);
    void writeReply(const HttpReply &reply, QHttpServerResponder &&responder, QTcpSocket *socket);
    qint64 bodyLimit(const QByteArray &method, const QByteArray &rawPath) const;

    ServiceContext m_context;
    LogInHandlers m_logIn{m_context};
    ContainerHandlers m_containers{m_context};
    ScanHandlers m_scans{m_context};
    CrashReportHandlers m_crashReports{m_context};
    Router m_router;
    RequestGuard *m_guard = nullptr;
    std::unique_ptr<JobPool> m_jobs;
    quint16 m_port = 0;
};

} // namespace tavrona
