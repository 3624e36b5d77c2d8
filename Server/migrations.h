#pragma once

// The database schema as one list of numbered steps, applied in order at start by SQLite and
// PostgreSQL alike. A step is never changed once released: a change of schema is a new step at
// the end of the list. Statements are written once for both databases, with a few tokens for
// the types they spell differently:
//   {id}     an auto-numbered 64-bit primary key
//   {int}    a 64-bit integer
//   {blob}   bytes
// and a step can hold statements for one of the two only, where their SQL really differs.

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace tavrona {

enum class SqlDialect { Sqlite, Postgres };

struct MigrationStatement {
    enum class Only { Both, Sqlite, Postgres };
    QString sql;
    Only only = Only::Both;
};

struct Migration {
    int version = 0;
    QString description;
    QList<MigrationStatement> statements;
};

// The server's schema, oldest step first.
const QList<Migration> &schemaMigrations();

// The statement with its tokens spelled for dialect.
QString dialectSql(const QString &statement, SqlDialect dialect);

SqlDialect dialectOf(const QSqlDatabase &db);

// The highest step recorded in db; 0 for a database without the record (new, or made before
// the record existed), -1 with *error when it cannot be read.
int schemaVersion(QSqlDatabase db, QString *error);

// Applies the steps of migrations that db lacks, each in its own transaction, so a failing
// step leaves the database at the step before it. Several servers starting at once on one
// database apply each step once: they take turns under a lock (PostgreSQL: an advisory lock;
// SQLite: the write lock). A database at a higher step than the list knows is refused: it was
// made by a newer server. *applied counts the steps this call applied.
bool migrateSchema(QSqlDatabase db, const QList<Migration> &migrations, int *applied,
                   QString *error);

} // namespace tavrona
