#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>

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

struct CrashReport {
    QString id;
    qint64 receivedAt = 0;
    QString project;
    QString eventId;
    QString itemTypes;
    QString summary;
    qint64 size = 0;
};

// The service's records in one SQLite file. Secrets (tokens, activation codes) are only ever
// stored as hashes, so a copied database hands out no access.
class Database {
public:
    Database();
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    bool open(const QString &path, QString *error);
    QString lastError() const { return m_lastError; }

    std::optional<User> userById(qint64 id);
    std::optional<User> userByEmail(const QString &email);
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
    std::optional<Upload> upload(const QString &containerId, const QString &path);

    bool addScan(const ScanRecord &scan);
    std::optional<ScanRecord> scan(const QString &id);
    QStringList scanIdsOfContainer(const QString &containerId);

    bool addCrashReport(const CrashReport &report);
    QList<CrashReport> crashReports(int limit);
    std::optional<CrashReport> crashReport(const QString &id);

    QString meta(const QString &key);
    bool setMeta(const QString &key, const QString &value);

private:
    bool exec(const QString &sql, const QVariantList &values = {});

    QString m_connection;
    QString m_lastError;
};

} // namespace tavrona
