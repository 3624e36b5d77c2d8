#pragma once

// A PostgreSQL cluster of the test's own: initdb in a temporary folder, the server listening
// only on a Unix socket in that folder, stopped and removed with the object. The server runs
// without fsync (its data is thrown away). When the test runs as root, the cluster belongs to
// the "postgres" account of Debian's package, since PostgreSQL refuses to run as root. A
// cluster whose test died without stopping it shuts itself down once its folder is gone.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fixture {

class PostgresCluster {
public:
    PostgresCluster() = default;
    ~PostgresCluster() { stop(); }
    PostgresCluster(const PostgresCluster &) = delete;
    PostgresCluster &operator=(const PostgresCluster &) = delete;

    // The newest PostgreSQL of Debian's layout (/usr/lib/postgresql/<major>/bin).
    static QString binDir() {
        const QStringList majors = QDir(QStringLiteral("/usr/lib/postgresql"))
                                       .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QString best;
        int bestMajor = -1;
        for (const QString &major : majors) {
            const QString dir = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(major);
            if (major.toInt() > bestMajor &&
                QFileInfo(dir + QStringLiteral("/initdb")).isExecutable()) {
                bestMajor = major.toInt();
                best = dir;
            }
        }
        return best;
    }

    bool start(QString *error) {
        const QString bin = binDir();
        if (bin.isEmpty()) {
            *error = QStringLiteral("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/"
                                    "initdb): run scripts/install-deps");
            return false;
        }
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/pg-XXXXXX"));
        if (!m_dir->isValid()) {
            *error = QStringLiteral("cannot make a temporary folder for PostgreSQL");
            return false;
        }
        m_data = m_dir->filePath(QStringLiteral("data"));
        m_socketDir = m_dir->path();
        if (::geteuid() == 0) {
            const passwd *account = ::getpwnam("postgres");
            if (!account) {
                *error = QStringLiteral("running as root, but there is no \"postgres\" account to "
                                        "run PostgreSQL as: run scripts/install-deps");
                return false;
            }
            m_runAs = QStringLiteral("postgres");
            const QByteArray dir = QFile::encodeName(m_dir->path());
            if (::chmod(dir.constData(), 0755) != 0 ||
                ::chown(dir.constData(), account->pw_uid, account->pw_gid) != 0) {
                *error = QStringLiteral("cannot hand the cluster's folder to \"postgres\"");
                return false;
            }
        }
        // The port only names the socket file, in a folder of our own; nothing listens on TCP.
        m_port = 5432;
        QString output;
        if (!runTool(bin + QStringLiteral("/initdb"),
                     {QStringLiteral("--pgdata"), m_data, QStringLiteral("--username"),
                      QStringLiteral("tavrona"), QStringLiteral("--auth"), QStringLiteral("trust"),
                      QStringLiteral("--encoding"), QStringLiteral("UTF8"),
                      QStringLiteral("--locale"), QStringLiteral("C"), QStringLiteral("--no-sync")},
                     &output)) {
            *error = QStringLiteral("initdb failed: %1").arg(output);
            return false;
        }
        QFile conf(m_data + QStringLiteral("/postgresql.conf"));
        if (!conf.open(QIODevice::Append | QIODevice::Text)) {
            *error = QStringLiteral("cannot configure the cluster: %1").arg(conf.errorString());
            return false;
        }
        conf.write(QStringLiteral("listen_addresses = ''\n"
                                  "unix_socket_directories = '%1'\n"
                                  "port = %2\n"
                                  "fsync = off\n"
                                  "synchronous_commit = off\n"
                                  "full_page_writes = off\n"
                                  "max_connections = 200\n")
                       .arg(m_socketDir)
                       .arg(m_port)
                       .toUtf8());
        conf.close();
        m_pgCtl = bin + QStringLiteral("/pg_ctl");
        if (!runTool(m_pgCtl,
                     {QStringLiteral("start"), QStringLiteral("--pgdata"), m_data,
                      QStringLiteral("--wait"), QStringLiteral("--timeout"), QStringLiteral("60"),
                      QStringLiteral("--log"), m_dir->filePath(QStringLiteral("server.log"))},
                     &output)) {
            QFile log(m_dir->filePath(QStringLiteral("server.log")));
            log.open(QIODevice::ReadOnly);
            *error = QStringLiteral("pg_ctl start failed: %1 %2")
                         .arg(output, QString::fromUtf8(log.readAll()));
            return false;
        }
        m_running = true;
        return true;
    }

    void stop() {
        if (m_running) {
            QString output;
            runTool(m_pgCtl,
                    {QStringLiteral("stop"), QStringLiteral("--pgdata"), m_data,
                     QStringLiteral("--mode"), QStringLiteral("immediate"),
                     QStringLiteral("--wait")},
                    &output);
            m_running = false;
        }
        m_dir.reset();
    }

    QString socketDir() const { return m_socketDir; }
    int port() const { return m_port; }

    // The address of a database of this cluster, as the server takes it.
    QString url(const QString &database) const {
        return QStringLiteral("postgresql://tavrona@/%1?host=%2&port=%3")
            .arg(database, m_socketDir)
            .arg(m_port);
    }

    // A new, empty database; its name.
    QString createDatabase(QString *error) {
        const QString name = QStringLiteral("t%1").arg(++m_databases);
        if (!psql(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE %1").arg(name),
                  error))
            return {};
        return name;
    }

    // Empties every table of database but the record of schema steps, so the next server finds
    // the schema in place and no rows (much quicker than a new database per test).
    bool emptyDatabase(const QString &database, QString *error) {
        return psql(database,
                    QStringLiteral("DO $$ DECLARE tables text; BEGIN SELECT string_agg(quote_ident("
                                   "tablename), ', ') INTO tables FROM pg_tables WHERE schemaname "
                                   "= 'public' AND tablename <> 'schema_migrations'; IF tables IS "
                                   "NOT NULL THEN EXECUTE 'TRUNCATE ' || tables || ' RESTART "
                                   "IDENTITY CASCADE'; END IF; END $$"),
                    error);
    }

    bool psql(const QString &database, const QString &command, QString *error) const {
        return query(database, command, error).has_value();
    }

    // The rows a statement returns, one a line, columns separated by "|"; nullopt with *error.
    std::optional<QString> query(const QString &database, const QString &command,
                                 QString *error) const {
        QProcess process;
        process.start(QStringLiteral("psql"),
                      {QStringLiteral("--host"), m_socketDir, QStringLiteral("--port"),
                       QString::number(m_port), QStringLiteral("--username"),
                       QStringLiteral("tavrona"), QStringLiteral("--dbname"), database,
                       QStringLiteral("--no-psqlrc"), QStringLiteral("--quiet"),
                       QStringLiteral("--tuples-only"), QStringLiteral("--no-align"),
                       QStringLiteral("--set"), QStringLiteral("ON_ERROR_STOP=1"),
                       QStringLiteral("--command"), command});
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            *error =
                QStringLiteral("psql: %1").arg(QString::fromUtf8(process.readAllStandardError()));
            process.kill();
            return std::nullopt;
        }
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

private:
    bool runTool(const QString &program, const QStringList &args, QString *output) const {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (m_runAs.isEmpty())
            process.start(program, args);
        else
            process.start(
                QStringLiteral("runuser"),
                QStringList{QStringLiteral("-u"), m_runAs, QStringLiteral("--"), program} + args);
        const bool finished = process.waitForFinished(120000);
        *output = QString::fromUtf8(process.readAll());
        if (!finished) {
            process.kill();
            process.waitForFinished(5000);
        }
        return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_data;
    QString m_socketDir;
    QString m_pgCtl;
    QString m_runAs;
    int m_port = 0;
    int m_databases = 0;
    bool m_running = false;
};

} // namespace fixture
