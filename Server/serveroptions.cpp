#include "serveroptions.h"

#include "database.h"
#include "s3client.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QStandardPaths>

namespace tavrona {

QString defaultDataDir() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

namespace {

bool parseCount(const QString &text, const QString &name, int *out, QString *error) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0) {
        *error =
            QStringLiteral("--%1 needs a whole number of 0 or more, not \"%2\"").arg(name, text);
        return false;
    }
    *out = value;
    return true;
}

} // namespace

bool parseServerOptions(QCommandLineParser &parser, const QStringList &args, ServerOptions *options,
                        QString *error) {
    parser.setApplicationDescription(
        QStringLiteral("Local Tavrona service: browser log-in, containers with presigned "
                       "storage uploads, saved scans viewable in a browser, crash reports."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("TCP port to listen on (0 picks a free one). Default 8750."),
        QStringLiteral("port"), QStringLiteral("8750"));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Address to listen on. Default 127.0.0.1 (this machine only)."),
        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption data({QStringLiteral("d"), QStringLiteral("data")},
                                  QStringLiteral("Data folder (database, containers, caches, "
                                                 "crash reports). Default: %1")
                                      .arg(defaultDataDir()),
                                  QStringLiteral("folder"));
    const QCommandLineOption autoConfirm(
        QStringLiteral("auto-confirm"),
        QStringLiteral("Activations confirm themselves for the demo account after their first "
                       "poll (headless runs and tests)."));
    const QCommandLineOption uploadMethod(
        QStringLiteral("upload-method"),
        QStringLiteral("Presigned upload method handed out: put, post (multipart form) or "
                       "alternate. Default put."),
        QStringLiteral("method"), QStringLiteral("put"));
    const QCommandLineOption failUploads(
        QStringLiteral("fail-uploads"),
        QStringLiteral("Fault injection: answer the next N storage uploads with 500."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption wrongEtag(
        QStringLiteral("wrong-etag"),
        QStringLiteral("Fault injection: answer the next N storage uploads with a wrong ETag."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption failPresigns(
        QStringLiteral("fail-presigns"),
        QStringLiteral("Fault injection: answer the next N presign requests with 500."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption noUser(
        QStringLiteral("activation-without-user"),
        QStringLiteral("Fault injection: answer activations with a token but no \"user\"."));
    const QCommandLineOption maxUpload(
        QStringLiteral("max-upload-mb"),
        QStringLiteral("Largest accepted storage upload in MiB. Default 512."),
        QStringLiteral("MiB"), QStringLiteral("512"));
    const QCommandLineOption jobThreads(
        QStringLiteral("job-threads"),
        QStringLiteral("Saved parts made into pyramids at a time. Default: one less than the "
                       "cores, at least 1."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption jobLease(
        QStringLiteral("job-lease"),
        QStringLiteral("Seconds a part being made may go unreported before another worker or "
                       "server takes it over (the worker reports every quarter of it). Default "
                       "60, at least 4."),
        QStringLiteral("seconds"), QStringLiteral("60"));
    const QCommandLineOption database(
        QStringLiteral("database"),
        QStringLiteral("Database: postgresql://[user@][host][:port]/name[?host=/socket/folder&"
                       "sslmode=…] (several servers can share it; the password comes from "
                       "PGPASSWORD or ~/.pgpass) or sqlite:<file>. Default: an SQLite file in "
                       "the data folder."),
        QStringLiteral("url"));
    const QCommandLineOption storage(
        QStringLiteral("storage"),
        QStringLiteral("Object store for containers, derived files and crash reports: "
                       "s3://<bucket>[/<prefix>]?endpoint=<url>&region=<region> (several servers "
                       "can share it; uploads go straight to it). Keys come from "
                       "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY or from --storage-keys, never "
                       "from the command line. Default: the data folder."),
        QStringLiteral("url"));
    const QCommandLineOption storageKeys(
        QStringLiteral("storage-keys"),
        QStringLiteral("Credentials file of the object store, in the shared INI layout "
                       "(aws_access_key_id, aws_secret_access_key; profile AWS_PROFILE or "
                       "\"default\")."),
        QStringLiteral("file"));
    parser.addOptions({port, listen, data, database, storage, storageKeys, autoConfirm,
                       uploadMethod, failUploads, failPresigns, wrongEtag, noUser, maxUpload,
                       jobThreads, jobLease});

    if (!parser.parse(args)) {
        *error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error =
            QStringLiteral("Unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return false;
    }

    bool ok = false;
    const uint portValue = parser.value(port).toUInt(&ok);
    if (!ok || portValue > 65535) {
        *error = QStringLiteral("--port needs a number from 0 to 65535, not \"%1\"")
                     .arg(parser.value(port));
        return false;
    }
    options->port = quint16(portValue);

    QHostAddress address;
    if (!address.setAddress(parser.value(listen))) {
        *error =
            QStringLiteral("--listen needs an IP address, not \"%1\"").arg(parser.value(listen));
        return false;
    }
    options->address = address;

    options->dataDir = parser.isSet(data) ? parser.value(data) : defaultDataDir();
    if (options->dataDir.isEmpty()) {
        *error = QStringLiteral("No data folder: give one with --data");
        return false;
    }
    options->database = parser.value(database);
    if (parser.isSet(database) && !DatabaseConfig::fromUrl(options->database, error)) {
        *error = QStringLiteral("--database: %1").arg(*error);
        return false;
    }
    options->storage = parser.value(storage);
    options->storageCredentials = parser.value(storageKeys);
    if (parser.isSet(storage) && !S3Config::fromUrl(options->storage, error)) {
        *error = QStringLiteral("--storage: %1").arg(*error);
        return false;
    }
    options->autoConfirm = parser.isSet(autoConfirm);

    const QString method = parser.value(uploadMethod).toLower();
    if (method == QLatin1String("put")) {
        options->uploadMethod = UploadMethod::Put;
    } else if (method == QLatin1String("post")) {
        options->uploadMethod = UploadMethod::Post;
    } else if (method == QLatin1String("alternate")) {
        options->uploadMethod = UploadMethod::Alternate;
    } else {
        *error = QStringLiteral("--upload-method must be put, post or alternate, not \"%1\"")
                     .arg(parser.value(uploadMethod));
        return false;
    }

    if (!parseCount(parser.value(failUploads), QStringLiteral("fail-uploads"),
                    &options->failUploads, error) ||
        !parseCount(parser.value(wrongEtag), QStringLiteral("wrong-etag"), &options->wrongEtags,
                    error) ||
        !parseCount(parser.value(failPresigns), QStringLiteral("fail-presigns"),
                    &options->failPresigns, error))
        return false;
    options->activationWithoutUser = parser.isSet(noUser);

    int maxUploadMb = 0;
    if (!parseCount(parser.value(maxUpload), QStringLiteral("max-upload-mb"), &maxUploadMb, error))
        return false;
    if (maxUploadMb < 1) {
        *error = QStringLiteral("--max-upload-mb must be at least 1");
        return false;
    }
    options->maxUploadBytes = qint64(maxUploadMb) << 20;
    if (!parseCount(parser.value(jobThreads), QStringLiteral("job-threads"), &options->jobThreads,
                    error))
        return false;
    int leaseSecs = 0;
    if (!parseCount(parser.value(jobLease), QStringLiteral("job-lease"), &leaseSecs, error))
        return false;
    if (leaseSecs < 4) {
        *error = QStringLiteral("--job-lease must be at least 4 seconds");
        return false;
    }
    options->jobLeaseSecs = leaseSecs;
    return true;
}

} // namespace tavrona
