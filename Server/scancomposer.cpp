#include "scancomposer.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tavrona {

ArchiveSet::ArchiveSet(const Storage &storage, QString containerId, int maxOpen)
    : m_storage(storage)
    , m_containerId(std::move(containerId))
    , m_maxOpen(std::max(1, maxOpen)) {}

ArchiveSet::~ArchiveSet() {
    for (auto &[name, archive] : m_open)
        zip_discard(archive);
}

zip_t *ArchiveSet::open(const QString &archive, QString *error) {
    for (auto it = m_open.begin(); it != m_open.end(); ++it) {
        if (it->first == archive) {
            m_open.splice(m_open.begin(), m_open, it);
            return it->second;
        }
    }
    zip_t *handle =
        m_storage.openArchive(m_containerId, archive, error, m_sizes.value(archive, -1));
    if (!handle)
        return nullptr;
    m_open.emplace_front(archive, handle);
    if (int(m_open.size()) > m_maxOpen) {
        zip_discard(m_open.back().second);
        m_open.pop_back();
    }
    return handle;
}

bool ArchiveSet::hasEntry(const QString &archive, const QString &entry, QString *error) {
    zip_t *handle = open(archive, error);
    if (!handle)
        return false;
    if (zip_name_locate(handle, entry.toUtf8().constData(), ZIP_FL_ENC_UTF_8) < 0) {
        *error = QStringLiteral("archive \"%1\" has no entry \"%2\"").arg(archive, entry);
        return false;
    }
    return true;
}

bool ArchiveSet::read(const QString &archive, const QString &entry, qint64 maxBytes,
                      QByteArray *data, QString *error, bool prefixOnly) {
    zip_t *handle = open(archive, error);
    if (!handle)
        return false;
    const QByteArray name = entry.toUtf8();
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat(handle, name.constData(), ZIP_FL_ENC_UTF_8, &stat) != 0 ||
        !(stat.valid & ZIP_STAT_SIZE)) {
        *error = QStringLiteral("archive \"%1\" has no entry \"%2\"").arg(archive, entry);
        return false;
    }
    const qint64 wanted = prefixOnly ? std::min(qint64(stat.size), maxBytes) : qint64(stat.size);
    if (wanted > maxBytes) {
        *error = QStringLiteral("entry \"%1\" of \"%2\" is too large").arg(entry, archive);
        return false;
    }
    zip_file_t *file = zip_fopen(handle, name.constData(), ZIP_FL_ENC_UTF_8);
    if (!file) {
        *error = QStringLiteral("cannot read \"%1\" of \"%2\"").arg(entry, archive);
        return false;
    }
    data->resize(qsizetype(wanted));
    const zip_int64_t got = zip_fread(file, data->data(), zip_uint64_t(wanted));
    zip_fclose(file);
    if (got != zip_int64_t(wanted)) {
        *error = QStringLiteral("cannot read \"%1\" of \"%2\"").arg(entry, archive);
        return false;
    }
    return true;
}

// Width and height from a JPEG's frame header, read before decoding so that a small file
// claiming a huge image cannot make us allocate it.
bool jpegSize(const QByteArray &bytes, int *width, int *height) {
    const auto *d = reinterpret_cast<const uchar *>(bytes.constData());
    const qsizetype n = bytes.size();
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return false;
    qsizetype i = 2;
    while (i + 4 <= n) {
        if (d[i] != 0xFF)
            return false;
        const uchar marker = d[i + 1];
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        const int length = (d[i + 2] << 8) | d[i + 3];
        const bool startOfFrame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame) {
            if (i + 9 > n)
                return false;
            *height = (d[i + 5] << 8) | d[i + 6];
            *width = (d[i + 7] << 8) | d[i + 8];
            return true;
        }
        if (length < 2)
            return false;
        i += 2 + length;
    }
    return false;
}

} // namespace tavrona
