#include "database.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace tavrona {

namespace {

const char *const schema[] = {
    "CREATE TABLE IF NOT EXISTS users (id INTEGER PRIMARY KEY AUTOINCREMENT, email TEXT NOT NULL "
    "UNIQUE, first_name TEXT NOT NULL, last_name TEXT NOT NULL, organization TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS tokens (hash TEXT PRIMARY KEY, user_id INTEGER NOT NULL "
    "REFERENCES users(id), created_at INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS activations (hash TEXT PRIMARY KEY, created_at INTEGER NOT NULL, "
    "expires_at INTEGER NOT NULL, user_id INTEGER REFERENCES users(id), polls INTEGER NOT NULL "
    "DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS containers (id TEXT PRIMARY KEY, user_id INTEGER NOT NULL "
    "REFERENCES users(id), created_at INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS uploads (container_id TEXT NOT NULL REFERENCES containers(id), "
    "path TEXT NOT NULL, size INTEGER NOT NULL, md5 TEXT NOT NULL, uploaded_at INTEGER NOT NULL, "
    "PRIMARY KEY (container_id, path))",
    "CREATE TABLE IF NOT EXISTS scans (id TEXT PRIMARY KEY, container_id TEXT NOT NULL "
    "REFERENCES containers(id), user_id INTEGER NOT NULL REFERENCES users(id), name TEXT NOT "
    "NULL, descriptor TEXT NOT NULL, created_at INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS crash_reports (id TEXT PRIMARY KEY, received_at INTEGER NOT "
    "NULL, project TEXT NOT NULL, event_id TEXT NOT NULL, item_types TEXT NOT NULL, summary "
    "TEXT NOT NULL, size INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
};

} // namespace

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

bool Database::open(const QString &path, QString *error) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    // WAL keeps readers going while a write commits; foreign keys catch our own mistakes.
    if (!exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !exec(QStringLiteral("PRAGMA foreign_keys=ON")) ||
        !exec(QStringLiteral("PRAGMA busy_timeout=5000"))) {
        *error = m_lastError;
        return false;
    }
    for (const char *statement : schema) {
        if (!exec(QString::fromLatin1(statement))) {
            *error = m_lastError;
            return false;
        }
    }
    return true;
}

bool Database::exec(const QString &sql, const QVariantList &values) {
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
                                 "organization) VALUES (?, ?, ?, ?)"));
    // A null QString would be stored as NULL, which the NOT NULL columns refuse.
    for (const QString &value : {user.email, user.firstName, user.lastName, user.organization})
        query.addBindValue(value.isNull() ? QStringLiteral("") : value);
    if (!query.exec()) {
        m_lastError = query.lastError().text();
        return std::nullopt;
    }
    User created = user;
    created.id = query.lastInsertId().toLongLong();
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
    return exec(QStringLiteral("INSERT OR REPLACE INTO uploads (container_id, path, size, md5, "
                               "uploaded_at) VALUES (?, ?, ?, ?, ?)"),
                {containerId, path, upload.size, upload.md5, now});
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
    query.prepare(QStringLiteral("SELECT id, received_at, project, event_id, item_types, summary, "
                                 "size FROM crash_reports ORDER BY received_at DESC, rowid DESC "
                                 "LIMIT ?"));
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
    return exec(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)"),
                {key, value});
}

} // namespace tavrona
