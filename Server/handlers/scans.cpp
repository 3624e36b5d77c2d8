#include "handlers/scans.h"

#include "pages.h"
#include "scancomposer.h"
#include "scandescriptor.h"
#include "servicecontext.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace tavrona {

using json = nlohmann::json;

namespace {

const qint64 maxDescriptorBytes = qint64(16) << 20;
const int maxMissingListed = 20;

} // namespace

HttpReply ScanHandlers::save(const HttpRequest &request) {
    const QString containerId = request.param(QStringLiteral("container"));
    HttpReply failure;
    const auto user = m_context.ownedContainer(request, containerId, &failure);
    if (!user)
        return failure;
    const auto body = m_context.jsonBody(request, &failure);
    if (!body)
        return failure;
    const auto name = body->find("file_name");
    if (name == body->end() || !name->is_string())
        return HttpReply::error(400, QStringLiteral("\"file_name\" (string) is required"));
    const QString scanName = fromJson(*name).trimmed();
    if (scanName.isEmpty() || scanName.size() > 255 || hasControlCharacters(scanName))
        return HttpReply::error(400, QStringLiteral("\"file_name\" must be 1 to 255 printable "
                                                    "characters"));
    const auto type = body->find("type");
    if (type == body->end() || !type->is_string() || type->get<std::string>() != "isd_file")
        return HttpReply::error(400, QStringLiteral("\"type\" must be \"isd_file\""));

    Database &db = m_context.db;
    Storage &storage = m_context.storage;
    QFile isd(storage.filePath(containerId, QStringLiteral("scan.isd")));
    if (!db.upload(containerId, QStringLiteral("scan.isd")) || !isd.open(QIODevice::ReadOnly))
        return HttpReply::error(400, QStringLiteral("scan.isd has not been uploaded"));
    if (isd.size() > maxDescriptorBytes)
        return HttpReply::error(400, QStringLiteral("scan.isd is too large"));
    const QByteArray descriptorText = isd.readAll();
    ScanDescriptor descriptor;
    QString error;
    if (!parseScanDescriptor(descriptorText, &descriptor, &error))
        return HttpReply::error(400, error);

    json missing = json::array();
    int missingCount = 0;
    auto addMissing = [&](const QString &what) {
        if (++missingCount <= maxMissingListed)
            missing.push_back(utf8(what));
    };
    auto uploaded = [&](const QString &path) {
        return db.upload(containerId, path).has_value() &&
               QFileInfo(storage.filePath(containerId, path)).isFile();
    };
    ArchiveSet archives(storage, containerId);
    QSet<QString> checkedArchives;
    QSet<QString> missingArchives;
    for (const ScanImage &image : descriptor.images) {
        if (image.type == ScanImage::Type::Single) {
            if (!uploaded(image.path))
                addMissing(image.path);
            continue;
        }
        for (const StitchedCell &cell : image.cells) {
            if (!checkedArchives.contains(cell.archive)) {
                checkedArchives.insert(cell.archive);
                if (!uploaded(cell.archive))
                    missingArchives.insert(cell.archive);
            }
            if (missingArchives.contains(cell.archive)) {
                addMissing(cell.archive + QLatin1Char('/') + cell.entry);
                continue;
            }
            QString entryError;
            if (!archives.hasEntry(cell.archive, cell.entry, &entryError))
                addMissing(cell.archive + QLatin1Char('/') + cell.entry);
        }
    }
    if (missingCount > 0)
        return HttpReply::error(400,
                                QStringLiteral("scan.isd refers to %1 file(s) that were not "
                                               "uploaded")
                                    .arg(missingCount),
                                {{"missing", missing}});

    ScanRecord scan;
    scan.id = ServiceContext::randomHex(16);
    scan.containerId = containerId;
    scan.userId = user->id;
    scan.name = scanName;
    scan.descriptor = QString::fromUtf8(descriptorText);
    scan.createdAt = m_context.now();
    if (!db.addScan(scan))
        return HttpReply::error(500, QStringLiteral("cannot record the scan"));
    return HttpReply::json(
        {{"view_url", utf8(request.baseUrl + QStringLiteral("scans/") + scan.id)},
         {"scan_id", utf8(scan.id)}});
}

HttpReply ScanHandlers::page(const HttpRequest &request) {
    const auto scan = m_context.db.scan(request.param(QStringLiteral("scan")));
    ScanDescriptor descriptor;
    QString error;
    if (!scan || !parseScanDescriptor(scan->descriptor.toUtf8(), &descriptor, &error))
        return HttpReply::html(pages::message(QStringLiteral("Unknown scan"),
                                              QStringLiteral("There is no scan at this address.")),
                               404);
    QList<pages::ScanPageImage> images;
    int index = 0;
    for (const ScanImage &image : descriptor.images) {
        pages::ScanPageImage entry;
        entry.stitched = image.type == ScanImage::Type::Stitched;
        entry.width = image.width;
        entry.height = image.height;
        entry.cells = int(image.cells.size());
        entry.source = QStringLiteral("/scans/%1/images/%2.jpg").arg(scan->id).arg(index++);
        images.append(entry);
    }
    return HttpReply::html(pages::scan(*scan, descriptor.mpp, descriptor.magnification, images));
}

HttpReply ScanHandlers::image(const HttpRequest &request) {
    const auto scan = m_context.db.scan(request.param(QStringLiteral("scan")));
    const QString imageName = request.param(QStringLiteral("image"));
    ScanDescriptor descriptor;
    QString error;
    bool ok = false;
    const int index =
        imageName.endsWith(QLatin1String(".jpg")) ? imageName.chopped(4).toInt(&ok) : -1;
    if (!scan || !ok || index < 0 ||
        !parseScanDescriptor(scan->descriptor.toUtf8(), &descriptor, &error) ||
        index >= int(descriptor.images.size()))
        return HttpReply::error(404, QStringLiteral("no such image"));

    const ScanImage &image = descriptor.images[size_t(index)];
    QString path;
    if (image.type == ScanImage::Type::Single) {
        path = m_context.storage.filePath(scan->containerId, image.path);
    } else {
        // Built once, on first view, then served from the cache until the container changes.
        path = QStringLiteral("%1/%2.jpg").arg(m_context.cacheDir(scan->id)).arg(index);
        if (!QFileInfo::exists(path)) {
            ArchiveSet archives(m_context.storage, scan->containerId);
            int skipped = 0;
            const cv::Mat composed =
                composeStitched(image, archives, m_context.options.viewMaxSidePx, &skipped);
            if (skipped > 0)
                qWarning().noquote() << "Scan" << scan->id << "part" << index << ":" << skipped
                                     << "cells could not be read";
            if (!writeJpegAtomically(composed, path, &error)) {
                qWarning().noquote() << "Cannot cache the composed part:" << error;
                return HttpReply::error(500, QStringLiteral("cannot compose the image"));
            }
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return HttpReply::error(404, QStringLiteral("the image file is missing"));
    HttpReply reply;
    reply.contentType = "image/jpeg";
    reply.body = file.readAll();
    return reply;
}

} // namespace tavrona
