#include "tavronaserver.h"

#include "jobs.h"
#include "pages.h"
#include "pyramid.h"
#include "requestguard.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

#include <memory>

namespace tavrona {

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 202:
        return "Accepted";
    case 206:
        return "Partial Content";
    case 304:
        return "Not Modified";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    default:
        return status < 400 ? "OK" : "Error";
    }
}

// Sends a byte range of a file as the socket drains, so a large download neither sits in
// memory nor holds up the thread. Ends with the socket.
class FileStreamer : public QObject {
public:
    FileStreamer(QTcpSocket *socket, const FileBody &body)
        : QObject(socket)
        , m_socket(socket)
        , m_file(body.path)
        , m_left(body.length) {
        if (!m_file.open(QIODevice::ReadOnly) || !m_file.seek(body.offset)) {
            m_socket->abort();
            deleteLater();
            return;
        }
        connect(socket, &QTcpSocket::bytesWritten, this, &FileStreamer::pump);
        pump();
    }

private:
    void pump() {
        constexpr qint64 chunk = 256 * 1024;
        while (m_left > 0 && m_socket->bytesToWrite() < 2 * chunk) {
            const QByteArray data = m_file.read(std::min(chunk, m_left));
            if (data.isEmpty()) {
                m_socket->abort(); // the file shrank under us: the length we sent is wrong
                break;
            }
            m_socket->write(data);
            m_left -= data.size();
        }
        if (m_left <= 0 || m_socket->state() != QAbstractSocket::ConnectedState) {
            disconnect(m_socket, nullptr, this, nullptr);
            deleteLater();
        }
    }

    QTcpSocket *m_socket;
    QFile m_file;
    qint64 m_left;
};

} // namespace

TavronaServer::TavronaServer(ServerOptions options, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_context(std::move(options)) {
    addRoutes();
}

TavronaServer::~TavronaServer() {
    // Running builds are given back to the queue before the records close.
    if (m_jobs)
        m_jobs->stop();
    m_context.jobs = nullptr;
}

// The whole service at a glance. A route is one line: method, path pattern, the body it takes,
// the handler, and who may call it.
void TavronaServer::addRoutes() {
    Router &r = m_router;
    r.add("GET", "/", Body::None, [](const HttpRequest &request) {
        return HttpReply::html(pages::index(request.baseUrl));
    });

    r.add("POST", "/api/mireva/token", Body::Json, &m_logIn, &LogInHandlers::start);
    r.add("POST", "/api/token/activate", Body::Json, &m_logIn, &LogInHandlers::poll);
    r.add("POST", "/api/token/revoke", Body::Json, &m_logIn, &LogInHandlers::revoke);
    r.add("GET", "/api/mireva/info", Body::None, &m_logIn, &LogInHandlers::info);
    r.add("GET", "/activate/{code}", Body::None, &m_logIn, &LogInHandlers::activationPage);
    r.add("POST", "/activate/{code}", Body::Form, &m_logIn, &LogInHandlers::activationPage);

    r.add("POST", "/api/mireva/container/new", Body::Json, &m_containers,
          &ContainerHandlers::create);
    r.add("POST", "/api/mireva/container/{container}/presign_upload", Body::Json, &m_containers,
          &ContainerHandlers::presign);
    r.add("POST", "/storage/{container}", Body::UploadForm, &m_containers,
          &ContainerHandlers::post);
    r.add("PUT", "/storage/{container}/{path*}", Body::Upload, &m_containers,
          &ContainerHandlers::put);

    r.add("POST", "/api/mireva/container/{container}/save", Body::Json, &m_scans,
          &ScanHandlers::save);
    r.add("GET", "/scans/{scan}", Body::None, &m_scans, &ScanHandlers::page);
    r.add("GET", "/scans/{scan}/status", Body::None, &m_scans, &ScanHandlers::status);
    r.add("GET", "/scans/{scan}/images/{image}", Body::None, &m_scans, &ScanHandlers::image);
    r.add("GET", "/scans/{scan}/parts/{part}.dzi", Body::None, &m_scans, &ScanHandlers::dzi);
    r.add("GET", "/scans/{scan}/parts/{part}_files/{level}/{col}_{row}.jpeg", Body::None, &m_scans,
          &ScanHandlers::tile);
    r.add("GET", "/scans/{scan}/parts/{part}.ome.tif", Body::None, &m_scans,
          &ScanHandlers::omeTiff);
    r.add("GET", "/scans/{scan}/package.zip", Body::None, &m_scans, &ScanHandlers::package);
    r.add("GET", "/viewer/{file*}", Body::None, &m_scans, &ScanHandlers::viewerFile);

    // The SDKs post to the endpoint with and without the final slash.
    r.add("POST", "/api/{project}/envelope/", Body::Envelope, &m_crashReports,
          &CrashReportHandlers::envelope);
    r.add("POST", "/api/{project}/envelope", Body::Envelope, &m_crashReports,
          &CrashReportHandlers::envelope);
    // Reports carry users' e-mail addresses and logs: only this machine may read them, also
    // when the service listens on the network.
    r.add("GET", "/crash-reports", Body::None, &m_crashReports, &CrashReportHandlers::list,
          Access::ThisMachine);
    r.add("GET", "/crash-reports/{report}", Body::None, &m_crashReports, &CrashReportHandlers::file,
          Access::ThisMachine);
}

QString TavronaServer::baseUrl() const {
    const QHostAddress &address = m_context.options.address;
    const QString host = address == QHostAddress::AnyIPv4 || address == QHostAddress::Any
                             ? QStringLiteral("127.0.0.1")
                             : address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(m_port);
}

bool TavronaServer::start(QString *error) {
    const QString root = m_context.options.dataDir;
    if (root.isEmpty() || !QDir().mkpath(root)) {
        *error = QStringLiteral("Cannot create the data folder \"%1\"").arg(root);
        return false;
    }
    QFile::setPermissions(root,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    for (const char *sub : {"containers", "cache", "crash-reports"})
        QDir(root).mkpath(QLatin1String(sub));

    QString storeError;
    m_context.store = makeObjectStore(m_context.options.storage, root,
                                      m_context.options.storageCredentials, &storeError);
    if (!m_context.store) {
        *error = QStringLiteral("Cannot use the storage: %1").arg(storeError);
        return false;
    }
    if (!m_context.store->check(&storeError)) {
        *error = QStringLiteral("Cannot use the storage (%1): %2")
                     .arg(m_context.store->describe(), storeError);
        return false;
    }
    m_context.storage.setStore(m_context.store.get());
    m_context.storage.setScratch(root + QStringLiteral("/cache/store"));

    QString dbError;
    DatabaseConfig dbConfig = DatabaseConfig::sqlite(root + QStringLiteral("/tavrona.sqlite"));
    if (!m_context.options.database.isEmpty()) {
        const auto parsed = DatabaseConfig::fromUrl(m_context.options.database, &dbError);
        if (!parsed) {
            *error = QStringLiteral("Cannot open the database: %1").arg(dbError);
            return false;
        }
        dbConfig = *parsed;
    }
    if (!m_context.db.open(dbConfig, &dbError)) {
        *error =
            QStringLiteral("Cannot open the database (%1): %2").arg(dbConfig.describe(), dbError);
        return false;
    }
    // Every server on the database signs with the key the first one stored.
    const QByteArray key =
        QByteArray::fromHex(m_context.db
                                .sharedMeta(QStringLiteral("signing_key"),
                                            QString::fromLatin1(Presigner::newKey().toHex()))
                                .toLatin1());
    if (key.size() < 32) {
        *error = QStringLiteral("Cannot store the signing key: %1").arg(m_context.db.lastError());
        return false;
    }
    m_context.presigner = std::make_unique<Presigner>(key);

    if (!m_context.db.userByEmail(demoEmail())) {
        User demo;
        demo.email = demoEmail();
        demo.firstName = QStringLiteral("Demo");
        demo.lastName = QStringLiteral("User");
        demo.organization = QStringLiteral("Tavrona Demo Lab");
        if (!m_context.db.createUser(demo)) {
            *error =
                QStringLiteral("Cannot create the demo account: %1").arg(m_context.db.lastError());
            return false;
        }
    }
    m_context.db.removeExpiredActivations(now());
    if (!startJobs(root, error))
        return false;

    m_guard = new RequestGuard([this](const QByteArray &method,
                                      const QByteArray &path) { return bodyLimit(method, path); },
                               this);
    connect(m_guard, &RequestGuard::requestRejected, this,
            [](const QString &peer, const QByteArray &method, const QByteArray &path, int status) {
                qInfo().noquote() << peer
                                  << QStringLiteral("\"%1 %2\"")
                                         .arg(QString::fromLatin1(method), QString::fromUtf8(path))
                                  << status << "refused before reading the body";
            });
    if (!m_guard->listen(m_context.options.address, m_context.options.port)) {
        *error = QStringLiteral("Cannot listen on %1 port %2: %3")
                     .arg(m_context.options.address.toString())
                     .arg(m_context.options.port)
                     .arg(m_guard->errorString());
        return false;
    }
    m_port = m_guard->serverPort();
    bind(m_guard);
    return true;
}

// Parts are made by the job pool. Jobs this data folder's server left running when it stopped
// go back to the queue; scans saved before parts were made into pyramids get their jobs once.
bool TavronaServer::startJobs(const QString &root, QString *error) {
    QFile instanceFile(root + QStringLiteral("/instance-id"));
    QString instance;
    if (instanceFile.open(QIODevice::ReadOnly))
        instance = QString::fromLatin1(instanceFile.readAll()).trimmed();
    instanceFile.close();
    if (!Storage::isContainerId(instance)) {
        instance = randomHex(16);
        if (!instanceFile.open(QIODevice::WriteOnly) ||
            instanceFile.write(instance.toLatin1()) < 0) {
            *error = QStringLiteral("Cannot write \"%1\"").arg(instanceFile.fileName());
            return false;
        }
        instanceFile.close();
    }
    Database &db = m_context.db;
    const qint64 clock = QDateTime::currentSecsSinceEpoch();
    const int resumed = db.requeueJobsOwnedBy(instance + QLatin1Char(':'), clock);
    if (resumed > 0)
        qInfo().noquote() << "Resuming" << resumed << "part(s) left unfinished";
    if (db.meta(QStringLiteral("part_jobs")) != QLatin1String("1")) {
        for (const ScanRecord &scan : db.scansWithoutJobs()) {
            ScanDescriptor descriptor;
            QString problem;
            if (parseScanDescriptor(scan.descriptor.toUtf8(), &descriptor, &problem))
                db.addJobs(scan.id, stitchedParts(descriptor), clock);
        }
        db.setMeta(QStringLiteral("part_jobs"), QStringLiteral("1"));
    }

    const ServerOptions &options = m_context.options;
    const int cores = QThread::idealThreadCount();
    initImaging(options.imagingThreads > 0 ? options.imagingThreads : cores);
    JobPoolOptions pool;
    pool.database = m_context.db.config();
    pool.owner = instance + QLatin1Char(':') + randomHex(4);
    pool.threads = options.jobThreads > 0 ? options.jobThreads : JobPool::defaultThreads(cores);
    pool.leaseSecs = options.jobLeaseSecs;
    m_jobs = std::make_unique<JobPool>(pool, m_context.storage);
    m_context.jobs = m_jobs.get();
    m_jobs->start();
    return true;
}

qint64 TavronaServer::bodyLimit(const QByteArray &method, const QByteArray &rawPath) const {
    const Router::Match match = m_router.match(method, rawPath);
    // A request no route takes may carry a small body; it is answered 404 or 405.
    if (!match.route)
        return 64 * 1024;
    const ServerOptions &options = m_context.options;
    switch (match.route->body) {
    case Body::None:
        return 0;
    case Body::Form:
        return 16 * 1024;
    case Body::Json:
        return options.maxApiBodyBytes;
    case Body::Upload:
        return options.maxUploadBytes;
    case Body::UploadForm:
        return options.maxUploadBytes + 64 * 1024; // room for the form fields
    case Body::Envelope:
        return options.maxEnvelopeBytes;
    }
    return 0;
}

bool TavronaServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
    QElapsedTimer timer;
    timer.start();

    HttpRequest req;
    switch (request.method()) {
    case QHttpServerRequest::Method::Get:
        req.method = "GET";
        break;
    case QHttpServerRequest::Method::Head:
        req.method = "HEAD";
        break;
    case QHttpServerRequest::Method::Post:
        req.method = "POST";
        break;
    case QHttpServerRequest::Method::Put:
        req.method = "PUT";
        break;
    case QHttpServerRequest::Method::Delete:
        req.method = "DELETE";
        break;
    default:
        req.method = "OTHER";
        break;
    }
    req.rawPath = request.url().path(QUrl::FullyEncoded).toLatin1();
    req.path = request.url().path(QUrl::FullyDecoded);
    req.query = QUrlQuery(request.url());
    for (const auto &[name, value] : request.headers())
        req.headers.append({name.toLower(), value});
    req.body = request.body();
    req.peer = request.remoteAddress().toString();

    // Links we hand out use the host the client used to reach us, when it is a plain host.
    static const QRegularExpression plainHost(
        QStringLiteral("^[A-Za-z0-9.\\-]+(:[0-9]{1,5})?$|"
                       "^\\[[0-9A-Fa-f:.]+\\](:[0-9]{1,5})?$"));
    const QString host = QString::fromLatin1(req.header("host"));
    req.baseUrl =
        plainHost.match(host).hasMatch() ? QStringLiteral("http://%1/").arg(host) : baseUrl();

    const QString peer = req.peer;
    const QByteArray method = req.method;
    const QByteArray rawPath = req.rawPath;
    HttpReply reply;
    try {
        reply = dispatch(std::move(req));
    } catch (const std::exception &e) {
        qWarning().noquote() << "Request failed:" << e.what();
        reply = HttpReply::error(500, QStringLiteral("internal error"));
    }

    auto log = [peer, method, rawPath, timer](const HttpReply &written) {
        // One line per request; the query is left out since it may hold a signature.
        qInfo().noquote() << peer
                          << QStringLiteral("\"%1 %2\"")
                                 .arg(QString::fromLatin1(method), QString::fromLatin1(rawPath))
                          << written.status
                          << (written.file ? written.file->length : written.body.size())
                          << QStringLiteral("%1ms").arg(timer.elapsed());
    };
    if (reply.pending) {
        // Answered when the work is done; the responder waits with it, the thread goes on.
        auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
        QPointer<QTcpSocket> alive(socket);
        reply.pending->deliverTo([this, responder, alive, log](HttpReply done) {
            QMetaObject::invokeMethod(
                this,
                [this, responder, alive, log, done = std::move(done)]() mutable {
                    if (!alive) // the client went away meanwhile
                        return;
                    writeReply(done, std::move(*responder), alive);
                    log(done);
                },
                Qt::QueuedConnection);
        });
        return true;
    }
    writeReply(reply, makeResponder(request, socket), socket);
    log(reply);
    return true;
}

void TavronaServer::writeReply(const HttpReply &reply, QHttpServerResponder &&responder,
                               QTcpSocket *socket) {
    if (reply.file) {
        // Written by hand: the responder takes no header list built at run time with a stream.
        QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' +
                          reasonPhrase(reply.status) + "\r\nContent-Type: " + reply.contentType +
                          "\r\nContent-Length: " + QByteArray::number(reply.file->length) + "\r\n";
        for (const auto &[name, value] : reply.headers)
            head += name + ": " + value + "\r\n";
        socket->write(head + "\r\n");
        new FileStreamer(socket, *reply.file);
        return;
    }
    QHttpServerResponse response(reply.contentType, reply.body,
                                 QHttpServerResponse::StatusCode(reply.status));
    for (const auto &[name, value] : reply.headers)
        response.addHeader(name, value);
    response.write(std::move(responder));
}

void TavronaServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
    QHttpServerResponse response("application/json", "{\"error\":\"not found\"}",
                                 QHttpServerResponse::StatusCode::NotFound);
    response.write(makeResponder(request, socket));
}

HttpReply TavronaServer::dispatch(HttpRequest request) {
    Router::Match match = m_router.match(request.method, request.rawPath);
    if (!match.route) {
        if (!match.allowed.isEmpty()) {
            HttpReply reply = HttpReply::error(405, QStringLiteral("method not allowed"));
            reply.headers.append({"Allow", match.allowed.join(", ")});
            return reply;
        }
        if (request.rawPath.startsWith("/api/"))
            return HttpReply::error(404, QStringLiteral("no such endpoint"));
        if (request.method == "GET")
            return HttpReply::html(
                pages::message(QStringLiteral("Not found"),
                               QStringLiteral("There is nothing at this address.")),
                404);
        return HttpReply::error(404, QStringLiteral("not found"));
    }
    if (match.route->access == Access::ThisMachine && !QHostAddress(request.peer).isLoopback())
        return HttpReply::html(pages::message(QStringLiteral("Forbidden"),
                                              QStringLiteral("This page can only be read on the "
                                                             "service's own machine.")),
                               403);
    request.params = std::move(match.params);
    return match.route->handler(request);
}

} // namespace tavrona
