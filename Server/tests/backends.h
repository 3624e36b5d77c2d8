#pragma once

// The back-end pair a server test runs on, chosen by MIREVA_TEST_BACKENDS: unset or "embedded"
// for an SQLite file and a local folder, "postgres+s3" for a PostgreSQL cluster and an s3rver
// store of the run's own. The same tests run on both (CTest runs them twice, the second time
// under a name with "postgres" and "s3" in it).

#include "pgfixture.h"
#include "s3fixture.h"
#include "serveroptions.h"

#include <QString>

#include <memory>

namespace fixture {

class Backends {
public:
    static bool externalRequested() {
        const QByteArray wanted = qgetenv("MIREVA_TEST_BACKENDS");
        return wanted == "postgres+s3";
    }

    enum class Needs { DatabaseAndStore, StoreOnly };

    // Starts the components of the run (once, in initTestCase).
    bool start(QString *error, Needs needs = Needs::DatabaseAndStore) {
        const QByteArray wanted = qgetenv("MIREVA_TEST_BACKENDS");
        if (!wanted.isEmpty() && wanted != "embedded" && wanted != "postgres+s3") {
            *error = QStringLiteral("MIREVA_TEST_BACKENDS must be embedded or postgres+s3, not "
                                    "\"%1\"")
                         .arg(QString::fromUtf8(wanted));
            return false;
        }
        if (!externalRequested())
            return true;
        if (needs == Needs::DatabaseAndStore) {
            m_postgres = std::make_unique<PostgresCluster>();
            if (!m_postgres->start(error))
                return false;
        }
        m_s3 = std::make_unique<S3rver>();
        if (!m_s3->start({bucket()}, error))
            return false;
        // The server takes its keys from the environment, as it would in production.
        qputenv("AWS_ACCESS_KEY_ID", S3rver::accessKeyId);
        qputenv("AWS_SECRET_ACCESS_KEY", S3rver::secretAccessKey);
        return true;
    }

    bool external() const { return m_s3 != nullptr; }
    PostgresCluster *postgres() const { return m_postgres.get(); }
    S3rver *s3() const { return m_s3.get(); }
    static QString bucket() { return QStringLiteral("tavrona"); }

    // An empty database and a fresh part of the bucket for one server (or for several servers
    // that are to share them: call once, copy the options). The servers of the configure()
    // before must have stopped.
    bool configure(tavrona::ServerOptions &options, QString *error) {
        if (!external())
            return true;
        if (m_postgres) {
            // One database for the run, emptied for each server.
            if (m_database.isEmpty()) {
                m_database = m_postgres->createDatabase(error);
                if (m_database.isEmpty())
                    return false;
            } else if (!m_postgres->emptyDatabase(m_database, error)) {
                return false;
            }
            options.database = m_postgres->url(m_database);
        }
        m_prefix = QStringLiteral("run%1").arg(++m_configured);
        options.storage = QStringLiteral("s3://%1/%2?endpoint=%3&region=us-east-1")
                              .arg(bucket(), m_prefix, m_s3->endpoint().toString());
        return true;
    }

    // The key prefix of the last configure() in the bucket, with its final "/".
    QString prefix() const { return m_prefix + QLatin1Char('/'); }

private:
    std::unique_ptr<PostgresCluster> m_postgres;
    std::unique_ptr<S3rver> m_s3;
    QString m_database;
    QString m_prefix;
    int m_configured = 0;
};

} // namespace fixture
