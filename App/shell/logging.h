#pragma once

#include <QString>
#include <QtGlobal>

// The program's one message handler: every Qt message becomes one line of a fixed layout on
// standard error (UTF-8) and in the log file (local 8-bit encoding), flushed line by line so the
// file is complete when it is attached to a crash report. Secrets are cut out of every line
// (see redaction.h) before it goes anywhere.
namespace logging {

// How many earlier logs are kept beside the current one, and the size at which the current
// log is moved aside and a new one begun: the logs never take more than (keep + 1) files of
// about maxBytes each.
struct Rotation {
    int keep = 3;
    qint64 maxBytes = 4 * 1024 * 1024;
};

// Moves the earlier logs along (name.log becomes name.1.log, name.1.log name.2.log, ...),
// opens a new log file readable by its owner only (the folder is created when missing) and
// installs the handler. Only the first call does anything.
void setup(const QString &fileName, Rotation rotation = {});
// Closes the log file; the handler stays and writes to standard error only.
void close();

// One log line, line end included, with the secrets of the message cut out.
QString formatLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The name of the n-th earlier log beside fileName ("application_output.2.log" for 2).
QString rotatedName(const QString &fileName, int n);

} // namespace logging
