#pragma once

#include "scandescriptor.h"
#include "storage.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <list>

#include <opencv2/core.hpp>

typedef struct zip zip_t;

namespace tavrona {

// Reads entries of a container's .dat archives, keeping a few of them open: a part's cells
// come in grid order and hop between neighbouring archives.
class ArchiveSet {
public:
    ArchiveSet(const Storage &storage, QString containerId, int maxOpen = 8);
    ~ArchiveSet();
    ArchiveSet(const ArchiveSet &) = delete;
    ArchiveSet &operator=(const ArchiveSet &) = delete;

    // Sizes of the archives from a listing of the container, which saves asking for each.
    void setSizes(QHash<QString, qint64> sizes) { m_sizes = std::move(sizes); }

    bool hasEntry(const QString &archive, const QString &entry, QString *error);
    // Reads the whole entry, or only its first maxBytes when prefixOnly is set (a header).
    bool read(const QString &archive, const QString &entry, qint64 maxBytes, QByteArray *data,
              QString *error, bool prefixOnly = false);

private:
    zip_t *open(const QString &archive, QString *error);

    const Storage &m_storage;
    QString m_containerId;
    QHash<QString, qint64> m_sizes;
    int m_maxOpen;
    std::list<std::pair<QString, zip_t *>> m_open; // most recently used first
};

// Largest cell image we decode, compressed: far above any camera frame.
constexpr qint64 maxCellBytes = qint64(64) << 20;
constexpr qint64 maxCellPixels = qint64(100) * 1000 * 1000;

bool jpegSize(const QByteArray &bytes, int *width, int *height);

} // namespace tavrona
