// The schema steps on the database the run names: SQLite by default, PostgreSQL (a cluster of
// the test's own) when MIREVA_TEST_DATABASE is "postgres". Every step applied once, also by
// servers starting together; a failing step leaves the database at the step before; a database
// of a newer server is refused; databases from before the record are adopted with their rows.

#include "migrations.h"
#include "pgfixture.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QThread>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

using namespace tavrona;

class TestMigrations : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void appliesEveryStepOnce();
    void adoptsADatabaseFromBeforeTheRecord();
    void failingStepLeavesThePreviousStep();
    void newerDatabaseIsRefused();
    void serversStartingTogetherApplyEachStepOnce();
    void stepsForOneDatabaseOnly();
    void tokens_data();
    void tokens();

private:
    bool postgres() const { return m_cluster != nullptr; }
    // A new connection to the test's database; removed in cleanup().
    QSqlDatabase connect();
    // A connection of the calling thread, which removes it itself.
    QSqlDatabase open(const QString &name) const;
    QStringList tables();

    std::unique_ptr<fixture::PostgresCluster> m_cluster;
    QTemporaryDir m_dir;
    QString m_database; // PostgreSQL database name or SQLite file
    QStringList m_connections;
    int m_test = 0;
};

void TestMigrations::initTestCase() {
    if (qgetenv("MIREVA_TEST_DATABASE") == "postgres") {
        m_cluster = std::make_unique<fixture::PostgresCluster>();
        QString error;
        QVERIFY2(m_cluster->start(&error), qPrintable(error));
    }
}

void TestMigrations::init() {
    if (postgres()) {
        QString error;
        m_database = m_cluster->createDatabase(&error);
        QVERIFY2(!m_database.isEmpty(), qPrintable(error));
    } else {
        m_database = m_dir.filePath(QStringLiteral("t%1.sqlite").arg(++m_test));
    }
}

void TestMigrations::cleanup() {
    for (const QString &name : std::as_const(m_connections)) {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    m_connections.clear();
}

void TestMigrations::cleanupTestCase() {
    m_cluster.reset();
}

QSqlDatabase TestMigrations::connect() {
    const QString name = QUuid::createUuid().toString();
    m_connections << name;
    return open(name);
}

QSqlDatabase TestMigrations::open(const QString &name) const {
    QSqlDatabase db;
    if (postgres()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(m_cluster->socketDir());
        db.setPort(m_cluster->port());
        db.setUserName(QStringLiteral("tavrona"));
    } else {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    }
    db.setDatabaseName(m_database);
    if (!db.open())
        qWarning() << "cannot open the test database:" << db.lastError().text();
    return db;
}

QStringList TestMigrations::tables() {
    QStringList names = connect().tables();
    names.sort();
    return names;
}

void TestMigrations::appliesEveryStepOnce() {
    QSqlDatabase db = connect();
    QVERIFY(db.isOpen());
    QString error;
    QCOMPARE(schemaVersion(db, &error), 0);
    int applied = -1;
    QVERIFY2(migrateSchema(db, schemaMigrations(), &applied, &error), qPrintable(error));
    QCOMPARE(applied, int(schemaMigrations().size()));
    QCOMPARE(schemaVersion(db, &error), schemaMigrations().last().version);
    const QStringList present = tables();
    for (const char *table : {"users", "tokens", "activations", "containers", "uploads", "scans",
                              "crash_reports", "meta", "schema_migrations"})
        QVERIFY2(present.contains(QLatin1String(table)), table);

    QVERIFY2(migrateSchema(db, schemaMigrations(), &applied, &error), qPrintable(error));
    QCOMPARE(applied, 0);
    QSqlQuery count(db);
    QVERIFY(count.exec(QStringLiteral("SELECT COUNT(*) FROM schema_migrations")) && count.next());
    QCOMPARE(count.value(0).toInt(), int(schemaMigrations().size()));

    // The auto-numbered key numbers, and the types hold 64-bit values.
    QSqlQuery insert(db);
    QVERIFY(insert.exec(QStringLiteral("INSERT INTO users (email, first_name, last_name, "
                                       "organization) VALUES ('a@b', 'A', 'B', 'O')")));
    QSqlQuery user(db);
    QVERIFY(user.exec(QStringLiteral("SELECT id FROM users")) && user.next());
    QCOMPARE(user.value(0).toLongLong(), 1);
    QSqlQuery big(db);
    big.prepare(
        QStringLiteral("INSERT INTO containers (id, user_id, created_at) VALUES (?, ?, ?)"));
    big.addBindValue(QStringLiteral("c"));
    big.addBindValue(1);
    big.addBindValue(qint64(1) << 40);
    QVERIFY2(big.exec(), qPrintable(big.lastError().text()));
}

void TestMigrations::adoptsADatabaseFromBeforeTheRecord() {
    // The tables as servers made them before the steps were recorded, with a user in them.
    QSqlDatabase db = connect();
    for (const MigrationStatement &statement : schemaMigrations().first().statements) {
        QSqlQuery query(db);
        QVERIFY2(query.exec(dialectSql(statement.sql, dialectOf(db))),
                 qPrintable(query.lastError().text()));
    }
    QSqlQuery insert(db);
    QVERIFY(insert.exec(QStringLiteral("INSERT INTO users (email, first_name, last_name, "
                                       "organization) VALUES ('kept@lab', 'K', 'L', 'O')")));
    QString error;
    QCOMPARE(schemaVersion(db, &error), 0);
    int applied = 0;
    QVERIFY2(migrateSchema(db, schemaMigrations(), &applied, &error), qPrintable(error));
    QCOMPARE(applied, int(schemaMigrations().size()));
    QSqlQuery kept(db);
    QVERIFY(kept.exec(QStringLiteral("SELECT email FROM users")) && kept.next());
    QCOMPARE(kept.value(0).toString(), QStringLiteral("kept@lab"));
}

void TestMigrations::failingStepLeavesThePreviousStep() {
    using S = MigrationStatement;
    const QList<Migration> steps{
        {1, QStringLiteral("one"), {S{QStringLiteral("CREATE TABLE one (id {id})")}}},
        {2,
         QStringLiteral("two"),
         {S{QStringLiteral("CREATE TABLE two (id {id})")},
          S{QStringLiteral("INSERT INTO two (id) VALUES (1)")},
          S{QStringLiteral("CREATE TABLE broken (")}}},
        {3, QStringLiteral("three"), {S{QStringLiteral("CREATE TABLE three (id {id})")}}},
    };
    QSqlDatabase db = connect();
    QString error;
    int applied = 0;
    QVERIFY(!migrateSchema(db, steps, &applied, &error));
    QVERIFY2(error.startsWith(QLatin1String("schema step 2 (two) failed:")), qPrintable(error));
    QCOMPARE(applied, 1);
    QCOMPARE(schemaVersion(db, &error), 1);
    const QStringList present = tables();
    QVERIFY(present.contains(QLatin1String("one")));
    QVERIFY2(!present.contains(QLatin1String("two")), "the failed step must leave nothing behind");
    QVERIFY(!present.contains(QLatin1String("three")));

    // The connection is usable afterwards, and a mended list goes on from step 2.
    QList<Migration> mended = steps;
    mended[1].statements.removeLast();
    QVERIFY2(migrateSchema(db, mended, &applied, &error), qPrintable(error));
    QCOMPARE(applied, 2);
    QCOMPARE(schemaVersion(db, &error), 3);
}

void TestMigrations::newerDatabaseIsRefused() {
    QSqlDatabase db = connect();
    QString error;
    int applied = 0;
    QVERIFY2(migrateSchema(db, schemaMigrations(), &applied, &error), qPrintable(error));
    QSqlQuery newer(db);
    newer.prepare(QStringLiteral("INSERT INTO schema_migrations (version, description, "
                                 "applied_at) VALUES (?, 'from a newer server', 0)"));
    newer.addBindValue(schemaMigrations().last().version + 5);
    QVERIFY(newer.exec());
    QVERIFY(!migrateSchema(db, schemaMigrations(), &applied, &error));
    QVERIFY2(error.contains(QLatin1String("newer than this server knows")), qPrintable(error));
    QCOMPARE(applied, 0);
}

void TestMigrations::serversStartingTogetherApplyEachStepOnce() {
    // Steps that fail when run twice: a table without IF NOT EXISTS and a row with a key.
    using S = MigrationStatement;
    QList<Migration> steps;
    for (int version = 1; version <= 6; ++version)
        steps.append({version,
                      QStringLiteral("step %1").arg(version),
                      {S{QStringLiteral("CREATE TABLE s%1 (id INTEGER PRIMARY KEY)").arg(version)},
                       S{QStringLiteral("INSERT INTO s%1 (id) VALUES (1)").arg(version)}}});
    // Qt's SQL keeps a connection to the thread that opened it: each thread opens its own.
    QThreadPool pool;
    pool.setMaxThreadCount(4);
    QList<QFuture<QPair<int, QString>>> runs;
    for (int i = 0; i < 4; ++i)
        runs.append(QtConcurrent::run(&pool, [this, &steps, i]() -> QPair<int, QString> {
            const QString name = QStringLiteral("server-%1").arg(i);
            QPair<int, QString> result{0, QString()};
            {
                QSqlDatabase db = open(name);
                if (!db.isOpen()) {
                    result.second = db.lastError().text();
                } else {
                    QString error;
                    if (!migrateSchema(db, steps, &result.first, &error))
                        result.second = error;
                    db.close();
                }
            }
            QSqlDatabase::removeDatabase(name);
            return result;
        }));
    int total = 0;
    for (auto &run : runs) {
        const auto [applied, error] = run.result();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        total += applied;
    }
    QCOMPARE(total, 6);
    QString error;
    QCOMPARE(schemaVersion(connect(), &error), 6);
}

void TestMigrations::stepsForOneDatabaseOnly() {
    using S = MigrationStatement;
    const QList<Migration> steps{
        {1,
         QStringLiteral("spelled apart"),
         {S{QStringLiteral("CREATE TABLE only_sqlite (id INTEGER)"), S::Only::Sqlite},
          S{QStringLiteral("CREATE TABLE only_postgres (id INTEGER)"), S::Only::Postgres}}}};
    QSqlDatabase db = connect();
    QString error;
    int applied = 0;
    QVERIFY2(migrateSchema(db, steps, &applied, &error), qPrintable(error));
    const QStringList present = tables();
    QCOMPARE(present.contains(QLatin1String("only_postgres")), postgres());
    QCOMPARE(present.contains(QLatin1String("only_sqlite")), !postgres());
    QCOMPARE(dialectOf(db), postgres() ? SqlDialect::Postgres : SqlDialect::Sqlite);
}

void TestMigrations::tokens_data() {
    QTest::addColumn<int>("dialect");
    QTest::addColumn<QString>("expected");
    const QString statement = QStringLiteral("CREATE TABLE t (id {id}, n {int}, b {blob})");
    QTest::newRow("SQLite") << int(SqlDialect::Sqlite)
                            << "CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, n INTEGER, "
                               "b BLOB)";
    QTest::newRow("PostgreSQL") << int(SqlDialect::Postgres)
                                << "CREATE TABLE t (id BIGINT GENERATED BY DEFAULT AS IDENTITY "
                                   "PRIMARY KEY, n BIGINT, b BYTEA)";
}

void TestMigrations::tokens() {
    QFETCH(int, dialect);
    QFETCH(QString, expected);
    QCOMPARE(dialectSql(QStringLiteral("CREATE TABLE t (id {id}, n {int}, b {blob})"),
                        SqlDialect(dialect)),
             expected);
}

QTEST_GUILESS_MAIN(TestMigrations)
#include "tst_migrations.moc"
