#pragma once

// Where the service keeps its files: a folder on this machine, or a bucket of an S3-compatible
// object store that any number of servers share. Both are a flat space of keys ("containers/
// <id>/<path>", derived files beside them, crash reports) with whole-object writes, ranged
// reads and listings by prefix; uploaders send container files straight to the store through
// URLs the store's owner signs.

#include "s3client.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

typedef struct zip zip_t;

namespace tavrona {

struct StoredObject {
    QString key;
    qint64 size = 0;
    QByteArray md5;        // lower-case hex when the store knows it (S3 single-part ETags)
    qint64 modifiedMs = 0; // folder store: the file's time, which tells a rewrite with the md5
};

// What the uploader is told: the transfer of one file, as the presign endpoint hands it out.
struct PresignedUpload {
    QByteArray method; // "PUT" or "POST"
    QString url;
    sigv4::Pairs headers;
    sigv4::Pairs fields; // POST only: the form fields before the file
};

class ObjectStore {
public:
    virtual ~ObjectStore() = default;

    // Checks at start that the store can be used (folder writable, bucket reachable with our
    // keys), so a misconfigured server stops with a clear message instead of failing later.
    virtual bool check(QString *error) = 0;
    virtual QString describe() const = 0;

    // Replaces the object as a whole: readers see the old or the new content, never a part.
    // *md5 (when given) gets the lower-case hex MD5 of data.
    virtual bool put(const QString &key, const QByteArray &data, QString *error,
                     QByteArray *md5 = nullptr) = 0;
    virtual bool putFile(const QString &key, const QString &localPath, QString *error) = 0;
    // length < 0: to the end. A missing object is an error whose *missing is set.
    virtual std::optional<QByteArray> read(const QString &key, qint64 offset, qint64 length,
                                           QString *error, bool *missing = nullptr) = 0;
    virtual std::optional<StoredObject> stat(const QString &key, QString *error,
                                             bool *missing = nullptr) = 0;
    // Every object under prefix ("containers/<id>/"), keys in full.
    virtual std::optional<QList<StoredObject>> list(const QString &prefix, QString *error) = 0;
    virtual bool remove(const QString &key, QString *error) = 0;
    bool removeAll(const QString &prefix, QString *error);

    // A local file of the object when the store keeps it in a folder; empty for remote stores.
    virtual QString localPath(const QString &key) const = 0;

    // A signed transfer of one object straight into the store, valid until expiresAt (seconds
    // since the epoch); nullopt when uploads go through the server's own endpoint instead.
    virtual std::optional<PresignedUpload> presignUpload(const QString &key, bool post,
                                                         qint64 maxBytes, qint64 expiresAt) = 0;

    // Opens a ZIP archive of the store for reading (zip_discard closes it). Remote archives are
    // read by ranged requests, a piece at a time, so checking an archive's directory reads its
    // end only. knownSize (from a listing) saves asking the store for the size.
    zip_t *openZip(const QString &key, QString *error, qint64 knownSize = -1);
};

// <root>/<key>
class LocalObjectStore : public ObjectStore {
public:
    explicit LocalObjectStore(QString root);

    bool check(QString *error) override;
    QString describe() const override;
    bool put(const QString &key, const QByteArray &data, QString *error,
             QByteArray *md5 = nullptr) override;
    bool putFile(const QString &key, const QString &localPath, QString *error) override;
    std::optional<QByteArray> read(const QString &key, qint64 offset, qint64 length, QString *error,
                                   bool *missing = nullptr) override;
    std::optional<StoredObject> stat(const QString &key, QString *error,
                                     bool *missing = nullptr) override;
    std::optional<QList<StoredObject>> list(const QString &prefix, QString *error) override;
    bool remove(const QString &key, QString *error) override;
    QString localPath(const QString &key) const override;
    std::optional<PresignedUpload> presignUpload(const QString &, bool, qint64, qint64) override {
        return std::nullopt;
    }

private:
    QString m_root;
};

// Keys live under the client's prefix in its bucket.
class S3ObjectStore : public ObjectStore {
public:
    explicit S3ObjectStore(S3Config config);

    S3Client &client() { return m_client; }

    bool check(QString *error) override;
    QString describe() const override;
    bool put(const QString &key, const QByteArray &data, QString *error,
             QByteArray *md5 = nullptr) override;
    bool putFile(const QString &key, const QString &localPath, QString *error) override;
    std::optional<QByteArray> read(const QString &key, qint64 offset, qint64 length, QString *error,
                                   bool *missing = nullptr) override;
    std::optional<StoredObject> stat(const QString &key, QString *error,
                                     bool *missing = nullptr) override;
    std::optional<QList<StoredObject>> list(const QString &prefix, QString *error) override;
    bool remove(const QString &key, QString *error) override;
    QString localPath(const QString &) const override { return {}; }
    std::optional<PresignedUpload> presignUpload(const QString &key, bool post, qint64 maxBytes,
                                                 qint64 expiresAt) override;

private:
    S3Client m_client;
};

// "s3://…" gives an S3 store with keys from the environment or credentialsFile; anything
// else is refused. An empty spec gives the folder store at localRoot.
std::unique_ptr<ObjectStore> makeObjectStore(const QString &spec, const QString &localRoot,
                                             const QString &credentialsFile, QString *error);

} // namespace tavrona
