#include "handlers/containers.h"

#include "jobs.h"
#include "multipart.h"
#include "servicecontext.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace tavrona {

using json = nlohmann::json;

namespace {

const int maxPresignFiles = 100;

} // namespace

HttpReply ContainerHandlers::create(const HttpRequest &request) {
    HttpReply failure;
    const auto user = m_context.authenticate(request, &failure);
    if (!user)
        return failure;
    const QString id = ServiceContext::randomHex(16);
    if (!m_context.db.addContainer(id, user->id, m_context.now()))
        return HttpReply::error(500, QStringLiteral("cannot create the container"));
    return HttpReply::json({{"container_id", utf8(id)}});
}

HttpReply ContainerHandlers::presign(const HttpRequest &request) {
    const QString containerId = request.param(QStringLiteral("container"));
    HttpReply failure;
    if (!m_context.ownedContainer(request, containerId, &failure))
        return failure;
    const auto body = m_context.jsonBody(request, &failure);
    if (!body)
        return failure;
    if (m_context.options.failPresigns > 0) {
        --m_context.options.failPresigns;
        return HttpReply::error(500, QStringLiteral("injected presign failure"));
    }
    const auto files = body->find("files");
    if (files == body->end() || !files->is_array() || files->empty() ||
        files->size() > size_t(maxPresignFiles))
        return HttpReply::error(400, QStringLiteral("\"files\" must be an array of 1 to %1 "
                                                    "container paths")
                                         .arg(maxPresignFiles));
    const ServerOptions &options = m_context.options;
    const Presigner &presigner = *m_context.presigner;
    json out = json::array();
    const qint64 expires = m_context.now() + options.presignExpirySecs;
    for (const json &file : *files) {
        if (!file.is_string())
            return HttpReply::error(400, QStringLiteral("every entry of \"files\" must be a "
                                                        "string"));
        const QString path = fromJson(file);
        const QString problem = Storage::checkPath(path);
        if (!problem.isEmpty())
            return HttpReply::error(400, QStringLiteral("invalid container path: %1").arg(problem),
                                    {{"path", utf8(path)}});
        bool post = options.uploadMethod == UploadMethod::Post;
        if (options.uploadMethod == UploadMethod::Alternate)
            post = (m_presignCount++ % 2) == 1;
        json entry = {{"path", utf8(path)}};
        // A remote store takes the file itself, through a URL it will check; the folder store
        // takes it through our storage endpoint.
        if (const auto direct = m_context.store->presignUpload(
                Storage::key(containerId, path), post, options.maxUploadBytes, expires)) {
            entry["method"] = direct->method.toStdString();
            entry["url"] = utf8(direct->url);
            entry["headers"] = json::object();
            for (const auto &[name, value] : direct->headers)
                entry["headers"][name.toStdString()] = value.toStdString();
            entry["data"] = json::object();
            for (const auto &[name, value] : direct->fields)
                entry["data"][name.toStdString()] = value.toStdString();
        } else if (post) {
            const QByteArray signature = presigner.sign("POST", containerId, path, expires);
            entry["method"] = "POST";
            entry["url"] = utf8(request.baseUrl + QStringLiteral("storage/") + containerId);
            entry["headers"] = json::object();
            entry["data"] = {{"key", utf8(path)},
                             {"expires", std::to_string(expires)},
                             {"signature", signature.toStdString()}};
        } else {
            const QByteArray signature = presigner.sign("PUT", containerId, path, expires);
            QStringList encoded;
            for (const QString &segment : path.split(QLatin1Char('/')))
                encoded << QString::fromLatin1(QUrl::toPercentEncoding(segment));
            entry["method"] = "PUT";
            entry["url"] = utf8(request.baseUrl + QStringLiteral("storage/") + containerId +
                                QLatin1Char('/') + encoded.join(QLatin1Char('/')) +
                                QStringLiteral("?expires=%1&signature=%2")
                                    .arg(expires)
                                    .arg(QString::fromLatin1(signature)));
            entry["headers"] = {{"Content-Type", "application/octet-stream"}};
            entry["data"] = json::object();
        }
        out.push_back(std::move(entry));
    }
    return HttpReply::json({{"files", out}});
}

HttpReply ContainerHandlers::put(const HttpRequest &request) {
    const QString containerId = request.param(QStringLiteral("container"));
    const QString path = request.param(QStringLiteral("path"));
    const QString problem = Storage::checkPath(path);
    if (!Storage::isContainerId(containerId) || !problem.isEmpty())
        return HttpReply::error(
            400, QStringLiteral("invalid container path: %1")
                     .arg(problem.isEmpty() ? QStringLiteral("bad container") : problem));
    switch (m_context.presigner->verify(
        "PUT", containerId, path, request.query.queryItemValue(QStringLiteral("expires")),
        request.query.queryItemValue(QStringLiteral("signature")), m_context.now())) {
    case Presigner::Check::Ok:
        break;
    case Presigner::Check::Expired:
        return HttpReply::error(403, QStringLiteral("the upload URL has expired"));
    case Presigner::Check::Malformed:
    case Presigner::Check::Forged:
        return HttpReply::error(403, QStringLiteral("invalid upload signature"));
    }
    if (request.body.size() > m_context.options.maxUploadBytes)
        return HttpReply::error(413, QStringLiteral("the upload is too large"));
    return store(containerId, path, request.body);
}

HttpReply ContainerHandlers::post(const HttpRequest &request) {
    const QString containerId = request.param(QStringLiteral("container"));
    if (!Storage::isContainerId(containerId))
        return HttpReply::error(400, QStringLiteral("invalid container"));
    QString error;
    const QByteArray boundary = multipartBoundary(request.header("content-type"), &error);
    if (boundary.isEmpty())
        return HttpReply::error(415, error);
    MultipartLimits limits;
    limits.maxFileBytes = m_context.options.maxUploadBytes;
    const MultipartResult form = parseMultipart(request.body, boundary, limits);
    if (!form.ok)
        return HttpReply::error(form.status, form.error);
    const MultipartPart *key = form.part("key");
    const MultipartPart *expires = form.part("expires");
    const MultipartPart *signature = form.part("signature");
    const MultipartPart *file = form.part("file");
    if (!key || !expires || !signature || !file)
        return HttpReply::error(400, QStringLiteral("the form needs the fields key, expires, "
                                                    "signature and file"));
    const QString path = QString::fromUtf8(key->data);
    const QString problem = Storage::checkPath(path);
    if (!problem.isEmpty())
        return HttpReply::error(400, QStringLiteral("invalid container path: %1").arg(problem));
    switch (m_context.presigner->verify("POST", containerId, path,
                                        QString::fromLatin1(expires->data),
                                        QString::fromLatin1(signature->data), m_context.now())) {
    case Presigner::Check::Ok:
        break;
    case Presigner::Check::Expired:
        return HttpReply::error(403, QStringLiteral("the upload form has expired"));
    case Presigner::Check::Malformed:
    case Presigner::Check::Forged:
        return HttpReply::error(403, QStringLiteral("invalid upload signature"));
    }
    return store(containerId, path, file->data);
}

HttpReply ContainerHandlers::store(const QString &containerId, const QString &path,
                                   const QByteArray &data) {
    ServerOptions &options = m_context.options;
    Storage &storage = m_context.storage;
    // The signature proves we issued the URL; the container must still exist.
    if (!m_context.db.containerOwner(containerId))
        return HttpReply::error(404, QStringLiteral("unknown container"));
    if (options.failUploads > 0) {
        --options.failUploads;
        return HttpReply::error(500, QStringLiteral("injected storage failure"));
    }
    // In a folder, a file and a folder cannot share a name (a bucket does not mind).
    const QString target = storage.filePath(containerId, path);
    if (!target.isEmpty() && QFileInfo(target).isDir())
        return HttpReply::error(409, QStringLiteral("the path is a folder of the container"));
    for (qsizetype slash = path.indexOf(QLatin1Char('/')); slash > 0 && !target.isEmpty();
         slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
        if (QFileInfo(storage.filePath(containerId, path.left(slash))).isFile())
            return HttpReply::error(
                409, QStringLiteral("\"%1\" is a file of the container").arg(path.left(slash)));
    }
    QString md5;
    QString error;
    if (!storage.store(containerId, path, data, &md5, &error)) {
        qWarning().noquote() << "Cannot store" << path << "in" << containerId << ":" << error;
        return HttpReply::error(500, QStringLiteral("cannot store the file"));
    }
    if (!m_context.db.recordUpload(containerId, path, Upload{data.size(), md5}, m_context.now()))
        return HttpReply::error(500, QStringLiteral("cannot record the upload"));
    // Parts of saved scans made from the old content are stale now: they are made again.
    if (m_context.db.requeueJobsOfContainer(containerId, QDateTime::currentSecsSinceEpoch()) > 0 &&
        m_context.jobs)
        m_context.jobs->wake();

    QString etag = md5;
    if (options.wrongEtags > 0) {
        --options.wrongEtags;
        etag = md5Hex(data + "wrong");
    }
    HttpReply reply = HttpReply::json({{"path", utf8(path)}, {"size", data.size()}});
    reply.headers.append({"ETag", '"' + etag.toLatin1() + '"'});
    return reply;
}

} // namespace tavrona
