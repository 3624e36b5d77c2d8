#include "objectstore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <list>

namespace tavrona {

namespace {

// Keys are relative paths of non-empty segments without "." or "..", so a folder store can
// never be led outside its root.
bool validKey(const QString &key) {
    if (key.isEmpty() || key.size() > 1024 || key.startsWith(QLatin1Char('/')) ||
        key.contains(QLatin1Char('\\')))
        return false;
    for (const QChar c : key)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    for (const QString &segment : key.split(QLatin1Char('/')))
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
    return true;
}

QString invalidKey(const QString &key) {
    return QStringLiteral("invalid object key \"%1\"").arg(key);
}

bool isMd5(const QByteArray &text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

} // namespace

bool ObjectStore::removeAll(const QString &prefix, QString *error) {
    const auto objects = list(prefix, error);
    if (!objects)
        return false;
    for (const StoredObject &object : *objects)
        if (!remove(object.key, error))
            return false;
    return true;
}

// --- a folder --------------------------------------------------------------------------------

LocalObjectStore::LocalObjectStore(QString root)
    : m_root(std::move(root)) {}

bool LocalObjectStore::check(QString *error) {
    if (m_root.isEmpty() || !QDir().mkpath(m_root)) {
        *error = QStringLiteral("cannot create the storage folder \"%1\"").arg(m_root);
        return false;
    }
    if (!QFileInfo(m_root).isWritable()) {
        *error = QStringLiteral("the storage folder \"%1\" is not writable").arg(m_root);
        return false;
    }
    return true;
}

QString LocalObjectStore::describe() const {
    return QStringLiteral("folder %1").arg(m_root);
}

QString LocalObjectStore::localPath(const QString &key) const {
    return validKey(key) ? m_root + QLatin1Char('/') + key : QString();
}

bool LocalObjectStore::put(const QString &key, const QByteArray &data, QString *error,
                           QByteArray *md5) {
    const QString path = localPath(key);
    if (path.isEmpty()) {
        *error = invalidKey(key);
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot create the folder of \"%1\"").arg(key);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(key, file.errorString());
        return false;
    }
    if (md5)
        *md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
    return true;
}

bool LocalObjectStore::putFile(const QString &key, const QString &source, QString *error) {
    const QString path = localPath(key);
    if (path.isEmpty()) {
        *error = invalidKey(key);
        return false;
    }
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot create the folder of \"%1\"").arg(key);
        return false;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(key, out.errorString());
        return false;
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0 || (got > 0 && out.write(buffer.constData(), got) != got)) {
            *error = QStringLiteral("cannot copy %1 to \"%2\"").arg(source, key);
            return false;
        }
        if (got == 0)
            break;
    }
    if (!out.commit()) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(key, out.errorString());
        return false;
    }
    return true;
}

std::optional<QByteArray> LocalObjectStore::read(const QString &key, qint64 offset, qint64 length,
                                                 QString *error, bool *missing) {
    if (missing)
        *missing = false;
    const QString path = localPath(key);
    if (path.isEmpty()) {
        *error = invalidKey(key);
        return std::nullopt;
    }
    QFile file(path);
    if (!QFileInfo(path).isFile()) {
        if (missing)
            *missing = true;
        *error = QStringLiteral("\"%1\" is not stored").arg(key);
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly) || (offset > 0 && !file.seek(offset))) {
        *error = QStringLiteral("cannot read \"%1\": %2").arg(key, file.errorString());
        return std::nullopt;
    }
    if (offset > file.size()) {
        *error = QStringLiteral("\"%1\" has no byte %2").arg(key).arg(offset);
        return std::nullopt;
    }
    QByteArray data = length < 0 ? file.readAll() : file.read(length);
    if (file.error() != QFile::NoError) {
        *error = QStringLiteral("cannot read \"%1\": %2").arg(key, file.errorString());
        return std::nullopt;
    }
    return data;
}

std::optional<StoredObject> LocalObjectStore::stat(const QString &key, QString *error,
                                                   bool *missing) {
    if (missing)
        *missing = false;
    const QString path = localPath(key);
    if (path.isEmpty()) {
        *error = invalidKey(key);
        return std::nullopt;
    }
    const QFileInfo info(path);
    if (!info.isFile()) {
        if (missing)
            *missing = true;
        *error = QStringLiteral("\"%1\" is not stored").arg(key);
        return std::nullopt;
    }
    return StoredObject{key, info.size(), {}, info.lastModified().toMSecsSinceEpoch()};
}

std::optional<QList<StoredObject>> LocalObjectStore::list(const QString &prefix, QString *) {
    QList<StoredObject> objects;
    // The folder the prefix points into; names in it are filtered by the rest.
    const qsizetype slash = prefix.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QString() : prefix.left(slash);
    if (!folder.isEmpty() && !validKey(folder))
        return objects;
    const QString start = folder.isEmpty() ? m_root : m_root + QLatin1Char('/') + folder;
    QDirIterator it(start, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString key = it.filePath().mid(m_root.size() + 1);
        if (key.startsWith(prefix))
            objects.append(
                {key, it.fileInfo().size(), {}, it.fileInfo().lastModified().toMSecsSinceEpoch()});
    }
    std::sort(objects.begin(), objects.end(),
              [](const StoredObject &a, const StoredObject &b) { return a.key < b.key; });
    return objects;
}

bool LocalObjectStore::remove(const QString &key, QString *error) {
    const QString path = localPath(key);
    if (path.isEmpty()) {
        *error = invalidKey(key);
        return false;
    }
    if (QFileInfo::exists(path) && !QFile::remove(path)) {
        *error = QStringLiteral("cannot remove \"%1\"").arg(key);
        return false;
    }
    return true;
}

// --- an S3 bucket ----------------------------------------------------------------------------

S3ObjectStore::S3ObjectStore(S3Config config)
    : m_client(std::move(config)) {}

QString S3ObjectStore::describe() const {
    return m_client.config().describe();
}

bool S3ObjectStore::check(QString *error) {
    const S3Reply reply = m_client.probe();
    if (reply.ok())
        return true;
    const S3Config &config = m_client.config();
    if (reply.status == 404)
        *error = QStringLiteral("the bucket \"%1\" does not exist at %2")
                     .arg(config.bucket, config.endpoint.toString());
    else if (reply.status == 403)
        *error =
            QStringLiteral("the object store at %1 refuses our keys for the bucket \"%2\" "
                           "(HTTP 403%3)")
                .arg(config.endpoint.toString(), config.bucket,
                     reply.code.isEmpty() ? QString()
                                          : QStringLiteral(" ") + QString::fromUtf8(reply.code));
    else
        *error = reply.error;
    return false;
}

bool S3ObjectStore::put(const QString &key, const QByteArray &data, QString *error,
                        QByteArray *md5) {
    if (!validKey(key)) {
        *error = invalidKey(key);
        return false;
    }
    const S3Reply reply = m_client.put(key, data);
    if (!reply.ok()) {
        *error = reply.error;
        return false;
    }
    if (md5)
        *md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
    return true;
}

bool S3ObjectStore::putFile(const QString &key, const QString &source, QString *error) {
    if (!validKey(key)) {
        *error = invalidKey(key);
        return false;
    }
    QByteArray type = "application/octet-stream";
    if (key.endsWith(QLatin1String(".jpeg")) || key.endsWith(QLatin1String(".jpg")))
        type = "image/jpeg";
    else if (key.endsWith(QLatin1String(".dzi")) || key.endsWith(QLatin1String(".xml")))
        type = "application/xml";
    else if (key.endsWith(QLatin1String(".tif")) || key.endsWith(QLatin1String(".tiff")))
        type = "image/tiff";
    const S3Reply reply = m_client.putFile(key, source, type);
    if (!reply.ok()) {
        *error = reply.error;
        return false;
    }
    return true;
}

std::optional<QByteArray> S3ObjectStore::read(const QString &key, qint64 offset, qint64 length,
                                              QString *error, bool *missing) {
    if (missing)
        *missing = false;
    if (!validKey(key)) {
        *error = invalidKey(key);
        return std::nullopt;
    }
    if (length == 0)
        return QByteArray();
    S3Reply reply = m_client.get(key, offset, length);
    if (!reply.ok()) {
        if (missing)
            *missing = reply.status == 404;
        *error = reply.error;
        return std::nullopt;
    }
    return std::move(reply.body);
}

std::optional<StoredObject> S3ObjectStore::stat(const QString &key, QString *error, bool *missing) {
    if (missing)
        *missing = false;
    if (!validKey(key)) {
        *error = invalidKey(key);
        return std::nullopt;
    }
    const S3Reply reply = m_client.head(key);
    if (!reply.ok()) {
        if (missing)
            *missing = reply.status == 404;
        *error = reply.error;
        return std::nullopt;
    }
    const QByteArray etag = reply.etag();
    return StoredObject{key, reply.headers.value("content-length").toLongLong(),
                        isMd5(etag) ? etag : QByteArray()};
}

std::optional<QList<StoredObject>> S3ObjectStore::list(const QString &prefix, QString *error) {
    const auto listed = m_client.list(prefix, error);
    if (!listed)
        return std::nullopt;
    QList<StoredObject> objects;
    objects.reserve(listed->size());
    for (const S3ObjectInfo &info : *listed)
        objects.append({info.key, info.size, isMd5(info.etag) ? info.etag : QByteArray()});
    return objects;
}

bool S3ObjectStore::remove(const QString &key, QString *error) {
    if (!validKey(key)) {
        *error = invalidKey(key);
        return false;
    }
    const S3Reply reply = m_client.remove(key);
    if (!reply.ok()) {
        *error = reply.error;
        return false;
    }
    return true;
}

std::optional<PresignedUpload> S3ObjectStore::presignUpload(const QString &key, bool post,
                                                            qint64 maxBytes, qint64 expiresAt) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const int expiresSecs = int(std::clamp<qint64>(expiresAt - now.toSecsSinceEpoch(), 1, 604800));
    PresignedUpload upload;
    if (post) {
        upload.method = "POST";
        upload.url = m_client.postUrl();
        upload.fields = m_client.postForm(key, maxBytes, expiresSecs, now).fields;
    } else {
        // The store cannot bound a presigned PUT: its size is not known when it is signed.
        upload.method = "PUT";
        upload.url = m_client.presignedPutUrl(key, expiresSecs, {}, now);
        upload.headers = {{"Content-Type", "application/octet-stream"}};
    }
    return upload;
}

// --- archives read a block at a time ----------------------------------------------------------

namespace {

struct RemoteZip {
    ObjectStore *store = nullptr;
    QString key;
    qint64 size = 0;
    qint64 position = 0;
    // Pieces of the object read so far, most recently used first. A read that misses fetches
    // from where it starts, at least readAheadBytes but never past the end: the directory at
    // the end of an archive comes in one small request, entries in large sequential ones.
    std::list<std::pair<qint64, QByteArray>> chunks;
    zip_error_t error;
    QString lastError;

    static constexpr qint64 readAheadBytes = qint64(512) << 10;
    static constexpr size_t maxChunks = 8;

    const std::pair<qint64, QByteArray> *chunkAt(qint64 offset) {
        for (auto it = chunks.begin(); it != chunks.end(); ++it)
            if (offset >= it->first && offset < it->first + it->second.size()) {
                chunks.splice(chunks.begin(), chunks, it);
                return &chunks.front();
            }
        auto data = store->read(key, offset, std::min(readAheadBytes, size - offset), &lastError);
        if (!data || data->isEmpty())
            return nullptr;
        chunks.emplace_front(offset, std::move(*data));
        if (chunks.size() > maxChunks)
            chunks.pop_back();
        return &chunks.front();
    }

    zip_int64_t readInto(char *out, zip_uint64_t length) {
        zip_int64_t done = 0;
        while (zip_uint64_t(done) < length && position < size) {
            const auto *chunk = chunkAt(position);
            if (!chunk) {
                zip_error_set(&error, ZIP_ER_READ, EIO);
                return -1;
            }
            const qint64 within = position - chunk->first;
            const qint64 n = std::min<qint64>(qint64(length) - done, chunk->second.size() - within);
            std::copy_n(chunk->second.constData() + within, n, out + done);
            done += n;
            position += n;
        }
        return done;
    }
};

zip_int64_t remoteZipCallback(void *userdata, void *data, zip_uint64_t length,
                              zip_source_cmd_t command) {
    auto *zip = static_cast<RemoteZip *>(userdata);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        zip->position = 0;
        return 0;
    case ZIP_SOURCE_READ:
        return zip->readInto(static_cast<char *>(data), length);
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        auto *st = static_cast<zip_stat_t *>(data);
        zip_stat_init(st);
        st->size = zip_uint64_t(zip->size);
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&zip->error, data, length);
    case ZIP_SOURCE_FREE:
        zip_error_fini(&zip->error);
        delete zip;
        return 0;
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t target = zip_source_seek_compute_offset(
            zip_uint64_t(zip->position), zip_uint64_t(zip->size), data, length, &zip->error);
        if (target < 0)
            return -1;
        zip->position = target;
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return zip->position;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
    default:
        zip_error_set(&zip->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

QString zipErrorText(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const QString text = QString::fromUtf8(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

} // namespace

zip_t *ObjectStore::openZip(const QString &key, QString *error, qint64 knownSize) {
    const QString local = localPath(key);
    if (!local.isEmpty()) {
        if (!QFileInfo(local).isFile()) {
            *error = QStringLiteral("\"%1\" is not stored").arg(key);
            return nullptr;
        }
        int code = 0;
        zip_t *zip = zip_open(QFile::encodeName(local).constData(), ZIP_RDONLY, &code);
        if (!zip)
            *error =
                QStringLiteral("cannot open the archive \"%1\": %2").arg(key, zipErrorText(code));
        return zip;
    }
    qint64 size = knownSize;
    if (size < 0) {
        const auto object = stat(key, error);
        if (!object)
            return nullptr;
        size = object->size;
    }
    auto *remote = new RemoteZip;
    remote->store = this;
    remote->key = key;
    remote->size = size;
    zip_error_init(&remote->error);
    zip_error_t sourceError;
    zip_error_init(&sourceError);
    zip_source_t *source = zip_source_function_create(remoteZipCallback, remote, &sourceError);
    if (!source) {
        *error = QStringLiteral("cannot read the archive \"%1\": %2")
                     .arg(key, QString::fromUtf8(zip_error_strerror(&sourceError)));
        zip_error_fini(&sourceError);
        zip_error_fini(&remote->error);
        delete remote;
        return nullptr;
    }
    zip_error_fini(&sourceError);
    zip_error_t openError;
    zip_error_init(&openError);
    zip_t *zip = zip_open_from_source(source, ZIP_RDONLY, &openError);
    if (!zip) {
        const QString why = remote->lastError.isEmpty()
                                ? QString::fromUtf8(zip_error_strerror(&openError))
                                : remote->lastError;
        *error = QStringLiteral("cannot open the archive \"%1\": %2").arg(key, why);
        zip_error_fini(&openError);
        zip_source_free(source); // frees remote
        return nullptr;
    }
    zip_error_fini(&openError);
    return zip;
}

std::unique_ptr<ObjectStore> makeObjectStore(const QString &spec, const QString &localRoot,
                                             const QString &credentialsFile, QString *error) {
    if (spec.isEmpty())
        return std::make_unique<LocalObjectStore>(localRoot);
    if (!spec.startsWith(QLatin1String("s3://"))) {
        *error = QStringLiteral("the storage must be s3://<bucket>?endpoint=<url>&region=<region> "
                                "(or left out for the data folder), not \"%1\"")
                     .arg(spec);
        return nullptr;
    }
    auto config = S3Config::fromUrl(spec, error);
    if (!config)
        return nullptr;
    const auto credentials = loadCredentials(credentialsFile, error);
    if (!credentials)
        return nullptr;
    config->credentials = *credentials;
    return std::make_unique<S3ObjectStore>(*config);
}

} // namespace tavrona
