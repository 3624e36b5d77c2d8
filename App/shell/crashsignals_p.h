#pragma once

// The fatal-signal side of crash reporting: while the process runs, a handler for the fatal
// signals stands ready to write a record (signal, time, release, a copy of the log) into the
// crash-report folder; the next start takes the record and reports it. The user the reports
// concern is kept in the same folder, so that the record names the user of the run that died.

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace crashreport::fatal {

// What a run that died of a fatal signal left behind.
struct FatalRecord {
    int signalNumber = 0;
    qint64 time = 0;                // seconds since the epoch; 0 when the record has none
    std::optional<QString> release; // the dead run's release, when the record has one
    std::optional<QByteArray> log;  // the copy of the log it took as it died
    QVariantMap user;
};

// Opens the record files in the folder and installs the handlers. The handler copies the file
// at attachmentPath (when not empty) as the log of the record.
void arm(const QString &folder, const QString &attachmentPath, const QString &release);
// Restores the previous handlers and closes the record files.
void disarm();
// The record a previous run left in the folder, if it left one.
std::optional<FatalRecord> read(const QString &folder);
// Removes the record files: once the record is reported, or when a run ends cleanly.
void clear(const QString &folder);

// Keeps the user in the folder for the record of this run.
void saveUser(const QString &folder, const QVariantMap &user);

// "SIGSEGV", "SIGABRT", ... or "signal N".
QString signalName(int signalNumber);

} // namespace crashreport::fatal
