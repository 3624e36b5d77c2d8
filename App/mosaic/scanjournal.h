#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

// Who a scan belongs to and how it was taken: what a scan folder needs to be closed and
// uploaded by a later run of the program.
struct ScanInfo {
    QString containerId;
    QString owner;       // e-mail address of the user whose container it is; empty if unknown
    QDateTime startedAt; // UTC
    QVariant mpp;        // the calibration: micrometres per pixel and magnification, as texts
    QVariant magnification;
};

// A stored cell as the journal records it. Its file is "<image>.jpg" in the scan folder.
struct JournalCell {
    qint64 image = 0;
    int part = 0;
    int column = 0;
    int row = 0;
    int x = 0; // place in full-resolution mosaic coordinates and size of the stored image
    int y = 0;
    int width = 0;
    int height = 0;
    double score = 0;
    qint64 size = 0;
    QString md5;
    QString archive; // the archive holding it ("00001.dat"); empty while it is pending
};

// A file of the package whose upload was asked for.
struct JournalFile {
    QString containerPath;
    QString localName; // inside the scan folder
    qint64 size = 0;
    QString md5;
    bool finish = false; // the descriptor: the scan's last file
    QString etag;        // the ETag the service confirmed; empty until then
};

// Everything a journal holds, as read back.
struct JournalState {
    ScanInfo info;
    int part = 0;             // the part being taken
    qint64 imageCounter = 0;  // number of the next image file
    int archiveCounter = 0;   // number of the next archive
    QList<JournalCell> cells; // every stored cell of every part that is not replaced or erased
    QList<QByteArray> images; // descriptor entries (JSON) of closed parts and photos, in order
    QList<JournalFile> files; // in the order they were asked for
    bool finished = false;    // the descriptor is written and asked for
    QString saveName;         // the name the user asked to save the scan under
    bool saved = false;       // the service saved it
    QString viewUrl;          // its page; may be empty when saved (an address refused)
    bool discarded = false;

    bool allConfirmed() const;
};

// The journal of one scan: an SQLite database in the scan folder, in write-ahead-log mode. Each
// record is one transaction, so once a call returns true the record survives the program being
// killed at any moment after it, and the journal is never half-updated. It records the scan's
// container and owner, the calibration, each cell and photo stored, each archive made, each
// upload asked for and each one the service confirmed, the finish, and the save's name.
//
// SQLite rather than an append-only file of our own: a record that touches several things at
// once (an archive with the cells it holds, a part closed with its entry) is atomic without a
// format of ours to frame and check, the state is read back with queries instead of a replay,
// and two threads (the builder's and the service hand-off's) can write the same journal through
// connections of their own without a lock of ours.
//
// An object uses its database connection in the thread that made it only.
class ScanJournal {
public:
    static inline const QString fileName = QStringLiteral("journal.sqlite");

    enum class Mode { Create, OpenExisting };

    explicit ScanJournal(const QString &folder, Mode mode = Mode::Create);
    ~ScanJournal();
    ScanJournal(const ScanJournal &) = delete;
    ScanJournal &operator=(const ScanJournal &) = delete;

    bool isOpen() const { return m_open; }
    QString errorString() const { return m_error; }
    QString folder() const { return m_folder; }

    std::optional<JournalState> read();

    // Fills the scan's description where it is still empty.
    bool begin(const ScanInfo &info);
    bool setOwner(const QString &owner);
    // The cells of one frame; each replaces the stored cell of its place, if any.
    bool storeCells(const QList<JournalCell> &cells, qint64 imageCounter);
    bool eraseCell(int part, int column, int row);
    // Cells whose file turned out damaged or missing: no longer stored.
    bool dropCells(const QList<qint64> &images);
    // An archive written, holding these cells, and its upload asked for.
    bool addArchive(const JournalFile &archive, const QList<qint64> &images, int archiveCounter);
    // The part closed with its descriptor entry (none when it had no cells).
    bool closePart(const std::optional<QByteArray> &entry, int nextPart);
    // A photo stored with its descriptor entry, and its upload asked for.
    bool addSnapshot(const QByteArray &entry, const JournalFile &photo, qint64 imageCounter);
    // The descriptor written with this calibration, and its upload asked for.
    bool finish(const JournalFile &descriptor, const QVariant &mpp, const QVariant &magnification);
    bool confirmUpload(const QString &containerPath, const QString &etag);
    bool setSaveName(const QString &name);
    bool setSaved(const QString &viewUrl);
    bool setDiscarded();

private:
    bool execute(const QString &statement, const QVariantList &values = {});
    bool setValue(const QString &key, const QVariant &value);
    template <typename Body>
    bool transaction(Body body);

    QString m_folder;
    QString m_connection;
    QString m_error;
    bool m_open = false;
};
