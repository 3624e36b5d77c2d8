// Load on tavrona-server from simulated programs: each client logs in, makes a container,
// uploads a scan of archives and its descriptor the way the program does (presign, then the
// transfer to the URL it got, with the ETag check) and saves it. Run against each back-end pair
// (SQLite and the data folder; PostgreSQL and an s3rver bucket) with one and with two server
// processes; with two, each client's requests alternate between them. Loopback only, bounded
// in clients, files and time; stops by itself.
//
//   bench_load_report [--clients 50] [--archives 10] [--archive-mb 2] [--deadline-s 900]
//                     [--pairs embedded,postgres+s3] [--instances 1,2]
//
// Figures: requests per second, MB/s of uploads, p50/p99 latency per endpoint, errors (goal 0),
// files lost (goal 0: every uploaded file read back from the store with its MD5). Then the
// saved parts made into pyramids by the servers' job pools: how many, and how long after the
// last save.

#include "objectstore.h"
#include "pgfixture.h"
#include "s3fixture.h"
#include "serverprocess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>

namespace {

using json = nlohmann::json;
using tavrona::LocalObjectStore;
using tavrona::makeObjectStore;
using tavrona::ObjectStore;

struct Settings {
    int clients = 50;
    int archives = 10;
    int archiveMb = 2;
    int deadlineS = 900;
    QStringList pairs{QStringLiteral("embedded"), QStringLiteral("postgres+s3")};
    QList<int> instances{1, 2};
};

// One scan every client uploads: archives of stored JPEG-named entries the save can check,
// and the descriptor that refers to every entry.
struct Package {
    QList<QPair<QString, QByteArray>> files; // container path, content (descriptor last)
    qint64 bytes = 0;

    explicit Package(const Settings &settings) {
        constexpr int entriesPerArchive = 20;
        const qsizetype entryBytes = (qsizetype(settings.archiveMb) << 20) / entriesPerArchive;
        json cells = json::array();
        QTemporaryDir dir;
        for (int a = 0; a < settings.archives; ++a) {
            const QString name = QStringLiteral("%1.dat").arg(a, 5, 10, QLatin1Char('0'));
            const QByteArray path = QFile::encodeName(dir.filePath(name));
            int error = 0;
            zip_t *zip = zip_open(path.constData(), ZIP_CREATE | ZIP_EXCL, &error);
            QList<QByteArray> keep; // the buffers live until zip_close
            for (int e = 0; e < entriesPerArchive; ++e) {
                QByteArray data(entryBytes, Qt::Uninitialized);
                QRandomGenerator generator(quint32(a * 1000 + e + 1));
                generator.fillRange(reinterpret_cast<quint32 *>(data.data()),
                                    data.size() / qsizetype(sizeof(quint32)));
                keep.append(data);
                const int cell = a * entriesPerArchive + e;
                const QByteArray entry = QByteArray::number(cell) + ".jpg";
                zip_source_t *source =
                    zip_source_buffer(zip, keep.last().constData(), zip_uint64_t(data.size()), 0);
                const zip_int64_t index = zip_file_add(zip, entry.constData(), source, 0);
                zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_STORE, 0);
                cells.push_back(
                    {(cell % 40) * 256, (cell / 40) * 256,
                     (name + QLatin1Char('/') + QString::fromLatin1(entry)).toStdString()});
            }
            zip_close(zip);
            QFile file(QString::fromLocal8Bit(path));
            file.open(QIODevice::ReadOnly);
            files.append({name, file.readAll()});
        }
        const int rows = (settings.archives * entriesPerArchive + 39) / 40;
        const json isd = {{"images",
                           {{{"type", "stitched"},
                             {"width", 40 * 256},
                             {"height", rows * 256},
                             {"parts", cells}}}},
                          {"layout", "horizontal"},
                          {"mpp", 0.25},
                          {"magnification", 40.0},
                          {"version", "1.0"}};
        files.append({QStringLiteral("scan.isd"), QByteArray::fromStdString(isd.dump())});
        for (const auto &[path, data] : files)
            bytes += data.size();
    }
};

struct Endpoint {
    QList<double> ms;
    int errors = 0;
    QStringList firstErrors;
};

double percentile(QList<double> values, double p) {
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype index = std::min<qsizetype>(values.size() - 1, qsizetype(p * values.size()));
    return values[index];
}

// The simulated programs, all in this thread, each with its own network access manager (its
// own connections, as separate programs would have).
class Run : public QObject {
public:
    Run(const Settings &settings, const Package &package, QList<QUrl> bases)
        : m_settings(settings)
        , m_package(package)
        , m_bases(std::move(bases)) {}

    std::map<QString, Endpoint> endpoints;
    QList<QPair<QString, QStringList>> containers; // container, files acknowledged by ETag
    QStringList scans;                             // the saved scans' ids
    int savedScans = 0;
    int failedClients = 0;
    qint64 uploadedBytes = 0;
    double seconds = 0;
    bool timedOut = false;

    void start() {
        m_timer.start();
        for (int i = 0; i < m_settings.clients; ++i) {
            auto client = std::make_shared<Client>();
            client->index = i;
            client->network = std::make_unique<QNetworkAccessManager>();
            client->network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
            m_clients.append(client);
            logIn(client);
        }
        m_running = m_settings.clients;
    }

    bool finished() const { return m_running == 0; }

private:
    struct Client {
        int index = 0;
        int request = 0; // picks the instance: requests alternate between them
        std::unique_ptr<QNetworkAccessManager> network;
        QByteArray token;
        QString container;
        QString activation;
        QStringList acknowledged;
        int nextFile = 0;
    };
    using ClientPtr = std::shared_ptr<Client>;

    QUrl base(const ClientPtr &client) {
        return m_bases[(client->index + client->request++) % m_bases.size()];
    }

    // Sends one request and hands its status and body to then; counts the endpoint.
    void call(const ClientPtr &client, const QString &endpoint, QNetworkReply *reply,
              std::function<void(int, const QByteArray &, QNetworkReply *)> then) {
        auto *timer = new QElapsedTimer;
        timer->start();
        QTimer::singleShot(120000, reply, [reply] { reply->abort(); });
        connect(reply, &QNetworkReply::finished, this, [=, this] {
            const double ms = double(timer->nsecsElapsed()) / 1e6;
            delete timer;
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QByteArray body = reply->readAll();
            Endpoint &e = endpoints[endpoint];
            e.ms.append(ms);
            reply->deleteLater();
            then(status, body, reply);
        });
        Q_UNUSED(client);
    }

    void fail(const ClientPtr &client, const QString &endpoint, const QString &why) {
        Endpoint &e = endpoints[endpoint];
        ++e.errors;
        if (e.firstErrors.size() < 3)
            e.firstErrors << why.left(200);
        ++failedClients;
        done(client);
    }

    void done(const ClientPtr &client) {
        if (!client->container.isEmpty())
            containers.append({client->container, client->acknowledged});
        client->network.release()->deleteLater();
        if (--m_running == 0)
            seconds = double(m_timer.nsecsElapsed()) / 1e9;
    }

    QNetworkRequest apiRequest(const ClientPtr &client, const QString &path) {
        QNetworkRequest request(base(client).resolved(QUrl(path)));
        request.setRawHeader("X-Api-token", client->token);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        return request;
    }

    void logIn(const ClientPtr &client) {
        call(client, QStringLiteral("POST /api/mireva/token"),
             client->network->post(apiRequest(client, QStringLiteral("/api/mireva/token")),
                                   QByteArray()),
             [=, this](int status, const QByteArray &body, QNetworkReply *) {
                 const json reply = json::parse(body.toStdString(), nullptr, false);
                 if (status != 200 || !reply.contains("activation_code"))
                     return fail(client, QStringLiteral("POST /api/mireva/token"),
                                 QStringLiteral("HTTP %1").arg(status));
                 client->activation =
                     QString::fromStdString(reply["activation_code"].get<std::string>());
                 poll(client);
             });
    }

    void poll(const ClientPtr &client) {
        const QByteArray body = QByteArray::fromStdString(
            json{{"activation_code", client->activation.toStdString()}}.dump());
        call(client, QStringLiteral("POST /api/token/activate"),
             client->network->post(apiRequest(client, QStringLiteral("/api/token/activate")), body),
             [=, this](int status, const QByteArray &answer, QNetworkReply *) {
                 if (status == 401) // not confirmed yet: the program polls again
                     return poll(client);
                 const json reply = json::parse(answer.toStdString(), nullptr, false);
                 if (status != 200 || !reply.contains("auth_token"))
                     return fail(client, QStringLiteral("POST /api/token/activate"),
                                 QStringLiteral("HTTP %1").arg(status));
                 client->token = QByteArray::fromStdString(reply["auth_token"].get<std::string>());
                 newContainer(client);
             });
    }

    void newContainer(const ClientPtr &client) {
        call(client, QStringLiteral("POST /api/mireva/container/new"),
             client->network->post(apiRequest(client, QStringLiteral("/api/mireva/container/new")),
                                   QByteArray()),
             [=, this](int status, const QByteArray &answer, QNetworkReply *) {
                 const json reply = json::parse(answer.toStdString(), nullptr, false);
                 if (status != 200 || !reply.contains("container_id"))
                     return fail(client, QStringLiteral("POST /api/mireva/container/new"),
                                 QStringLiteral("HTTP %1").arg(status));
                 client->container =
                     QString::fromStdString(reply["container_id"].get<std::string>());
                 presign(client);
             });
    }

    void presign(const ClientPtr &client) {
        if (client->nextFile >= m_package.files.size())
            return save(client);
        const auto &[path, data] = m_package.files[client->nextFile];
        const QByteArray body =
            QByteArray::fromStdString(json{{"files", {path.toStdString()}}}.dump());
        call(client, QStringLiteral("POST /api/mireva/container/{id}/presign_upload"),
             client->network->post(
                 apiRequest(client, QStringLiteral("/api/mireva/container/%1/presign_upload")
                                        .arg(client->container)),
                 body),
             [=, this](int status, const QByteArray &answer, QNetworkReply *) {
                 const json reply = json::parse(answer.toStdString(), nullptr, false);
                 if (status != 200 || !reply.contains("files"))
                     return fail(client,
                                 QStringLiteral("POST /api/mireva/container/{id}/presign_upload"),
                                 QStringLiteral("HTTP %1").arg(status));
                 transfer(client, reply["files"][0]);
             });
    }

    void transfer(const ClientPtr &client, const json &presigned) {
        const auto &[path, data] = m_package.files[client->nextFile];
        QNetworkRequest request(QUrl(QString::fromStdString(presigned["url"].get<std::string>())));
        for (const auto &[name, value] : presigned["headers"].items())
            request.setRawHeader(QByteArray::fromStdString(name),
                                 QByteArray::fromStdString(value.get<std::string>()));
        QNetworkReply *reply = nullptr;
        const bool put = presigned["method"] == "PUT";
        if (put) {
            reply = client->network->put(request, data);
        } else {
            auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
            for (const auto &[name, value] : presigned["data"].items()) {
                QHttpPart part;
                part.setHeader(
                    QNetworkRequest::ContentDispositionHeader,
                    QByteArray("form-data; name=\"" + QByteArray::fromStdString(name) + "\""));
                part.setBody(QByteArray::fromStdString(value.get<std::string>()));
                multi->append(part);
            }
            QHttpPart file;
            file.setHeader(QNetworkRequest::ContentDispositionHeader,
                           QByteArray("form-data; name=\"file\""));
            file.setBody(data);
            multi->append(file);
            reply = client->network->post(request, multi);
            multi->setParent(reply);
        }
        const QString endpoint =
            put ? QStringLiteral("PUT storage (presigned)") : QStringLiteral("POST storage (form)");
        const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
        call(client, endpoint, reply,
             [=, this](int status, const QByteArray &, QNetworkReply *finished) {
                 QByteArray etag = finished->rawHeader("ETag");
                 etag.replace('"', QByteArray());
                 if (status < 200 || status >= 300)
                     return fail(
                         client, endpoint,
                         QStringLiteral("HTTP %1 %2").arg(status).arg(finished->errorString()));
                 if (etag != md5)
                     return fail(client, endpoint,
                                 QStringLiteral("ETag %1").arg(QString::fromLatin1(etag)));
                 client->acknowledged << path;
                 uploadedBytes += data.size();
                 ++client->nextFile;
                 presign(client);
             });
    }

    void save(const ClientPtr &client) {
        const QByteArray body = QByteArray::fromStdString(json{
            {"file_name", "load " + std::to_string(client->index)},
            {"type", "isd_file"}}.dump());
        call(client, QStringLiteral("POST /api/mireva/container/{id}/save"),
             client->network->post(
                 apiRequest(client,
                            QStringLiteral("/api/mireva/container/%1/save").arg(client->container)),
                 body),
             [=, this](int status, const QByteArray &answer, QNetworkReply *) {
                 const json reply = json::parse(answer.toStdString(), nullptr, false);
                 if (status != 200 || !reply.contains("view_url"))
                     return fail(client, QStringLiteral("POST /api/mireva/container/{id}/save"),
                                 QStringLiteral("HTTP %1 %2")
                                     .arg(status)
                                     .arg(QString::fromUtf8(answer.left(200))));
                 ++savedScans;
                 if (reply.contains("scan_id"))
                     scans << QString::fromStdString(reply["scan_id"].get<std::string>());
                 done(client);
             });
    }

    const Settings &m_settings;
    const Package &m_package;
    QList<QUrl> m_bases;
    QList<ClientPtr> m_clients;
    int m_running = 0;
    QElapsedTimer m_timer;
};

struct Outcome {
    QString pair;
    int instances = 0;
    QString problem; // set when the configuration could not run
    std::map<QString, Endpoint> endpoints;
    int requests = 0;
    int errors = 0;
    int lost = 0;
    int saved = 0;
    double seconds = 0;
    double mbPerSecond = 0;
    int partsReady = 0;
    int partsFailed = 0;
    int parts = 0;
    double partsSeconds = 0; // from the last save to the last part made
};

// Polls the saved scans' status, alternating between the servers, until every part is ready or
// failed or the time is up.
void waitForParts(const QStringList &scans, const QList<QUrl> &bases, qint64 limitMs,
                  Outcome *outcome) {
    QNetworkAccessManager network;
    QHash<QString, QString> states; // "scan/part" → state
    QStringList open = scans;
    QElapsedTimer timer;
    timer.start();
    int round = 0;
    while (!open.isEmpty() && timer.elapsed() < limitMs) {
        QStringList still;
        for (const QString &scan : open) {
            QNetworkReply *reply =
                network.get(QNetworkRequest(bases[(round++) % bases.size()].resolved(
                    QUrl(QStringLiteral("/scans/%1/status").arg(scan)))));
            QEventLoop loop;
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            loop.exec();
            const json status = json::parse(reply->readAll().toStdString(), nullptr, false);
            reply->deleteLater();
            bool finished = status.is_object() && status.contains("parts");
            if (finished) {
                int index = 0;
                for (const json &part : status["parts"]) {
                    const std::string state = part.value("state", "");
                    states.insert(QStringLiteral("%1/%2").arg(scan).arg(index++),
                                  QString::fromStdString(state));
                    finished = finished && (state == "ready" || state == "failed");
                }
            }
            if (!finished)
                still << scan;
        }
        open = still;
        if (!open.isEmpty())
            QThread::msleep(500);
    }
    outcome->partsSeconds = double(timer.elapsed()) / 1000;
    outcome->parts = int(states.size());
    for (const QString &state : std::as_const(states)) {
        outcome->partsReady += int(state == QLatin1String("ready"));
        outcome->partsFailed += int(state == QLatin1String("failed"));
    }
    if (!open.isEmpty() && outcome->problem.isEmpty())
        outcome->problem = QStringLiteral("%1 scan(s) still had parts to make when the time was up")
                               .arg(open.size());
}

// Every file a client had acknowledged (ETag matched) is read back from the store.
int countLost(ObjectStore &store, const QList<QPair<QString, QStringList>> &containers,
              const Package &package) {
    QHash<QString, QByteArray> md5;
    for (const auto &[path, data] : package.files)
        md5.insert(path, QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
    int lost = 0;
    for (const auto &[container, files] : containers) {
        for (const QString &path : files) {
            QString error;
            const auto data =
                store.read(QStringLiteral("containers/%1/%2").arg(container, path), 0, -1, &error);
            if (!data ||
                QCryptographicHash::hash(*data, QCryptographicHash::Md5).toHex() != md5.value(path))
                ++lost;
        }
    }
    return lost;
}

Outcome runOne(const Settings &settings, const Package &package, const QString &pair, int instances,
               const QString &program) {
    Outcome outcome;
    outcome.pair = pair;
    outcome.instances = instances;
    QTemporaryDir data;
    fixture::PostgresCluster postgres;
    fixture::S3rver s3;
    QStringList extra{QStringLiteral("--auto-confirm"), QStringLiteral("--max-upload-mb"),
                      QString::number(settings.archiveMb * 2 + 1)};
    std::unique_ptr<ObjectStore> store;
    QString error;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (pair == QLatin1String("postgres+s3")) {
        if (!postgres.start(&error) || !s3.start({QStringLiteral("tavrona")}, &error)) {
            outcome.problem = error;
            return outcome;
        }
        const QString database = postgres.createDatabase(&error);
        if (database.isEmpty()) {
            outcome.problem = error;
            return outcome;
        }
        const QString storage = s3.storageUrl(QStringLiteral("tavrona"));
        extra << QStringLiteral("--database") << postgres.url(database)
              << QStringLiteral("--storage") << storage;
        qputenv("AWS_ACCESS_KEY_ID", fixture::S3rver::accessKeyId);
        qputenv("AWS_SECRET_ACCESS_KEY", fixture::S3rver::secretAccessKey);
        store = makeObjectStore(storage, {}, {}, &error);
    } else {
        store = std::make_unique<LocalObjectStore>(data.path());
    }
    // Servers log a line per request to standard error: drop them, a pipe left unread would
    // stall them.
    QList<std::shared_ptr<QProcess>> servers;
    QList<QUrl> bases;
    for (int i = 0; i < instances; ++i) {
        auto server = std::make_shared<QProcess>();
        server->setStandardErrorFile(QProcess::nullDevice());
        // With the embedded pair, the instances share the data folder and its SQLite file.
        const QString url = tavrona::startServer(*server, program, data.path(), extra);
        if (url.isEmpty()) {
            outcome.problem = QStringLiteral("tavrona-server did not start");
            return outcome;
        }
        servers.append(server);
        bases.append(QUrl(url));
    }

    Run run(settings, package, bases);
    run.start();
    QElapsedTimer deadline;
    deadline.start();
    while (!run.finished() && deadline.elapsed() < qint64(settings.deadlineS) * 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (!run.finished()) {
        outcome.problem = QStringLiteral("stopped at the deadline of %1 s").arg(settings.deadlineS);
        run.seconds = double(deadline.elapsed()) / 1000;
    }
    outcome.endpoints = run.endpoints;
    for (const auto &[name, endpoint] : run.endpoints) {
        outcome.requests += int(endpoint.ms.size());
        outcome.errors += endpoint.errors;
    }
    outcome.saved = run.savedScans;
    outcome.seconds = run.seconds;
    outcome.mbPerSecond = run.seconds > 0 ? double(run.uploadedBytes) / 1e6 / run.seconds : 0;
    outcome.lost = store ? countLost(*store, run.containers, package) : -1;
    if (run.finished())
        waitForParts(
            run.scans, bases,
            std::max<qint64>(10000, qint64(settings.deadlineS) * 1000 - deadline.elapsed()),
            &outcome);
    for (auto &server : servers) {
        server->terminate();
        if (!server->waitForFinished(10000))
            server->kill();
    }
    return outcome;
}

void print(const Outcome &o) {
    std::printf("\n%s, %d instance%s\n", qPrintable(o.pair), o.instances,
                o.instances > 1 ? "s" : "");
    if (!o.problem.isEmpty())
        std::printf("  problem: %s\n", qPrintable(o.problem));
    std::printf("  %d requests in %.1f s: %.1f requests/s; uploads %.1f MB/s; %d scans saved; "
                "errors %d; files lost %d\n",
                o.requests, o.seconds, o.seconds > 0 ? o.requests / o.seconds : 0.0, o.mbPerSecond,
                o.saved, o.errors, o.lost);
    std::printf(
        "  parts made into pyramids: %d ready, %d failed of %d, %.1f s after the last save\n",
        o.partsReady, o.partsFailed, o.parts, o.partsSeconds);
    std::printf("  %-48s %7s %9s %9s %6s\n", "endpoint", "count", "p50 ms", "p99 ms", "errors");
    for (const auto &[name, e] : o.endpoints) {
        std::printf("  %-48s %7d %9.1f %9.1f %6d\n", qPrintable(name), int(e.ms.size()),
                    percentile(e.ms, 0.5), percentile(e.ms, 0.99), e.errors);
        for (const QString &why : e.firstErrors)
            std::printf("      %s\n", qPrintable(why));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Load on tavrona-server from simulated programs."));
    parser.addHelpOption();
    const QCommandLineOption clients(QStringLiteral("clients"),
                                     QStringLiteral("Simulated programs."), QStringLiteral("n"),
                                     QStringLiteral("50"));
    const QCommandLineOption archives(QStringLiteral("archives"),
                                      QStringLiteral("Archives per scan."), QStringLiteral("n"),
                                      QStringLiteral("10"));
    const QCommandLineOption archiveMb(QStringLiteral("archive-mb"),
                                       QStringLiteral("Size of an archive in MiB."),
                                       QStringLiteral("MiB"), QStringLiteral("2"));
    const QCommandLineOption deadline(QStringLiteral("deadline-s"),
                                      QStringLiteral("Longest run of one configuration."),
                                      QStringLiteral("s"), QStringLiteral("900"));
    const QCommandLineOption pairs(QStringLiteral("pairs"),
                                   QStringLiteral("Back-end pairs: embedded, postgres+s3."),
                                   QStringLiteral("list"), QStringLiteral("embedded,postgres+s3"));
    const QCommandLineOption instances(QStringLiteral("instances"),
                                       QStringLiteral("Server processes, as a list."),
                                       QStringLiteral("list"), QStringLiteral("1,2"));
    parser.addOptions({clients, archives, archiveMb, deadline, pairs, instances});
    parser.process(app);

    Settings settings;
    settings.clients = std::clamp(parser.value(clients).toInt(), 1, 500);
    settings.archives = std::clamp(parser.value(archives).toInt(), 1, 100);
    settings.archiveMb = std::clamp(parser.value(archiveMb).toInt(), 1, 64);
    settings.deadlineS = std::clamp(parser.value(deadline).toInt(), 10, 3600);
    settings.pairs = parser.value(pairs).split(QLatin1Char(','), Qt::SkipEmptyParts);
    settings.instances.clear();
    for (const QString &n : parser.value(instances).split(QLatin1Char(','), Qt::SkipEmptyParts))
        settings.instances.append(std::clamp(n.toInt(), 1, 8));

    const QString program =
        QCoreApplication::applicationDirPath() + QStringLiteral("/tavrona-server");
    const Package package(settings);
    std::printf("tavrona-server load, %s, %s, %d cores\n",
                qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                qPrintable(QSysInfo::prettyProductName()), QThread::idealThreadCount());
    std::printf("%d clients, each: log-in, container, %d archives of %d MiB and scan.isd "
                "(%.1f MB a scan), save\n",
                settings.clients, settings.archives, settings.archiveMb, package.bytes / 1e6);
    bool clean = true;
    for (const QString &pair : settings.pairs)
        for (const int n : settings.instances) {
            const Outcome outcome = runOne(settings, package, pair, n, program);
            print(outcome);
            clean = clean && outcome.problem.isEmpty() && outcome.errors == 0 &&
                    outcome.lost == 0 && outcome.saved == settings.clients &&
                    outcome.partsFailed == 0 && outcome.partsReady == outcome.parts;
        }
    return clean ? 0 : 1;
}
