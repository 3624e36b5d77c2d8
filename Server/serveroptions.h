#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <functional>

class QCommandLineParser;

namespace tavrona {

// How presigned uploads are handed out: the client has two storage paths (raw PUT and
// multipart form POST) and a lab wants both exercised.
enum class UploadMethod { Put, Post, Alternate };

struct ServerOptions {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 8750; // 0 picks a free port
    QString dataDir;
    // Where the records live: empty for the SQLite file in dataDir, otherwise a
    // DatabaseConfig URL (postgresql://…, sqlite:<file>).
    QString database;
    // Where the files live: empty for the data folder, otherwise s3://<bucket>?endpoint=…; the
    // store's keys come from the environment or from storageCredentials (a file).
    QString storage;
    QString storageCredentials;
    bool autoConfirm = false;
    UploadMethod uploadMethod = UploadMethod::Put;

    // Fault injection, counted down by the server as it uses them up.
    int failUploads = 0;
    int failPresigns = 0; // the presign endpoint answers 500 (uploads to a bucket skip us)
    int wrongEtags = 0;
    bool activationWithoutUser = false;

    qint64 maxApiBodyBytes = 1 << 20;
    qint64 maxUploadBytes = qint64(512) << 20;
    qint64 maxEnvelopeBytes = qint64(20) << 20;
    int presignExpirySecs = 15 * 60;
    int activationExpirySecs = 10 * 60;
    int jobThreads = 0;     // parts made at a time; 0: one less than the cores, at least 1
    int imagingThreads = 0; // libvips threads of one part; 0: one per core
    int jobLeaseSecs = 60;  // a running part not heard of for this long is taken over

    QString crashProject = QStringLiteral("1");
    QString crashKey = QStringLiteral("mireva");

    // Seconds since the epoch; replaceable so expiry can be checked without waiting.
    std::function<qint64()> now;
};

QString defaultDataDir();

// Declares the options on parser, parses args (args[0] is the program) and fills options.
// --help and --version are left to the caller (parser.isSet). Returns false with a message on
// bad input.
bool parseServerOptions(QCommandLineParser &parser, const QStringList &args, ServerOptions *options,
                        QString *error);

} // namespace tavrona
