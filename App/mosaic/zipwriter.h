#pragma once

#include <QString>
#include <QStringList>

// Writes a new ZIP archive at archivePath holding the files, stored without compression (the
// cells are JPEGs already), each named by its path relative to baseDir with "/" separators and
// flagged UTF-8. Fails, with a warning, if the archive exists already, an entry cannot be added
// or the archive cannot be written; a failed archive is never reported as written.
bool zipFiles(const QStringList &files, const QString &baseDir, const QString &archivePath);
