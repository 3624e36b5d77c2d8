#include "database.h"

#include "migrations.h"

#include <QDebug>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <QVariant>

namespace tavrona {

Database::Database()
    : m_connection(QStringLiteral("tavrona-") +
                   QUuid::createUuid().toString(QUuid::WithoutBraces)) {}

Database::~Database() {
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::removeDatabase(m_connection);
}

DatabaseConfig DatabaseConfig::sqlite(const QString &path) {
    DatabaseConfig config;
    config.sqlitePath = path;
    return config;
}

namespace {

// What goes into libpq's connection string as it is: no spaces, quotes or backslashes.
bool isPlainOption(const QString &text) {
    if (text.isEmpty() || text.size() > 200)
        return false;
    for (const QChar c : text)
        if (c.isSpace() || c == QLatin1Char('\'') || c == QLatin1Char('\\') ||
            c == QLatin1Char(';') || c.unicode() < 0x20)
            return false;
    return true;
}

} // namespace

std::optional<DatabaseConfig> DatabaseConfig::fromUrl(const QString &text, QString *error) {
    if (text.startsWith(QLatin1String("sqlite:"))) {
        const QString path = text.mid(7);
        if (path.isEmpty()) {
            *error = QStringLiteral("sqlite: needs a file, as in sqlite:/var/lib/tavrona/db");
            return std::nullopt;
        }
        return sqlite(path);
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1String("postgresql") &&
                           url.scheme() != QLatin1String("postgres"))) {
        *error = QStringLiteral("the database must be postgresql://[user@][host][:port]/name or "
                                "sqlite:<file>, not \"%1\"")
                     .arg(url.toString(QUrl::RemovePassword));
        return std::nullopt;
    }
    if (!url.password().isEmpty()) {
        *error = QStringLiteral("passwords do not belong in the database URL: give it in "
                                "PGPASSWORD or ~/.pgpass");
        return std::nullopt;
    }
    DatabaseConfig config;
    config.dialect = SqlDialect::Postgres;
    config.host = url.host();
    config.port = url.port();
    config.user = url.userName();
    config.name = url.path().mid(1);
    QStringList options;
    bool timeout = false;
    for (const auto &[name, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (name == QLatin1String("host")) {
            config.host = value;
        } else if (name == QLatin1String("port")) {
            bool ok = false;
            config.port = value.toInt(&ok);
            if (!ok || config.port <= 0 || config.port > 65535) {
                *error =
                    QStringLiteral("port must be a number from 1 to 65535, not \"%1\"").arg(value);
                return std::nullopt;
            }
        } else if (name == QLatin1String("user")) {
            config.user = value;
        } else if (name == QLatin1String("dbname")) {
            config.name = value;
        } else if (name == QLatin1String("password")) {
            *error = QStringLiteral("passwords do not belong in the database URL: give it in "
                                    "PGPASSWORD or ~/.pgpass");
            return std::nullopt;
        } else {
            static const QRegularExpression optionName(QStringLiteral("^[a-z_]{1,40}$"));
            if (!optionName.match(name).hasMatch() || !isPlainOption(value)) {
                *error = QStringLiteral("the database URL option \"%1\" has a value libpq "
                                        "cannot take as it is")
                             .arg(name);
                return std::nullopt;
            }
            timeout = timeout || name == QLatin1String("connect_timeout");
            options << name + QLatin1Char('=') + value;
        }
    }
    // An unreachable database fails the start instead of hanging it.
    if (!timeout)
        options << QStringLiteral("connect_timeout=10");
    config.options = options.join(QLatin1Char(';'));
    return config;
}

QString DatabaseConfig::describe() const {
    if (dialect == SqlDialect::Sqlite)
        return QStringLiteral("SQLite %1").arg(sqlitePath);
    return QStringLiteral("PostgreSQL %1%2%3/%4")
        .arg(user.isEmpty() ? QString() : user + QLatin1Char('@'),
             host.isEmpty() ? QStringLiteral("(default host)") : host,
             port > 0 ? QStringLiteral(":%1").arg(port) : QString(), name);
}

bool Database::open(const DatabaseConfig &config, QString *error) {
    m_config = config;
    const bool pg = config.dialect == SqlDialect::Postgres;
    if (!QSqlDatabase::isDriverAvailable(pg ? QStringLiteral("QPSQL")
                                            : QStringLiteral("QSQLITE"))) {
        *error = pg ? QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed: install "
                                     "libqt6sql6-psql")
                    : QStringLiteral("Qt's SQLite driver (QSQLITE) is not installed: install "
                                     "libqt6sql6-sqlite");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(
        pg ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), m_connection);
    if (pg) {
        db.setHostName(config.host);
        if (config.port > 0)
            db.setPort(config.port);
        db.setUserName(config.user);
        db.setDatabaseName(config.name);
        db.setConnectOptions(config.options);
    } else {
        db.setDatabaseName(config.sqlitePath);
    }
    if (!db.open()) {
        *error = db.lastError().text().trimmed();
        return false;
    }
    if (!pg) {
        // WAL keeps readers going while a write commits; foreign keys catch our own mistakes.
        if (!exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
            !exec(QStringLiteral("PRAGMA foreign_keys=ON")) ||
            !exec(QStringLiteral("PRAGMA busy_timeout=5000"))) {
            *error = m_lastError;
            return false;
        }
    }
    int applied = 0;
    if (!migrateSchema(db, schemaMigrations(), &applied, error))
        return false;
    if (applied > 0)
        qInfo().noquote() << "Database schema brought to step" << schemaMigrations().last().version;
    return true;
}

bool Database::transaction(const std::function<bool()> &work) {
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    if (!db.transaction()) {
        m_lastError = db.lastError().text();
        return false;
    }
    if (!work()) {
        db.rollback();
        return false;
    }
    if (!db.commit()) {
        m_lastError = db.lastError().text();
        db.rollback();
        return false;
    }
    return true;
}

bool Database::exec(const QString &sql, const QVariantList &values, int *rowsAffected) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.prepare(sql)) {
        m_lastError = query.lastError().text();
        return false;
    }
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        m_lastError = query.lastError().text();
        return false;
    }
    if (rowsAffected)
        *rowsAffected = query.numRowsAffected();
    return true;
}

namespace {

User userFrom(const QSqlQuery &query) {
    User user;
    user.id = query.value(0).toLongLong();
    user.email = query.value(1).toString();
    user.firstName = query.value(2).toString();
    user.lastName = query.value(3).toString();
    user.organization = query.value(4).toString();
    return user;
}

} // namespace

std::optional<User> Database::userById(qint64 id) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral(
        "SELECT id, email, first_name, last_name, organization FROM users WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return userFrom(query);
}

std::optional<User> Database::userByEmail(const QString &email) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral(
        "SELECT id, email, first_name, last_name, organization FROM users WHERE email = ?"));
    query.addBindValue(email);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return userFrom(query);
}

std::optional<User> Database::createUser(const User &user) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("INSERT INTO users (email, first_name, last_name, "
                                 "organization) VALUES (?, ?, ?, ?) ON CONFLICT (email) DO NOTHING "
                                 "RETURNING id"));
    // A null QString would be stored as NULL, which the NOT NULL columns refuse.
    for (const QString &value : {user.email, user.firstName, user.lastName, user.organization})
        query.addBindValue(value.isNull() ? QStringLiteral("") : value);
    if (!query.exec()) {
        m_lastError = query.lastError().text();
        return std::nullopt;
    }
    if (!query.next())
        return userByEmail(user.email);
    User created = user;
    created.id = query.value(0).toLongLong();
    return created;
}

bool Database::addToken(const QString &hash, qint64 userId, qint64 now) {
    return exec(QStringLiteral("INSERT INTO tokens (hash, user_id, created_at) VALUES (?, ?, ?)"),
                {hash, userId, now});
}

std::optional<qint64> Database::userForToken(const QString &hash) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT user_id FROM tokens WHERE hash = ?"));
    query.addBindValue(hash);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return query.value(0).toLongLong();
}

bool Database::removeToken(const QString &hash) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("DELETE FROM tokens WHERE hash = ?"));
    query.addBindValue(hash);
    return query.exec() && query.numRowsAffected() > 0;
}

bool Database::addActivation(const QString &hash, qint64 now, qint64 expiresAt) {
    return exec(
        QStringLiteral("INSERT INTO activations (hash, created_at, expires_at) VALUES (?, ?, ?)"),
        {hash, now, expiresAt});
}

std::optional<Activation> Database::activation(const QString &hash) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(
        QStringLiteral("SELECT expires_at, user_id, polls FROM activations WHERE hash = ?"));
    query.addBindValue(hash);
    if (!query.exec() || !query.next())
        return std::nullopt;
    Activation activation;
    activation.expiresAt = query.value(0).toLongLong();
    if (!query.value(1).isNull())
        activation.confirmedUserId = query.value(1).toLongLong();
    activation.polls = query.value(2).toInt();
    return activation;
}

bool Database::confirmActivation(const QString &hash, qint64 userId) {
    return exec(QStringLiteral("UPDATE activations SET user_id = ? WHERE hash = ?"),
                {userId, hash});
}

bool Database::countPoll(const QString &hash) {
    return exec(QStringLiteral("UPDATE activations SET polls = polls + 1 WHERE hash = ?"), {hash});
}

bool Database::removeActivation(const QString &hash) {
    return exec(QStringLiteral("DELETE FROM activations WHERE hash = ?"), {hash});
}

void Database::removeExpiredActivations(qint64 now) {
    // Kept for a day after expiry so a late poll still hears "expired" rather than "unknown".
    exec(QStringLiteral("DELETE FROM activations WHERE expires_at < ?"), {now - 24 * 3600});
}

bool Database::addContainer(const QString &id, qint64 userId, qint64 now) {
    return exec(QStringLiteral("INSERT INTO containers (id, user_id, created_at) VALUES (?, ?, ?)"),
                {id, userId, now});
}

std::optional<qint64> Database::containerOwner(const QString &id) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT user_id FROM containers WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return query.value(0).toLongLong();
}

bool Database::recordUpload(const QString &containerId, const QString &path, const Upload &upload,
                            qint64 now) {
    return exec(QStringLiteral("INSERT INTO uploads (container_id, path, size, md5, uploaded_at) "
                               "VALUES (?, ?, ?, ?, ?) ON CONFLICT (container_id, path) DO UPDATE "
                               "SET size = excluded.size, md5 = excluded.md5, uploaded_at = "
                               "excluded.uploaded_at"),
                {containerId, path, upload.size, upload.md5, now});
}

bool Database::recordUploads(const QString &containerId,
                             const QList<QPair<QString, Upload>> &uploads, qint64 now) {
    for (const auto &[path, upload] : uploads)
        if (!recordUpload(containerId, path, upload, now))
            return false;
    return true;
}

std::optional<Upload> Database::upload(const QString &containerId, const QString &path) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(
        QStringLiteral("SELECT size, md5 FROM uploads WHERE container_id = ? AND path = ?"));
    query.addBindValue(containerId);
    query.addBindValue(path);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return Upload{query.value(0).toLongLong(), query.value(1).toString()};
}

QSet<QString> Database::uploadPaths(const QString &containerId) {
    QSet<QString> paths;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT path FROM uploads WHERE container_id = ?"));
    query.addBindValue(containerId);
    if (query.exec())
        while (query.next())
            paths.insert(query.value(0).toString());
    return paths;
}

bool Database::addScan(const ScanRecord &scan) {
    return exec(
        QStringLiteral("INSERT INTO scans (id, container_id, user_id, name, descriptor, "
                       "created_at) VALUES (?, ?, ?, ?, ?, ?)"),
        {scan.id, scan.containerId, scan.userId, scan.name, scan.descriptor, scan.createdAt});
}

std::optional<ScanRecord> Database::scan(const QString &id) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT id, container_id, user_id, name, descriptor, created_at "
                                 "FROM scans WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    ScanRecord scan;
    scan.id = query.value(0).toString();
    scan.containerId = query.value(1).toString();
    scan.userId = query.value(2).toLongLong();
    scan.name = query.value(3).toString();
    scan.descriptor = query.value(4).toString();
    scan.createdAt = query.value(5).toLongLong();
    return scan;
}

QStringList Database::scanIdsOfContainer(const QString &containerId) {
    QStringList ids;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT id FROM scans WHERE container_id = ?"));
    query.addBindValue(containerId);
    if (query.exec())
        while (query.next())
            ids << query.value(0).toString();
    return ids;
}

QString jobStateName(Job::State state) {
    switch (state) {
    case Job::State::Queued:
        return QStringLiteral("queued");
    case Job::State::Running:
        return QStringLiteral("running");
    case Job::State::Ready:
        return QStringLiteral("ready");
    case Job::State::Failed:
        return QStringLiteral("failed");
    }
    return {};
}

namespace {

const char *const jobColumns = "id, scan_id, part, image_index, generation, state, progress, "
                               "owner, lease_until, attempts, error, build, skipped_cells";

Job jobFrom(const QSqlQuery &query) {
    Job job;
    job.id = query.value(0).toLongLong();
    job.scanId = query.value(1).toString();
    job.part = query.value(2).toInt();
    job.imageIndex = query.value(3).toInt();
    job.generation = query.value(4).toLongLong();
    const QString state = query.value(5).toString();
    for (const Job::State s :
         {Job::State::Queued, Job::State::Running, Job::State::Ready, Job::State::Failed})
        if (state == jobStateName(s))
            job.state = s;
    job.progress = query.value(6).toInt();
    job.owner = query.value(7).toString();
    job.leaseUntil = query.value(8).toLongLong();
    job.attempts = query.value(9).toInt();
    job.error = query.value(10).toString();
    job.build = query.value(11).toString();
    job.skippedCells = query.value(12).toInt();
    return job;
}

} // namespace

bool Database::addJobs(const QString &scanId, const QList<QPair<int, int>> &parts, qint64 now) {
    for (const auto &[part, imageIndex] : parts) {
        if (!exec(QStringLiteral("INSERT INTO jobs (scan_id, part, image_index, state, "
                                 "created_at, updated_at) VALUES (?, ?, ?, 'queued', ?, ?) "
                                 "ON CONFLICT DO NOTHING"),
                  {scanId, part, imageIndex, now, now}))
            return false;
    }
    return true;
}

bool Database::addScanWithJobs(const ScanRecord &scan, const QList<QPair<int, int>> &parts,
                               qint64 now, const QList<QPair<QString, Upload>> &uploads) {
    return transaction([&] {
        return recordUploads(scan.containerId, uploads, now) && addScan(scan) &&
               addJobs(scan.id, parts, now);
    });
}

QList<ScanRecord> Database::scansWithoutJobs() {
    QList<ScanRecord> scans;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT id FROM scans s WHERE NOT EXISTS (SELECT 1 FROM jobs j "
                                 "WHERE j.scan_id = s.id) ORDER BY created_at"));
    QStringList ids;
    if (query.exec())
        while (query.next())
            ids << query.value(0).toString();
    for (const QString &id : ids)
        if (auto record = scan(id))
            scans << *record;
    return scans;
}

QList<Job> Database::jobsOfScan(const QString &scanId) {
    QList<Job> jobs;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT %1 FROM jobs WHERE scan_id = ? ORDER BY part")
                      .arg(QLatin1String(jobColumns)));
    query.addBindValue(scanId);
    if (query.exec())
        while (query.next())
            jobs << jobFrom(query);
    return jobs;
}

std::optional<Job> Database::job(qint64 id) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(
        QStringLiteral("SELECT %1 FROM jobs WHERE id = ?").arg(QLatin1String(jobColumns)));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return jobFrom(query);
}

std::optional<Job> Database::claimJob(const QString &owner, qint64 now, qint64 leaseSecs) {
    if (dialect() == SqlDialect::Postgres) {
        // The row lock does it in one statement: a claimer skips the rows others hold locked
        // and takes the next free one, so servers never wait for each other or take one job
        // twice.
        QSqlQuery query(QSqlDatabase::database(m_connection));
        query.prepare(QStringLiteral("UPDATE jobs SET state = 'running', owner = ?, lease_until = "
                                     "?, attempts = attempts + 1, progress = 0, error = NULL, "
                                     "updated_at = ? WHERE id = (SELECT id FROM jobs WHERE state = "
                                     "'queued' OR (state = 'running' AND lease_until < ?) ORDER "
                                     "BY id LIMIT 1 FOR UPDATE SKIP LOCKED) RETURNING id"));
        for (const QVariant &value :
             {QVariant(owner), QVariant(now + leaseSecs), QVariant(now), QVariant(now)})
            query.addBindValue(value);
        if (!query.exec()) {
            m_lastError = query.lastError().text();
            return std::nullopt;
        }
        if (!query.next())
            return std::nullopt;
        return job(query.value(0).toLongLong());
    }
    // SQLite takes one writer at a time; the UPDATE only succeeds for the worker that still
    // finds a candidate free.
    QList<QPair<qint64, qint64>> candidates;
    {
        QSqlQuery query(QSqlDatabase::database(m_connection));
        query.prepare(QStringLiteral("SELECT id, generation FROM jobs WHERE state = 'queued' OR "
                                     "(state = 'running' AND lease_until < ?) ORDER BY id "
                                     "LIMIT 8"));
        query.addBindValue(now);
        if (!query.exec()) {
            m_lastError = query.lastError().text();
            return std::nullopt;
        }
        while (query.next())
            candidates.append({query.value(0).toLongLong(), query.value(1).toLongLong()});
    }
    // Another worker (of this or another server) may take a candidate first: the UPDATE only
    // succeeds for the one that still finds it free.
    for (const auto &[id, generation] : candidates) {
        int rows = 0;
        if (!exec(QStringLiteral("UPDATE jobs SET state = 'running', owner = ?, lease_until = ?, "
                                 "attempts = attempts + 1, progress = 0, error = NULL, "
                                 "updated_at = ? WHERE id = ? AND generation = ? AND (state = "
                                 "'queued' OR (state = 'running' AND lease_until < ?))"),
                  {owner, now + leaseSecs, now, id, generation, now}, &rows))
            return std::nullopt;
        if (rows == 1)
            return job(id);
    }
    return std::nullopt;
}

bool Database::jobProgress(const Job &job, int percent, qint64 leaseUntil, qint64 now) {
    int rows = 0;
    return exec(QStringLiteral("UPDATE jobs SET progress = ?, lease_until = ?, updated_at = ? "
                               "WHERE id = ? AND owner = ? AND generation = ? AND state = "
                               "'running'"),
                {percent, leaseUntil, now, job.id, job.owner, job.generation}, &rows) &&
           rows == 1;
}

bool Database::finishJob(const Job &job, const JobResult &result, qint64 now) {
    int rows = 0;
    return exec(QStringLiteral("UPDATE jobs SET state = 'ready', progress = 100, owner = NULL, "
                               "lease_until = NULL, build = ?, skipped_cells = ?, error = NULL, "
                               "updated_at = ? WHERE id = ? AND owner = ? AND generation = ? AND "
                               "state = 'running'"),
                {result.build, result.skippedCells, now, job.id, job.owner, job.generation},
                &rows) &&
           rows == 1;
}

bool Database::failJob(const Job &job, const QString &error, qint64 now) {
    int rows = 0;
    return exec(QStringLiteral("UPDATE jobs SET state = 'failed', owner = NULL, lease_until = "
                               "NULL, error = ?, updated_at = ? WHERE id = ? AND owner = ? AND "
                               "generation = ? AND state = 'running'"),
                {error, now, job.id, job.owner, job.generation}, &rows) &&
           rows == 1;
}

bool Database::releaseJob(const Job &job, qint64 now) {
    int rows = 0;
    return exec(QStringLiteral("UPDATE jobs SET state = 'queued', owner = NULL, lease_until = "
                               "NULL, progress = 0, attempts = attempts - 1, updated_at = ? "
                               "WHERE id = ? AND owner = ? AND generation = ? AND state = "
                               "'running'"),
                {now, job.id, job.owner, job.generation}, &rows) &&
           rows == 1;
}

int Database::requeueJobsOwnedBy(const QString &ownerPrefix, qint64 now) {
    int rows = 0;
    exec(QStringLiteral("UPDATE jobs SET state = 'queued', owner = NULL, lease_until = NULL, "
                        "progress = 0, updated_at = ? WHERE state = 'running' AND "
                        "substr(owner, 1, ?) = ?"),
         {now, ownerPrefix.size(), ownerPrefix}, &rows);
    return rows;
}

int Database::requeueJobsOfContainer(const QString &containerId, qint64 now) {
    int rows = 0;
    exec(QStringLiteral("UPDATE jobs SET state = 'queued', generation = generation + 1, owner = "
                        "NULL, lease_until = NULL, progress = 0, attempts = 0, error = NULL, "
                        "updated_at = ? WHERE scan_id IN (SELECT id FROM scans WHERE "
                        "container_id = ?)"),
         {now, containerId}, &rows);
    return rows;
}

bool Database::addCrashReport(const CrashReport &report) {
    return exec(QStringLiteral("INSERT INTO crash_reports (id, received_at, project, event_id, "
                               "item_types, summary, size) VALUES (?, ?, ?, ?, ?, ?, ?)"),
                {report.id, report.receivedAt, report.project, report.eventId, report.itemTypes,
                 report.summary, report.size});
}

namespace {

CrashReport crashReportFrom(const QSqlQuery &query) {
    CrashReport report;
    report.id = query.value(0).toString();
    report.receivedAt = query.value(1).toLongLong();
    report.project = query.value(2).toString();
    report.eventId = query.value(3).toString();
    report.itemTypes = query.value(4).toString();
    report.summary = query.value(5).toString();
    report.size = query.value(6).toLongLong();
    return report;
}

} // namespace

QList<CrashReport> Database::crashReports(int limit) {
    QList<CrashReport> reports;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(
        QStringLiteral("SELECT id, received_at, project, event_id, item_types, summary, "
                       "size FROM crash_reports ORDER BY received_at DESC, %1 DESC LIMIT ?")
            .arg(dialect() == SqlDialect::Postgres ? QLatin1String("seq")
                                                   : QLatin1String("rowid")));
    query.addBindValue(limit);
    if (query.exec())
        while (query.next())
            reports << crashReportFrom(query);
    return reports;
}

std::optional<CrashReport> Database::crashReport(const QString &id) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT id, received_at, project, event_id, item_types, summary, "
                                 "size FROM crash_reports WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return crashReportFrom(query);
}

QString Database::meta(const QString &key) {
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT value FROM meta WHERE key = ?"));
    query.addBindValue(key);
    if (!query.exec() || !query.next())
        return {};
    return query.value(0).toString();
}

bool Database::setMeta(const QString &key, const QString &value) {
    return exec(QStringLiteral("INSERT INTO meta (key, value) VALUES (?, ?) ON CONFLICT (key) DO "
                               "UPDATE SET value = excluded.value"),
                {key, value});
}

QString Database::sharedMeta(const QString &key, const QString &value) {
    if (!exec(QStringLiteral("INSERT INTO meta (key, value) VALUES (?, ?) ON CONFLICT (key) DO "
                             "NOTHING"),
              {key, value}))
        return {};
    return meta(key);
}

} // namespace tavrona
