#include "handlers/scans.h"

#include "pages.h"
#include "scancomposer.h"
#include "scandescriptor.h"
#include "servicecontext.h"

#include "jobs.h"
#include "objectstore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <algorithm>

#include <zip.h>

namespace tavrona {

using json = nlohmann::json;

namespace {

const qint64 maxDescriptorBytes = qint64(16) << 20;
const int maxMissingListed = 20;

} // namespace

ScanHandlers::ScanHandlers(ServiceContext &context)
    : m_context(context) {
    m_checks.setMaxThreadCount(JobPool::defaultThreads(QThread::idealThreadCount()));
}

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

    // The check lists the container and reads scan.isd and every archive's directory from the
    // store (uploads to a bucket never pass through this server: the store is the record of
    // what arrived). That takes a while for a large scan, so it runs on a worker, and the scan
    // is recorded back on this thread once the check has passed.
    auto pending = std::make_shared<PendingReply>();
    const QString viewBase = request.baseUrl + QStringLiteral("scans/");
    const qint64 userId = user->id;
    m_checks.start([this, pending, containerId, scanName, viewBase, userId] {
        auto checked = std::make_shared<PackageCheck>(checkPackage(containerId));
        QMetaObject::invokeMethod(
            &m_thread,
            [this, pending, checked, containerId, scanName, viewBase, userId] {
                if (checked->refusal.status != 200) {
                    pending->finish(checked->refusal);
                    return;
                }
                ScanRecord scan;
                scan.id = ServiceContext::randomHex(16);
                scan.containerId = containerId;
                scan.userId = userId;
                scan.name = scanName;
                scan.descriptor = QString::fromUtf8(checked->descriptorText);
                scan.createdAt = m_context.now();
                // The files as the check found them, the scan and its jobs: one transaction.
                QList<QPair<QString, Upload>> files;
                for (const StoredObject &object : checked->files)
                    if (!object.md5.isEmpty())
                        files.append(
                            {object.key, Upload{object.size, QString::fromLatin1(object.md5)}});
                if (!m_context.db.addScanWithJobs(scan, stitchedParts(checked->descriptor),
                                                  QDateTime::currentSecsSinceEpoch(), files)) {
                    qWarning().noquote() << "Cannot record the scan of" << containerId << ":"
                                         << m_context.db.lastError();
                    pending->finish(
                        HttpReply::error(500, QStringLiteral("cannot record the scan")));
                    return;
                }
                if (m_context.jobs)
                    m_context.jobs->wake();
                pending->finish(HttpReply::json(
                    {{"view_url", utf8(viewBase + scan.id)}, {"scan_id", utf8(scan.id)}}));
            },
            Qt::QueuedConnection);
    });
    return HttpReply::later(pending);
}

ScanHandlers::PackageCheck ScanHandlers::checkPackage(const QString &containerId) {
    PackageCheck checked;
    const Storage &storage = m_context.storage;
    QString error;
    const auto listed = storage.files(containerId, &error);
    if (!listed) {
        qWarning().noquote() << "Cannot list container" << containerId << ":" << error;
        checked.refusal = HttpReply::error(503, QStringLiteral("the storage cannot be read now"));
        return checked;
    }
    checked.files = *listed;
    QHash<QString, qint64> sizes;
    for (const StoredObject &object : checked.files)
        sizes.insert(object.key, object.size);
    auto uploaded = [&](const QString &path) {
        return sizes.contains(path);
    };
    if (!uploaded(QStringLiteral("scan.isd"))) {
        checked.refusal = HttpReply::error(400, QStringLiteral("scan.isd has not been uploaded"));
        return checked;
    }
    if (sizes.value(QStringLiteral("scan.isd")) > maxDescriptorBytes) {
        checked.refusal = HttpReply::error(400, QStringLiteral("scan.isd is too large"));
        return checked;
    }
    const auto text =
        storage.read(containerId, QStringLiteral("scan.isd"), maxDescriptorBytes, &error);
    if (!text) {
        qWarning().noquote() << "Cannot read scan.isd of" << containerId << ":" << error;
        checked.refusal = HttpReply::error(503, QStringLiteral("the storage cannot be read now"));
        return checked;
    }
    checked.descriptorText = *text;
    ScanDescriptor *descriptor = &checked.descriptor;
    if (!parseScanDescriptor(checked.descriptorText, descriptor, &error)) {
        checked.refusal = HttpReply::error(400, error);
        return checked;
    }
    json missing = json::array();
    int missingCount = 0;
    auto addMissing = [&](const QString &what) {
        if (++missingCount <= maxMissingListed)
            missing.push_back(utf8(what));
    };
    ArchiveSet archives(storage, containerId);
    archives.setSizes(sizes);
    QSet<QString> checkedArchives;
    QSet<QString> missingArchives;
    for (const ScanImage &image : descriptor->images) {
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
        checked.refusal = HttpReply::error(400,
                                           QStringLiteral("scan.isd refers to %1 file(s) that "
                                                          "were not uploaded")
                                               .arg(missingCount),
                                           {{"missing", missing}});
    return checked;
}

std::optional<ScanHandlers::SavedScan> ScanHandlers::load(const HttpRequest &request) {
    const QString id = request.param(QStringLiteral("scan"));
    if (!Storage::isContainerId(id))
        return std::nullopt;
    SavedScan saved;
    // A saved scan's record and descriptor never change: a few stay parsed, since a viewer
    // asks for many tiles of one scan in a row. Its jobs are read each time.
    for (auto it = m_scans.begin(); it != m_scans.end(); ++it) {
        if (it->first == id) {
            m_scans.splice(m_scans.begin(), m_scans, it);
            saved.scan = it->second.first;
            saved.descriptor = it->second.second;
            break;
        }
    }
    if (!saved.descriptor) {
        auto scan = m_context.db.scan(id);
        auto descriptor = std::make_shared<ScanDescriptor>();
        QString error;
        if (!scan || !parseScanDescriptor(scan->descriptor.toUtf8(), descriptor.get(), &error))
            return std::nullopt;
        saved.scan = std::make_shared<const ScanRecord>(std::move(*scan));
        saved.descriptor = std::move(descriptor);
        m_scans.emplace_front(id, std::make_pair(saved.scan, saved.descriptor));
        if (m_scans.size() > 8)
            m_scans.pop_back();
    }
    saved.parts = stitchedParts(*saved.descriptor);
    saved.jobs = m_context.db.jobsOfScan(id);
    return saved;
}

json ScanHandlers::SavedScan::partJson(int part) const {
    const ScanImage &image = descriptor->images[size_t(parts[part].second)];
    Job job;
    for (const Job &j : jobs)
        if (j.part == part)
            job = j;
    const QString base = QStringLiteral("/scans/%1/parts/%2").arg(scan->id).arg(part);
    json entry = {{"part", part},
                  {"state", utf8(jobStateName(job.state))},
                  {"progress", job.state == Job::State::Ready ? 100 : job.progress},
                  {"width", image.width},
                  {"height", image.height},
                  {"cells", image.cells.size()},
                  {"mpp", descriptor->mpp > 0 ? json(descriptor->mpp) : json(nullptr)}};
    if (job.state == Job::State::Ready) {
        entry["skipped_cells"] = job.skippedCells;
        entry["dzi"] = utf8(base + QStringLiteral(".dzi?v=") + job.build);
        entry["ome_tiff"] = utf8(base + QStringLiteral(".ome.tif"));
    }
    if (job.state == Job::State::Failed)
        entry["error"] = utf8(job.error);
    return entry;
}

json ScanHandlers::SavedScan::statusJson() const {
    json partList = json::array();
    for (int part = 0; part < int(parts.size()); ++part)
        partList.push_back(partJson(part));
    json photos = json::array();
    for (size_t i = 0; i < descriptor->images.size(); ++i)
        if (descriptor->images[i].type == ScanImage::Type::Single)
            photos.push_back(
                {{"url", utf8(QStringLiteral("/scans/%1/images/%2.jpg").arg(scan->id).arg(i))}});
    return {{"scan_id", utf8(scan->id)},
            {"name", utf8(scan->name)},
            {"mpp", descriptor->mpp > 0 ? json(descriptor->mpp) : json(nullptr)},
            {"magnification",
             descriptor->magnification > 0 ? json(descriptor->magnification) : json(nullptr)},
            {"parts", partList},
            {"photos", photos},
            {"package", utf8(QStringLiteral("/scans/%1/package.zip").arg(scan->id))}};
}

HttpReply ScanHandlers::page(const HttpRequest &request) {
    const auto saved = load(request);
    if (!saved)
        return HttpReply::html(pages::message(QStringLiteral("Unknown scan"),
                                              QStringLiteral("There is no scan at this address.")),
                               404);
    return HttpReply::html(pages::scan(*saved->scan, saved->descriptor->mpp,
                                       saved->descriptor->magnification,
                                       QString::fromStdString(saved->statusJson().dump())));
}

HttpReply ScanHandlers::status(const HttpRequest &request) {
    const auto saved = load(request);
    if (!saved)
        return HttpReply::error(404, QStringLiteral("no such scan"));
    HttpReply reply = HttpReply::json(saved->statusJson());
    reply.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    return reply;
}

HttpReply ScanHandlers::image(const HttpRequest &request) {
    const auto saved = load(request);
    const QString imageName = request.param(QStringLiteral("image"));
    bool ok = false;
    const int index =
        imageName.endsWith(QLatin1String(".jpg")) ? imageName.chopped(4).toInt(&ok) : -1;
    if (!saved || !ok || index < 0 || index >= int(saved->descriptor->images.size()) ||
        saved->descriptor->images[size_t(index)].type != ScanImage::Type::Single)
        return HttpReply::error(404, QStringLiteral("no such photo"));
    QString error;
    bool missing = false;
    auto photo = m_context.storage.read(saved->scan->containerId,
                                        saved->descriptor->images[size_t(index)].path, maxCellBytes,
                                        &error, &missing);
    if (!photo) {
        if (!missing)
            qWarning().noquote() << "Cannot read a photo of scan" << saved->scan->id << ":"
                                 << error;
        return HttpReply::error(missing ? 404 : 503,
                                missing ? QStringLiteral("the photo file is missing")
                                        : QStringLiteral("the storage cannot be read now"));
    }
    HttpReply reply;
    reply.contentType = "image/jpeg";
    reply.body = std::move(*photo);
    return reply;
}

// The part's job when its files are ready; otherwise the answer to give instead: 404 for an
// unknown scan or part, 202 with the part's status while it is being made, 500 when it failed.
std::optional<Job> ScanHandlers::readyPart(const HttpRequest &request, SavedScan *saved, int *part,
                                           HttpReply *instead) {
    auto loaded = load(request);
    bool ok = false;
    *part = request.param(QStringLiteral("part")).toInt(&ok);
    if (!loaded || !ok || *part < 0 || *part >= int(loaded->parts.size()) ||
        request.param(QStringLiteral("part")) != QString::number(*part)) {
        *instead = HttpReply::error(404, QStringLiteral("no such part"));
        return std::nullopt;
    }
    *saved = std::move(*loaded);
    for (const Job &job : saved->jobs) {
        if (job.part != *part)
            continue;
        if (job.state == Job::State::Ready)
            return job;
        if (job.state == Job::State::Failed) {
            *instead = HttpReply::json(saved->partJson(*part), 500);
            return std::nullopt;
        }
    }
    *instead = HttpReply::json(saved->partJson(*part), 202);
    instead->headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    instead->headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("1")));
    return std::nullopt;
}

namespace {

// The reply with the file as its body: all of it, or the one range the request asks for
// ("bytes=a-b", "bytes=a-", "bytes=-n"). A list of ranges, or one that does not parse, gets the
// whole file; so does If-Range with another validator.
HttpReply withFileBody(const HttpRequest &request, HttpReply reply, const QString &path,
                       qint64 size, const QByteArray &etag) {
    reply.headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
    FileBody body{path, 0, size};
    const QByteArray range = request.header("range").trimmed();
    const QByteArray ifRange = request.header("if-range").trimmed();
    static const QRegularExpression single(QStringLiteral("^bytes=(\\d*)-(\\d*)$"));
    const auto m = single.match(QString::fromLatin1(range));
    if (m.hasMatch() && (ifRange.isEmpty() || ifRange == etag) &&
        !(m.captured(1).isEmpty() && m.captured(2).isEmpty())) {
        qint64 first = 0;
        qint64 last = size - 1;
        if (m.captured(1).isEmpty()) {
            first = std::max<qint64>(0, size - m.captured(2).toLongLong());
        } else {
            first = m.captured(1).toLongLong();
            if (!m.captured(2).isEmpty())
                last = std::min(last, m.captured(2).toLongLong());
        }
        if (first >= size || first > last) {
            HttpReply refused = HttpReply::error(416, QStringLiteral("the range is outside the "
                                                                     "file"));
            refused.headers.append({"Content-Range", "bytes */" + QByteArray::number(size)});
            return refused;
        }
        reply.status = 206;
        reply.headers.append({"Content-Range", "bytes " + QByteArray::number(first) + '-' +
                                                   QByteArray::number(last) + '/' +
                                                   QByteArray::number(size)});
        body = {path, first, last - first + 1};
    }
    reply.file = body;
    return reply;
}

bool notModified(const HttpRequest &request, const QByteArray &etag) {
    const QByteArray match = request.header("if-none-match");
    if (match.isEmpty())
        return false;
    for (const QByteArray &tag : match.split(','))
        if (tag.trimmed() == etag || tag.trimmed() == "*")
            return true;
    return false;
}

// A Content-Disposition that saves the file under the scan's name, reduced to safe characters.
QByteArray attachment(QString scanName, const QByteArray &suffix) {
    scanName.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._ -]")), QStringLiteral("_"));
    return "attachment; filename=\"" + scanName.toUtf8() + suffix + '"';
}

HttpReply notModifiedReply(const QByteArray &etag, const QByteArray &cacheControl) {
    HttpReply reply;
    reply.status = 304;
    reply.contentType.clear();
    reply.headers = {{"ETag", etag}, {"Cache-Control", cacheControl}};
    return reply;
}

} // namespace

// Deep Zoom files are read from the build's zip; a few zips stay open, since a viewer asks for
// many tiles of the same part in a row. Builds never change, so an open zip never goes stale.
QByteArray ScanHandlers::readDeepZoom(const QString &zipPath, const QString &entry, bool *found) {
    *found = false;
    zip_t *archive = nullptr;
    for (auto it = m_zips.begin(); it != m_zips.end(); ++it) {
        if (it->first == zipPath) {
            m_zips.splice(m_zips.begin(), m_zips, it);
            archive = it->second;
            break;
        }
    }
    if (!archive) {
        int code = 0;
        archive = zip_open(QFile::encodeName(zipPath).constData(), ZIP_RDONLY, &code);
        if (!archive)
            return {};
        m_zips.emplace_front(zipPath, archive);
        if (m_zips.size() > 16) {
            zip_discard(m_zips.back().second);
            m_zips.pop_back();
        }
    }
    const QByteArray name = ("dz/" + entry).toUtf8();
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat(archive, name.constData(), 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE) ||
        stat.size > (64u << 20))
        return {};
    zip_file_t *file = zip_fopen(archive, name.constData(), 0);
    if (!file)
        return {};
    QByteArray data(qsizetype(stat.size), Qt::Uninitialized);
    const bool ok = zip_fread(file, data.data(), stat.size) == zip_int64_t(stat.size);
    zip_fclose(file);
    *found = ok;
    return ok ? data : QByteArray();
}

ScanHandlers::~ScanHandlers() {
    m_checks.waitForDone();
    for (auto &[path, archive] : m_zips)
        zip_discard(archive);
}

HttpReply ScanHandlers::dzi(const HttpRequest &request) {
    SavedScan saved;
    int part = 0;
    HttpReply instead;
    const auto job = readyPart(request, &saved, &part, &instead);
    if (!job)
        return instead;
    const QByteArray etag = '"' + job->build.toLatin1() + '"';
    // The name stays while a changed container makes the part anew: ask each time.
    if (notModified(request, etag))
        return notModifiedReply(etag, "no-cache");
    bool found = false;
    const QString zipPath = m_context.storage.derivedFile(
        saved.scan->containerId, saved.scan->id, part, job->build, QStringLiteral("dz.zip"));
    HttpReply reply;
    reply.body = readDeepZoom(zipPath, QStringLiteral("dz.dzi"), &found);
    if (!found)
        return HttpReply::error(500, QStringLiteral("the part's files are missing"));
    reply.contentType = "application/xml";
    reply.headers = {{"ETag", etag}, {"Cache-Control", "no-cache"}};
    return reply;
}

HttpReply ScanHandlers::tile(const HttpRequest &request) {
    SavedScan saved;
    int part = 0;
    HttpReply instead;
    const auto job = readyPart(request, &saved, &part, &instead);
    if (!job)
        return instead;
    bool numbers = true;
    QStringList coordinates;
    for (const char *name : {"level", "col", "row"}) {
        bool ok = false;
        const QString text = request.param(QLatin1String(name));
        const int value = text.toInt(&ok);
        numbers = numbers && ok && value >= 0 && text == QString::number(value);
        coordinates << text;
    }
    if (!numbers)
        return HttpReply::error(404, QStringLiteral("no such tile"));
    // Tile addresses that name their build ("?v=", as the page asks) never change content.
    const QString version = request.query.queryItemValue(QStringLiteral("v"));
    if (!version.isEmpty() && version != job->build)
        return HttpReply::error(404, QStringLiteral("this build of the part has been replaced"));
    const QByteArray cacheControl = version.isEmpty()
                                        ? QByteArray("no-cache")
                                        : QByteArray("public, max-age=31536000, immutable");
    const QByteArray etag =
        '"' + job->build.toLatin1() + '-' + coordinates.join('-').toLatin1() + '"';
    if (notModified(request, etag))
        return notModifiedReply(etag, cacheControl);
    bool found = false;
    const QString zipPath = m_context.storage.derivedFile(
        saved.scan->containerId, saved.scan->id, part, job->build, QStringLiteral("dz.zip"));
    HttpReply reply;
    reply.body = readDeepZoom(zipPath,
                              QStringLiteral("dz_files/%1/%2_%3.jpeg")
                                  .arg(coordinates[0], coordinates[1], coordinates[2]),
                              &found);
    if (!found)
        return HttpReply::error(404, QStringLiteral("no such tile"));
    reply.contentType = "image/jpeg";
    reply.headers = {{"ETag", etag}, {"Cache-Control", cacheControl}};
    return reply;
}

HttpReply ScanHandlers::omeTiff(const HttpRequest &request) {
    SavedScan saved;
    int part = 0;
    HttpReply instead;
    const auto job = readyPart(request, &saved, &part, &instead);
    if (!job)
        return instead;
    const QString path = m_context.storage.derivedFile(
        saved.scan->containerId, saved.scan->id, part, job->build, QStringLiteral("image.ome.tif"));
    const qint64 size = QFileInfo(path).size();
    if (size <= 0)
        return HttpReply::error(500, QStringLiteral("the part's files are missing"));
    const QByteArray etag = '"' + job->build.toLatin1() + "-tif\"";
    if (notModified(request, etag))
        return notModifiedReply(etag, "no-cache");

    HttpReply reply;
    reply.contentType = "image/tiff";
    reply.headers = {
        {"ETag", etag},
        {"Cache-Control", "no-cache"},
        {"Content-Disposition",
         attachment(saved.scan->name, " part " + QByteArray::number(part + 1) + ".ome.tif")}};
    return withFileBody(request, std::move(reply), path, size, etag);
}

HttpReply ScanHandlers::package(const HttpRequest &request) {
    const auto saved = load(request);
    if (!saved)
        return HttpReply::error(404, QStringLiteral("no such scan"));
    // The package is what the program uploaded: every file of the container, as stored. Its
    // version is a digest of their names and MD5s, so a changed container is packed anew. The
    // uploads this server took are in the database; uploads to a bucket never pass through a
    // server, so there the bucket's listing (with its MD5 ETags) says what the container holds.
    const QString containerId = saved->scan->containerId;
    QStringList paths;
    QHash<QString, QString> md5s;
    if (m_context.storage.remote()) {
        QString error;
        const auto listed = m_context.storage.files(containerId, &error);
        if (!listed) {
            qWarning().noquote() << "Cannot list container" << containerId << ":" << error;
            return HttpReply::error(503, QStringLiteral("the storage cannot be read now"));
        }
        for (const StoredObject &object : *listed) {
            paths << object.key;
            md5s.insert(object.key, QString::fromLatin1(object.md5) + QLatin1Char('/') +
                                        QString::number(object.size));
        }
    } else {
        paths = m_context.db.uploadPaths(containerId).values();
        for (const QString &path : std::as_const(paths)) {
            const auto upload = m_context.db.upload(containerId, path);
            md5s.insert(path, upload ? upload->md5 : QString());
        }
    }
    std::sort(paths.begin(), paths.end());
    QCryptographicHash digest(QCryptographicHash::Md5);
    for (const QString &path : std::as_const(paths))
        digest.addData((path + QLatin1Char('\t') + md5s.value(path) + QLatin1Char('\n')).toUtf8());
    const QString version = QString::fromLatin1(digest.result().toHex().left(16));
    const QString path = m_context.storage.packageFile(containerId, saved->scan->id, version);
    const QByteArray etag = '"' + version.toLatin1() + "-zip\"";
    if (notModified(request, etag))
        return notModifiedReply(etag, "no-cache");
    HttpReply reply;
    reply.contentType = "application/zip";
    reply.headers = {{"ETag", etag},
                     {"Cache-Control", "no-cache"},
                     {"Content-Disposition", attachment(saved->scan->name, ".zip")}};
    if (QFileInfo(path).isFile())
        return withFileBody(request, std::move(reply), path, QFileInfo(path).size(), etag);

    // Packed on a worker when first asked for; requests that come meanwhile wait for the same
    // file.
    auto pending = std::make_shared<PendingReply>();
    auto &waiting = m_packing[path];
    waiting.push_back({pending, request});
    if (waiting.size() > 1)
        return HttpReply::later(pending);
    const QString scanId = saved->scan->id;
    m_checks.start([this, containerId, scanId, version, paths, path, reply, etag] {
        QString error;
        const bool written =
            m_context.storage.writePackage(containerId, scanId, version, paths, &error);
        QMetaObject::invokeMethod(
            &m_thread,
            [this, written, error, path, reply, etag] {
                const auto requests = m_packing.take(path);
                if (!written)
                    qWarning().noquote() << "Package of" << path << "not made:" << error;
                for (const auto &[waiting, request] : requests)
                    waiting->finish(
                        written ? withFileBody(request, reply, path, QFileInfo(path).size(), etag)
                                : HttpReply::error(500, error));
            },
            Qt::QueuedConnection);
    });
    return HttpReply::later(pending);
}

HttpReply ScanHandlers::viewerFile(const HttpRequest &request) {
    const QString name = request.param(QStringLiteral("file"));
    QFile file(QStringLiteral(":/viewer/") + name);
    if (!Storage::checkPath(name).isEmpty() || !file.open(QIODevice::ReadOnly))
        return HttpReply::error(404, QStringLiteral("no such file"));
    HttpReply reply;
    reply.body = file.readAll();
    if (name.endsWith(QLatin1String(".js")))
        reply.contentType = "text/javascript; charset=utf-8";
    else if (name.endsWith(QLatin1String(".css")))
        reply.contentType = "text/css; charset=utf-8";
    else if (name.endsWith(QLatin1String(".png")))
        reply.contentType = "image/png";
    else
        reply.contentType = "text/plain; charset=utf-8";
    reply.headers = {{"Cache-Control", "public, max-age=3600"}};
    return reply;
}

} // namespace tavrona
