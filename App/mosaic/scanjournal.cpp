#include "mosaic/scanjournal.h"

#include <QAtomicInt>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

QAtomicInt connectionCounter;

const int schemaVersion = 1;

const char *const schema[] = {
    "CREATE TABLE IF NOT EXISTS scan (key TEXT PRIMARY KEY, value)",
    "CREATE TABLE IF NOT EXISTS cells (image INTEGER PRIMARY KEY, part INTEGER NOT NULL, "
    "col INTEGER NOT NULL, row INTEGER NOT NULL, x INTEGER NOT NULL, y INTEGER NOT NULL, "
    "width INTEGER NOT NULL, height INTEGER NOT NULL, score REAL NOT NULL, size INTEGER NOT NULL, "
    "md5 TEXT NOT NULL, archive TEXT, live INTEGER NOT NULL DEFAULT 1)",
    "CREATE INDEX IF NOT EXISTS cells_place ON cells (part, col, row) WHERE live = 1",
    "CREATE TABLE IF NOT EXISTS images (seq INTEGER PRIMARY KEY AUTOINCREMENT, "
    "entry BLOB NOT NULL)",
    "CREATE TABLE IF NOT EXISTS files (seq INTEGER PRIMARY KEY AUTOINCREMENT, "
    "container_path TEXT NOT NULL UNIQUE, local_name TEXT NOT NULL, size INTEGER NOT NULL, "
    "md5 TEXT NOT NULL, finish INTEGER NOT NULL, etag TEXT)",
};

QVariant text(const QString &value) {
    // A null QString would be stored as NULL, which the reads below take for "not set".
    return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
}

} // namespace

bool JournalState::allConfirmed() const {
    if (!finished)
        return false;
    for (const JournalFile &file : files)
        if (file.etag.isEmpty())
            return false;
    return true;
}

ScanJournal::ScanJournal(const QString &folder, Mode mode)
    : m_folder(folder)
    , m_connection(QStringLiteral("scanjournal-%1").arg(connectionCounter.fetchAndAddRelaxed(1))) {
    const QString path = folder + QLatin1Char('/') + fileName;
    if (mode == Mode::OpenExisting && !QFileInfo::exists(path)) {
        m_error = QStringLiteral("no journal in %1").arg(folder);
        return;
    }
    if (mode == Mode::Create && !QDir().mkpath(folder)) {
        m_error = QStringLiteral("cannot make the folder %1").arg(folder);
        return;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    // Two threads may write one journal (the builder's and the hand-off's): each waits for the
    // other's short transaction instead of failing.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open()) {
        m_error = db.lastError().text();
        return;
    }
    m_open = true;
    // In write-ahead-log mode a commit is one append to the log: it survives the process being
    // killed, and a power cut loses at most the last commits, never the journal's consistency.
    QSqlQuery mode_(db);
    if (!mode_.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !execute(QStringLiteral("PRAGMA synchronous=NORMAL"))) {
        m_open = false;
        m_error = mode_.lastError().text();
        return;
    }
    for (const char *statement : schema) {
        if (!execute(QString::fromLatin1(statement))) {
            m_open = false;
            return;
        }
    }
    QSqlQuery version(db);
    if (version.exec(QStringLiteral("SELECT value FROM scan WHERE key = 'version'")) &&
        version.next()) {
        if (version.value(0).toInt() > schemaVersion) {
            m_open = false;
            m_error = QStringLiteral("the journal in %1 is of a newer version (%2)")
                          .arg(folder)
                          .arg(version.value(0).toInt());
        }
    } else if (!execute(QStringLiteral("INSERT OR IGNORE INTO scan (key, value) VALUES "
                                       "('version', ?)"),
                        {schemaVersion})) {
        m_open = false;
    }
}

ScanJournal::~ScanJournal() {
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool ScanJournal::execute(const QString &statement, const QVariantList &values) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(statement)) {
        m_error = query.lastError().text();
        return false;
    }
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        m_error = query.lastError().text();
        return false;
    }
    return true;
}

bool ScanJournal::setValue(const QString &key, const QVariant &value) {
    if (!value.isValid())
        return execute(QStringLiteral("DELETE FROM scan WHERE key = ?"), {key});
    return execute(QStringLiteral("INSERT OR REPLACE INTO scan (key, value) VALUES (?, ?)"),
                   {key, value});
}

template <typename Body>
bool ScanJournal::transaction(Body body) {
    if (!m_open)
        return false;
    m_error.clear();
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        m_error = db.lastError().text();
        return false;
    }
    if (!body() || !db.commit()) {
        if (m_error.isEmpty())
            m_error = db.lastError().text();
        db.rollback();
        qWarning() << "Scan journal" << m_folder << "not updated:" << m_error;
        return false;
    }
    return true;
}

std::optional<JournalState> ScanJournal::read() {
    if (!m_open)
        return std::nullopt;
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    JournalState state;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT key, value FROM scan"))) {
        m_error = query.lastError().text();
        return std::nullopt;
    }
    QHash<QString, QVariant> values;
    while (query.next())
        values.insert(query.value(0).toString(), query.value(1));
    state.info.containerId = values.value(QStringLiteral("container_id")).toString();
    state.info.owner = values.value(QStringLiteral("owner")).toString();
    state.info.startedAt = QDateTime::fromString(
        values.value(QStringLiteral("started_at")).toString(), Qt::ISODateWithMs);
    if (values.contains(QStringLiteral("mpp")))
        state.info.mpp = values.value(QStringLiteral("mpp")).toString();
    if (values.contains(QStringLiteral("magnification")))
        state.info.magnification = values.value(QStringLiteral("magnification")).toString();
    state.part = values.value(QStringLiteral("part")).toInt();
    state.imageCounter = values.value(QStringLiteral("image_counter")).toLongLong();
    state.archiveCounter = values.value(QStringLiteral("archive_counter")).toInt();
    state.finished = values.value(QStringLiteral("finished")).toInt() != 0;
    state.saveName = values.value(QStringLiteral("save_name")).toString();
    // A save whose page address was refused leaves the address empty: saved all the same.
    state.saved = values.contains(QStringLiteral("view_url"));
    state.viewUrl = values.value(QStringLiteral("view_url")).toString();
    state.discarded = values.value(QStringLiteral("discarded")).toInt() != 0;

    if (!query.exec(
            QStringLiteral("SELECT image, part, col, row, x, y, width, height, score, "
                           "size, md5, archive FROM cells WHERE live = 1 ORDER BY image"))) {
        m_error = query.lastError().text();
        return std::nullopt;
    }
    while (query.next()) {
        JournalCell cell;
        cell.image = query.value(0).toLongLong();
        cell.part = query.value(1).toInt();
        cell.column = query.value(2).toInt();
        cell.row = query.value(3).toInt();
        cell.x = query.value(4).toInt();
        cell.y = query.value(5).toInt();
        cell.width = query.value(6).toInt();
        cell.height = query.value(7).toInt();
        cell.score = query.value(8).toDouble();
        cell.size = query.value(9).toLongLong();
        cell.md5 = query.value(10).toString();
        cell.archive = query.value(11).toString();
        state.cells.append(cell);
    }
    if (!query.exec(QStringLiteral("SELECT entry FROM images ORDER BY seq"))) {
        m_error = query.lastError().text();
        return std::nullopt;
    }
    while (query.next())
        state.images.append(query.value(0).toByteArray());
    if (!query.exec(QStringLiteral("SELECT container_path, local_name, size, md5, finish, etag "
                                   "FROM files ORDER BY seq"))) {
        m_error = query.lastError().text();
        return std::nullopt;
    }
    while (query.next()) {
        JournalFile file;
        file.containerPath = query.value(0).toString();
        file.localName = query.value(1).toString();
        file.size = query.value(2).toLongLong();
        file.md5 = query.value(3).toString();
        file.finish = query.value(4).toInt() != 0;
        file.etag = query.value(5).toString();
        state.files.append(file);
    }
    return state;
}

bool ScanJournal::begin(const ScanInfo &info) {
    return transaction([&] {
        auto fill = [&](const char *key, const QVariant &value) {
            return !value.isValid() ||
                   execute(QStringLiteral("INSERT OR IGNORE INTO scan (key, value) VALUES (?, ?)"),
                           {QString::fromLatin1(key), value});
        };
        const QDateTime started =
            info.startedAt.isValid() ? info.startedAt : QDateTime::currentDateTimeUtc();
        return fill("container_id", text(info.containerId)) &&
               (info.owner.isEmpty() || fill("owner", info.owner)) &&
               fill("started_at", started.toUTC().toString(Qt::ISODateWithMs)) &&
               fill("mpp", info.mpp.isValid() ? QVariant(info.mpp.toString()) : QVariant()) &&
               fill("magnification", info.magnification.isValid()
                                         ? QVariant(info.magnification.toString())
                                         : QVariant());
    });
}

bool ScanJournal::setOwner(const QString &owner) {
    return transaction([&] { return setValue(QStringLiteral("owner"), text(owner)); });
}

bool ScanJournal::storeCells(const QList<JournalCell> &cells, qint64 imageCounter) {
    return transaction([&] {
        for (const JournalCell &cell : cells) {
            if (!execute(QStringLiteral("UPDATE cells SET live = 0 WHERE part = ? AND col = ? AND "
                                        "row = ? AND live = 1"),
                         {cell.part, cell.column, cell.row}) ||
                !execute(QStringLiteral("INSERT OR REPLACE INTO cells (image, part, col, row, x, "
                                        "y, width, height, score, size, md5, archive, live) "
                                        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1)"),
                         {cell.image, cell.part, cell.column, cell.row, cell.x, cell.y, cell.width,
                          cell.height, cell.score, cell.size, text(cell.md5),
                          cell.archive.isEmpty() ? QVariant() : QVariant(cell.archive)}))
                return false;
        }
        return setValue(QStringLiteral("image_counter"), imageCounter);
    });
}

bool ScanJournal::eraseCell(int part, int column, int row) {
    return transaction([&] {
        return execute(
            QStringLiteral("UPDATE cells SET live = 0 WHERE part = ? AND col = ? AND row = ?"),
            {part, column, row});
    });
}

bool ScanJournal::dropCells(const QList<qint64> &images) {
    return transaction([&] {
        for (const qint64 image : images)
            if (!execute(QStringLiteral("UPDATE cells SET live = 0 WHERE image = ?"), {image}))
                return false;
        return true;
    });
}

bool ScanJournal::addArchive(const JournalFile &archive, const QList<qint64> &images,
                             int archiveCounter) {
    return transaction([&] {
        if (!execute(QStringLiteral("INSERT OR REPLACE INTO files (container_path, local_name, "
                                    "size, md5, finish, etag) VALUES (?, ?, ?, ?, 0, NULL)"),
                     {archive.containerPath, archive.localName, archive.size, text(archive.md5)}))
            return false;
        for (const qint64 image : images)
            if (!execute(QStringLiteral("UPDATE cells SET archive = ? WHERE image = ?"),
                         {archive.containerPath, image}))
                return false;
        return setValue(QStringLiteral("archive_counter"), archiveCounter);
    });
}

bool ScanJournal::closePart(const std::optional<QByteArray> &entry, int nextPart) {
    return transaction([&] {
        if (entry && !execute(QStringLiteral("INSERT INTO images (entry) VALUES (?)"), {*entry}))
            return false;
        return setValue(QStringLiteral("part"), nextPart);
    });
}

bool ScanJournal::addSnapshot(const QByteArray &entry, const JournalFile &photo,
                              qint64 imageCounter) {
    return transaction([&] {
        return execute(QStringLiteral("INSERT INTO images (entry) VALUES (?)"), {entry}) &&
               execute(QStringLiteral("INSERT OR REPLACE INTO files (container_path, local_name, "
                                      "size, md5, finish, etag) VALUES (?, ?, ?, ?, 0, NULL)"),
                       {photo.containerPath, photo.localName, photo.size, text(photo.md5)}) &&
               setValue(QStringLiteral("image_counter"), imageCounter);
    });
}

bool ScanJournal::finish(const JournalFile &descriptor, const QVariant &mpp,
                         const QVariant &magnification) {
    return transaction([&] {
        return execute(QStringLiteral("INSERT OR REPLACE INTO files (container_path, local_name, "
                                      "size, md5, finish, etag) VALUES (?, ?, ?, ?, 1, NULL)"),
                       {descriptor.containerPath, descriptor.localName, descriptor.size,
                        text(descriptor.md5)}) &&
               setValue(QStringLiteral("mpp"),
                        mpp.isValid() ? QVariant(mpp.toString()) : QVariant()) &&
               setValue(QStringLiteral("magnification"), magnification.isValid()
                                                             ? QVariant(magnification.toString())
                                                             : QVariant()) &&
               setValue(QStringLiteral("finished"), 1);
    });
}

bool ScanJournal::confirmUpload(const QString &containerPath, const QString &etag) {
    return transaction([&] {
        return execute(QStringLiteral("UPDATE files SET etag = ? WHERE container_path = ?"),
                       {text(etag), containerPath});
    });
}

bool ScanJournal::setSaveName(const QString &name) {
    return transaction([&] { return setValue(QStringLiteral("save_name"), text(name)); });
}

bool ScanJournal::setSaved(const QString &viewUrl) {
    return transaction([&] { return setValue(QStringLiteral("view_url"), text(viewUrl)); });
}

bool ScanJournal::setDiscarded() {
    return transaction([&] { return setValue(QStringLiteral("discarded"), 1); });
}
