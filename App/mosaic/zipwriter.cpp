#include "mosaic/zipwriter.h"

#include <QDebug>
#include <QDir>

#include <zip.h>

namespace {

// Closes the archive, writing what it holds; frees it if it cannot be written.
bool closeArchive(zip_t *archive, const QString &archivePath) {
    if (zip_close(archive) == 0)
        return true;
    qWarning() << "Failed to write zip file" << archivePath << zip_strerror(archive);
    zip_discard(archive);
    return false;
}

} // namespace

bool zipFiles(const QStringList &files, const QString &baseDir, const QString &archivePath) {
    zip_t *archive = zip_open(archivePath.toUtf8().constData(), ZIP_CREATE | ZIP_EXCL, nullptr);
    if (!archive) {
        qWarning() << "Failed to create zip file" << archivePath;
        return false;
    }

    const QDir base(baseDir);
    for (const QString &file : files) {
        const QString entryName = base.relativeFilePath(file).replace(QLatin1Char('\\'), "/");
        zip_source_t *source = zip_source_file(archive, file.toUtf8().constData(), 0, 0);
        if (!source) {
            qWarning() << "Failed to add file" << file << "to" << archivePath;
            closeArchive(archive, archivePath);
            return false;
        }
        const zip_int64_t index =
            zip_file_add(archive, entryName.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            qWarning() << "Failed to add file" << file << "to" << archivePath;
            zip_source_free(source);
            closeArchive(archive, archivePath);
            return false;
        }
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }

    // The sources are only read here: a file that vanished or cannot be read fails the whole
    // archive, which then does not exist and must not be uploaded.
    return closeArchive(archive, archivePath);
}
