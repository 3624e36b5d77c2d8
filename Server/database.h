#pragma once

#include "migrations.h"

#include <QList>
#include <QPair>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

#include <functional>
#include <optional>

namespace tavrona {

struct User {
    qint64 id = 0;
    QString email;
    QString firstName;
    QString lastName;
    QString organization;
};

struct Activation {
    qint64 expiresAt = 0;
    std::optional<qint64> confirmedUserId;
    int polls = 0;
};

struct Upload {
    qint64 size = 0;
    QString md5;
};

struct ScanRecord {
    QString id;
    QString containerId;
    qint64 userId = 0;
    QString name;
    QString descriptor;
    qint64 createdAt = 0;
};

// One part of a saved scan to be made into its tiled pyramid. State changes are conditional
// UPDATEs on (id, owner, generation): a worker that lost its job (lease expired, container
// changed) finds out at its next write and stops, so two workers never publish one job.
struct Job {
    enum class State { Queued, Running, Ready, Failed };
    qint64 id = 0;
    QString scanId;
    int part = 0;       // number of the stitched part in the scan, from 0
    int imageIndex = 0; // its index in the descriptor's "images"
    qint64 generation = 1;
    State state = State::Queued;
    int progress = 0; // percent
    QString owner;
    qint64 leaseUntil = 0;
    int attempts = 0;
    QString error;
    QString build; // folder of the published files
    int skippedCells = 0;
};

QString jobStateName(Job::State state);

struct JobResult {
    QString build;
    int skippedCells = 0;
};

struct CrashReport {
    QString id;
    qint64 receivedAt = 0;
    QString project;
    QString eventId;
    QString itemTypes;
    QString summary;
    qint64 size = 0;
};

// Where the records live: an SQLite file (one machine) or a PostgreSQL database (any number of
// servers). Passwords never come in here: libpq reads PGPASSWORD or ~/.pgpass itself.
struct DatabaseConfig {
    SqlDialect dialect = SqlDialect::Sqlite;
    QString sqlitePath;
    QString host; // name, address or a socket folder (starts with "/")
    int port = -1;
    QString user;
    QString name;
    QString options; // libpq's "key=value;…" (sslmode, connect_timeout, application_name, …)

    static DatabaseConfig sqlite(const QString &path);
    // "postgresql://[user@][host][:port][/database][?host=/socket/folder&sslmode=…]" (also
    // "postgres://"), or "sqlite:<file>".
    static std::optional<DatabaseConfig> fromUrl(const QString &url, QString *error);
    QString describe() const;
};

// The service's records in one SQLite file or one PostgreSQL database. Secrets (tokens, activation
// codes) are only ever stored as hashes, so a copied database hands out no access.
class Database {
public:
    Database();
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Connects and brings the schema to the newest step. One object is one connection, for
    // the thread that opened it; other threads open their own with the same config.
    bool open(const DatabaseConfig &config, QString *error);
    bool open(const QString &sqlitePath, QString *error) {
        return open(DatabaseConfig::sqlite(sqlitePath), error);
    }
    const DatabaseConfig &config() const { return m_config; }
    SqlDialect dialect() const { return m_config.dialect; }
    QString lastError() const { return m_lastError; }

    // Runs work in one transaction: committed when it returns true, rolled back otherwise.
    bool transaction(const std::function<bool()> &work);

    std::optional<User> userById(qint64 id);
    std::optional<User> userByEmail(const QString &email);
    // Creates the account, or returns the one another server created with that address a
    // moment earlier.
    std::optional<User> createUser(const User &user);

    bool addToken(const QString &hash, qint64 userId, qint64 now);
    std::optional<qint64> userForToken(const QString &hash);
    bool removeToken(const QString &hash);

    bool addActivation(const QString &hash, qint64 now, qint64 expiresAt);
    std::optional<Activation> activation(const QString &hash);
    bool confirmActivation(const QString &hash, qint64 userId);
    bool countPoll(const QString &hash);
    bool removeActivation(const QString &hash);
    void removeExpiredActivations(qint64 now);

    bool addContainer(const QString &id, qint64 userId, qint64 now);
    std::optional<qint64> containerOwner(const QString &id);

    bool recordUpload(const QString &containerId, const QString &path, const Upload &upload,
                      qint64 now);
    // Several at once: meant for one transaction of the caller's (see transaction()).
    bool recordUploads(const QString &containerId, const QList<QPair<QString, Upload>> &uploads,
                       qint64 now);
    std::optional<Upload> upload(const QString &containerId, const QString &path);
    QSet<QString> uploadPaths(const QString &containerId);

    bool addScan(const ScanRecord &scan);
    std::optional<ScanRecord> scan(const QString &id);
    QStringList scanIdsOfContainer(const QString &containerId);

    // The scan and one queued job per stitched part (part number, image index), together.
    // With the container's files as the save found them (uploads to a bucket are known from
    // then on).
    bool addScanWithJobs(const ScanRecord &scan, const QList<QPair<int, int>> &parts, qint64 now,
                         const QList<QPair<QString, Upload>> &uploads = {});
    // Jobs for a scan saved before parts were made into pyramids; existing ones are kept.
    bool addJobs(const QString &scanId, const QList<QPair<int, int>> &parts, qint64 now);
    QList<ScanRecord> scansWithoutJobs();
    QList<Job> jobsOfScan(const QString &scanId);
    std::optional<Job> job(qint64 id);
    // Takes the oldest queued job, or a running one whose lease ran out, for owner.
    std::optional<Job> claimJob(const QString &owner, qint64 now, qint64 leaseSecs);
    bool jobProgress(const Job &job, int percent, qint64 leaseUntil, qint64 now);
    bool finishJob(const Job &job, const JobResult &result, qint64 now);
    bool failJob(const Job &job, const QString &error, qint64 now);
    // Gives a job back to the queue (the server stops), without counting the attempt.
    bool releaseJob(const Job &job, qint64 now);
    // Running jobs of an owner whose process has ended go back to the queue.
    int requeueJobsOwnedBy(const QString &ownerPrefix, qint64 now);
    // New content in a saved container: its scans' parts are made again.
    int requeueJobsOfContainer(const QString &containerId, qint64 now);

    bool addCrashReport(const CrashReport &report);
    QList<CrashReport> crashReports(int limit);
    std::optional<CrashReport> crashReport(const QString &id);

    QString meta(const QString &key);
    bool setMeta(const QString &key, const QString &value);
    // The stored value of key; value is stored first when there is none. Servers starting
    // together on one database all get the value of the first.
    QString sharedMeta(const QString &key, const QString &value);

private:
    bool exec(const QString &sql, const QVariantList &values = {}, int *rowsAffected = nullptr);

    DatabaseConfig m_config;
    QString m_connection;
    QString m_lastError;
};

} // namespace tavrona
