#pragma once

#include <QString>
#include <QtGlobal>

// The program's one message handler: every Qt message becomes one line of a fixed layout on
// standard error (UTF-8) and in the log file (local 8-bit encoding), flushed line by line so the
// file is complete when it is attached to a crash report.
namespace logging {

// Opens (truncating) the log file and installs the handler. Only the first call does anything.
void setup(const QString &fileName);
// Closes the log file; the handler stays and writes to standard error only.
void close();

// One log line, line end included.
QString formatLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

} // namespace logging
