// The object stores, the same cases on the store the run names: the data folder by default,
// an s3rver bucket when MIREVA_TEST_BACKENDS is "postgres+s3" (tst_objectstore_s3). Whole
// objects in and out, ranges, listing, keys that would leave the store, archives read a block
// at a time, uploads signed by the store, and the start-up check.

#include "backends.h"
#include "objectstore.h"
#include "serverfixture.h"

#include <QCryptographicHash>
#include <QTest>

#include <zip.h>

using namespace tavrona;

namespace {

QByteArray noise(qsizetype size, quint32 seed) {
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 7;
    for (char &c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return data;
}

// Forwards to a store and counts what is read; never admits to a local file, so archives go
// through the block reader on either store.
class CountingStore : public ObjectStore {
public:
    explicit CountingStore(ObjectStore &inner)
        : m_inner(inner) {}
    qint64 bytesRead = 0;
    int reads = 0;

    bool check(QString *error) override { return m_inner.check(error); }
    QString describe() const override { return m_inner.describe(); }
    bool put(const QString &key, const QByteArray &data, QString *error, QByteArray *md5) override {
        return m_inner.put(key, data, error, md5);
    }
    bool putFile(const QString &key, const QString &path, QString *error) override {
        return m_inner.putFile(key, path, error);
    }
    std::optional<QByteArray> read(const QString &key, qint64 offset, qint64 length, QString *error,
                                   bool *missing) override {
        auto data = m_inner.read(key, offset, length, error, missing);
        ++reads;
        bytesRead += data ? data->size() : 0;
        return data;
    }
    std::optional<StoredObject> stat(const QString &key, QString *error, bool *missing) override {
        return m_inner.stat(key, error, missing);
    }
    std::optional<QList<StoredObject>> list(const QString &prefix, QString *error) override {
        return m_inner.list(prefix, error);
    }
    bool remove(const QString &key, QString *error) override { return m_inner.remove(key, error); }
    QString localPath(const QString &) const override { return {}; }
    std::optional<PresignedUpload> presignUpload(const QString &key, bool post, qint64 max,
                                                 qint64 expires) override {
        return m_inner.presignUpload(key, post, max, expires);
    }

private:
    ObjectStore &m_inner;
};

} // namespace

class TestObjectStore : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void objectsInAndOut();
    void listingByPrefix();
    void keysThatWouldLeaveTheStore_data();
    void keysThatWouldLeaveTheStore();
    void archivesAreReadFromTheirEnd();
    void brokenArchivesAreErrors_data();
    void brokenArchivesAreErrors();
    void uploadsSignedByTheStore();
    void startUpCheck();
    void storageSpec_data();
    void storageSpec();

private:
    std::unique_ptr<ObjectStore> newStore(QString *error);

    fixture::Backends m_backends;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ObjectStore> m_store;
    tavrona::ServerOptions m_options;
};

void TestObjectStore::initTestCase() {
    QString error;
    QVERIFY2(m_backends.start(&error, fixture::Backends::Needs::StoreOnly), qPrintable(error));
}

std::unique_ptr<ObjectStore> TestObjectStore::newStore(QString *error) {
    return makeObjectStore(m_options.storage, m_dir->filePath(QStringLiteral("store")), {}, error);
}

void TestObjectStore::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_options = {};
    QString error;
    QVERIFY2(m_backends.configure(m_options, &error), qPrintable(error));
    m_store = newStore(&error);
    QVERIFY2(m_store, qPrintable(error));
    QVERIFY2(m_store->check(&error), qPrintable(error));
}

void TestObjectStore::cleanup() {
    m_store.reset();
    m_dir.reset();
}

void TestObjectStore::objectsInAndOut() {
    const QByteArray data = noise(700 * 1000, 1);
    QString error;
    QByteArray md5;
    QVERIFY2(m_store->put(QStringLiteral("containers/c/00000.dat"), data, &error, &md5),
             qPrintable(error));
    QCOMPARE(md5, QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());

    QCOMPARE(m_store->read(QStringLiteral("containers/c/00000.dat"), 0, -1, &error).value(), data);
    QCOMPARE(m_store->read(QStringLiteral("containers/c/00000.dat"), 123456, 1000, &error).value(),
             data.mid(123456, 1000));
    QCOMPARE(m_store->read(QStringLiteral("containers/c/00000.dat"), 699990, -1, &error).value(),
             data.mid(699990));
    const auto object = m_store->stat(QStringLiteral("containers/c/00000.dat"), &error);
    QVERIFY2(object, qPrintable(error));
    QCOMPARE(object->size, data.size());
    if (m_backends.external())
        QCOMPARE(object->md5, md5);

    // Replaced as a whole.
    QVERIFY(m_store->put(QStringLiteral("containers/c/00000.dat"), "short", &error));
    QCOMPARE(m_store->read(QStringLiteral("containers/c/00000.dat"), 0, -1, &error).value(),
             QByteArray("short"));

    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("derived.tif")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.close();
    QVERIFY2(m_store->putFile(QStringLiteral("containers/c.derived/s/0-b/image.ome.tif"),
                              file.fileName(), &error),
             qPrintable(error));
    QCOMPARE(
        m_store->read(QStringLiteral("containers/c.derived/s/0-b/image.ome.tif"), 0, -1, &error)
            .value(),
        data);
    QVERIFY(!m_store->putFile(QStringLiteral("containers/c/x"), dir.filePath(QStringLiteral("no")),
                              &error));
    QVERIFY2(error.contains(QLatin1String("cannot read")), qPrintable(error));

    bool missing = false;
    QVERIFY(!m_store->read(QStringLiteral("containers/c/absent"), 0, -1, &error, &missing));
    QVERIFY(missing);
    QVERIFY(!m_store->stat(QStringLiteral("containers/c/absent"), &error, &missing));
    QVERIFY(missing);

    QVERIFY2(m_store->remove(QStringLiteral("containers/c/00000.dat"), &error), qPrintable(error));
    QVERIFY(!m_store->stat(QStringLiteral("containers/c/00000.dat"), &error, &missing));
    QVERIFY(missing);
    // Removing what is not there is no error.
    QVERIFY2(m_store->remove(QStringLiteral("containers/c/00000.dat"), &error), qPrintable(error));
}

void TestObjectStore::listingByPrefix() {
    QString error;
    for (const char *key :
         {"containers/a/scan.isd", "containers/a/00000.dat", "containers/a/photos/p 1.jpg",
          "containers/ab/00000.dat", "crash-reports/r.envelope"})
        QVERIFY2(m_store->put(QString::fromLatin1(key), key, &error), qPrintable(error));
    const auto listed = m_store->list(QStringLiteral("containers/a/"), &error);
    QVERIFY2(listed, qPrintable(error));
    QStringList keys;
    for (const StoredObject &object : *listed)
        keys << object.key;
    QCOMPARE(keys, QStringList({"containers/a/00000.dat", "containers/a/photos/p 1.jpg",
                                "containers/a/scan.isd"}));
    QCOMPARE(listed->first().size, qint64(strlen("containers/a/00000.dat")));

    const auto partial = m_store->list(QStringLiteral("containers/a"), &error);
    QVERIFY2(partial, qPrintable(error));
    QCOMPARE(partial->size(), 4);
    QVERIFY(m_store->list(QStringLiteral("containers/none/"), &error)->isEmpty());

    QVERIFY2(m_store->removeAll(QStringLiteral("containers/a/"), &error), qPrintable(error));
    QVERIFY(m_store->list(QStringLiteral("containers/a/"), &error)->isEmpty());
    QCOMPARE(m_store->list(QStringLiteral("containers/"), &error)->size(), 1);
}

void TestObjectStore::keysThatWouldLeaveTheStore_data() {
    QTest::addColumn<QString>("key");
    QTest::newRow("parent") << QStringLiteral("containers/../../etc/passwd");
    QTest::newRow("absolute") << QStringLiteral("/etc/passwd");
    QTest::newRow("empty segment") << QStringLiteral("containers//x");
    QTest::newRow("dot segment") << QStringLiteral("containers/./x");
    QTest::newRow("backslash") << QStringLiteral("containers\\x");
    QTest::newRow("control character") << QStringLiteral("containers/a\nb");
    QTest::newRow("empty") << QString();
}

void TestObjectStore::keysThatWouldLeaveTheStore() {
    QFETCH(QString, key);
    QString error;
    QVERIFY(!m_store->put(key, "x", &error));
    QVERIFY2(error.contains(QLatin1String("invalid object key")), qPrintable(error));
    QVERIFY(!m_store->read(key, 0, -1, &error));
    QVERIFY(!m_store->stat(key, &error));
    QVERIFY(!m_store->remove(key, &error));
    QVERIFY(m_store->localPath(key).isEmpty());
}

void TestObjectStore::archivesAreReadFromTheirEnd() {
    // 3 MB of cells; the directory sits at the end.
    QList<QPair<QString, QByteArray>> entries;
    for (int i = 0; i < 30; ++i)
        entries.append({QStringLiteral("%1_0.jpg").arg(i), noise(100 * 1000, quint32(i))});
    const QByteArray archive = fixture::archive(entries);
    QVERIFY(!archive.isEmpty());
    QString error;
    QVERIFY(m_store->put(QStringLiteral("containers/z/00000.dat"), archive, &error));

    CountingStore counting(*m_store);
    zip_t *zip = counting.openZip(QStringLiteral("containers/z/00000.dat"), &error);
    QVERIFY2(zip, qPrintable(error));
    QCOMPARE(zip_get_num_entries(zip, 0), zip_int64_t(30));
    QVERIFY(zip_name_locate(zip, "29_0.jpg", 0) >= 0);
    QVERIFY(zip_name_locate(zip, "30_0.jpg", 0) < 0);
    QVERIFY2(counting.bytesRead < archive.size() / 4,
             qPrintable(QStringLiteral("read %1 of %2 bytes to list the archive")
                            .arg(counting.bytesRead)
                            .arg(archive.size())));

    // An entry in the middle comes out whole.
    zip_file_t *entry = zip_fopen(zip, "14_0.jpg", 0);
    QVERIFY(entry);
    QByteArray content(100 * 1000, Qt::Uninitialized);
    QCOMPARE(zip_fread(entry, content.data(), zip_uint64_t(content.size())),
             zip_int64_t(content.size()));
    zip_fclose(entry);
    QCOMPARE(content, entries[14].second);
    zip_discard(zip);

    // The same archive opened through the store itself (a local file where there is one).
    zip = m_store->openZip(QStringLiteral("containers/z/00000.dat"), &error);
    QVERIFY2(zip, qPrintable(error));
    QCOMPARE(zip_get_num_entries(zip, 0), zip_int64_t(30));
    zip_discard(zip);
}

void TestObjectStore::brokenArchivesAreErrors_data() {
    QTest::addColumn<int>("cut"); // bytes kept of a good archive; -1: not an archive at all
    QTest::newRow("not an archive") << -1;
    QTest::newRow("directory cut off") << 5000;
    QTest::newRow("only the first bytes") << 100;
}

void TestObjectStore::brokenArchivesAreErrors() {
    QFETCH(int, cut);
    const QByteArray good = fixture::archive({{QStringLiteral("0_0.jpg"), noise(20000, 9)}});
    const QByteArray data = cut < 0 ? noise(30000, 3) : good.left(cut);
    QString error;
    QVERIFY(m_store->put(QStringLiteral("containers/y/00000.dat"), data, &error));
    CountingStore counting(*m_store);
    QVERIFY(!counting.openZip(QStringLiteral("containers/y/00000.dat"), &error));
    QVERIFY2(error.contains(QLatin1String("containers/y/00000.dat")), qPrintable(error));
    QVERIFY(!m_store->openZip(QStringLiteral("containers/y/00000.dat"), &error));
    QVERIFY(!m_store->openZip(QStringLiteral("containers/y/absent.dat"), &error));
}

void TestObjectStore::uploadsSignedByTheStore() {
    const qint64 expires = QDateTime::currentSecsSinceEpoch() + 600;
    const auto put =
        m_store->presignUpload(QStringLiteral("containers/u/00000.dat"), false, 1 << 20, expires);
    if (!m_backends.external()) {
        // The folder store's uploads go through the server's own storage endpoint.
        QVERIFY(!put);
        return;
    }
    QVERIFY(put);
    QCOMPARE(put->method, QByteArray("PUT"));
    fixture::Client http;
    const QByteArray data = noise(300000, 5);
    QList<QPair<QByteArray, QByteArray>> headers(put->headers.begin(), put->headers.end());
    const fixture::Response stored = http.send("PUT", put->url, data, headers);
    QCOMPARE(stored.status, 200);
    QCOMPARE(stored.headers.value("etag"),
             '"' + QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex() + '"');
    QString error;
    QCOMPARE(m_store->read(QStringLiteral("containers/u/00000.dat"), 0, -1, &error).value(), data);

    const auto post =
        m_store->presignUpload(QStringLiteral("containers/u/scan.isd"), true, 1 << 20, expires);
    QVERIFY(post);
    QCOMPARE(post->method, QByteArray("POST"));
    QVERIFY(post->headers.isEmpty());
    QList<QPair<QByteArray, QByteArray>> fields(post->fields.begin(), post->fields.end());
    const fixture::Response posted = http.postForm(post->url, fields, "{\"images\":[]}");
    QCOMPARE(posted.status, 200);
    QCOMPARE(m_store->read(QStringLiteral("containers/u/scan.isd"), 0, -1, &error).value(),
             QByteArray("{\"images\":[]}"));
}

void TestObjectStore::startUpCheck() {
    QString error;
    if (m_backends.external()) {
        auto absent = makeObjectStore(QStringLiteral("s3://absent-bucket?endpoint=%1")
                                          .arg(m_backends.s3()->endpoint().toString()),
                                      {}, {}, &error);
        QVERIFY2(absent, qPrintable(error));
        QVERIFY(!absent->check(&error));
        QVERIFY2(error.contains(QLatin1String("\"absent-bucket\" does not exist")),
                 qPrintable(error));
        const QByteArray keptId = qgetenv("AWS_ACCESS_KEY_ID");
        qputenv("AWS_ACCESS_KEY_ID", "AKIDSTRANGER");
        auto stranger = newStore(&error);
        qputenv("AWS_ACCESS_KEY_ID", keptId);
        QVERIFY2(stranger, qPrintable(error));
        QVERIFY(!stranger->check(&error));
        QVERIFY2(error.contains(QLatin1String("refuses our keys")), qPrintable(error));
    } else {
        QFile blocker(m_dir->filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LocalObjectStore underAFile(m_dir->filePath(QStringLiteral("file/store")));
        QVERIFY(!underAFile.check(&error));
        QVERIFY2(error.contains(QLatin1String("cannot create the storage folder")),
                 qPrintable(error));
    }
}

void TestObjectStore::storageSpec_data() {
    QTest::addColumn<QString>("spec");
    QTest::addColumn<QString>("problem");
    QTest::newRow("other scheme") << "gs://b?endpoint=http://h"
                                  << "must be s3://";
    QTest::newRow("a path") << "/var/lib/store"
                            << "must be s3://";
    QTest::newRow("bad S3 URL") << "s3://scans"
                                << "endpoint";
}

void TestObjectStore::storageSpec() {
    QFETCH(QString, spec);
    QFETCH(QString, problem);
    QString error;
    QVERIFY(!makeObjectStore(spec, m_dir->path(), {}, &error));
    QVERIFY2(error.contains(problem), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestObjectStore)
#include "tst_objectstore.moc"
