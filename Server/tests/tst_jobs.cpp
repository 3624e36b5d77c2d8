// The jobs that make saved parts into pyramids: claimed by one worker at a time (also across
// two servers on one database, and by workers claiming at once), resumed after a stop or a
// crash, redone when the container changes, and run by the pool off the calling thread. Run on
// an SQLite file and a folder, and again on PostgreSQL and an S3 bucket (tst_jobs_postgres_s3).

#include "backends.h"
#include "jobs.h"
#include "objectstore.h"
#include "partfixture.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <thread>
#include <vector>

using namespace tavrona;

class TestJobs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void aJobIsClaimedOnce();
    void workersClaimingAtOnceTakeEachJobOnce();
    void anExpiredLeaseIsTakenOver();
    void aChangedContainerTakesTheJobAway();
    void poolMakesEveryPart();
    void stopGivesTheRunningJobBack();
    void crashedOwnerAndTooManyAttempts();

private:
    // Saves a scan of the given parts (columns × rows cells each) with its jobs.
    QString saveScan(const QList<QPair<int, int>> &parts, bool photo = false);
    JobPoolOptions poolOptions() const;
    std::optional<Job> jobOf(const QString &scanId, int part);
    QStringList derivedFolders(const QString &scanId);

    fixture::Backends m_backends;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ObjectStore> m_store;
    Storage m_storage;
    DatabaseConfig m_config;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<Database> m_other;
    QString m_container = QStringLiteral("0123456789abcdef0123456789abcdef");
    qint64 m_now = 1'000'000;
};

void TestJobs::initTestCase() {
    QString error;
    QVERIFY2(m_backends.start(&error), qPrintable(error));
}

void TestJobs::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QString error;
    ServerOptions options;
    QVERIFY2(m_backends.configure(options, &error), qPrintable(error));
    if (m_backends.external()) {
        m_store = makeObjectStore(options.storage, m_dir->path(), {}, &error);
        QVERIFY2(m_store, qPrintable(error));
        m_storage.setStore(m_store.get());
        m_storage.setScratch(m_dir->filePath(QStringLiteral("cache/store")));
        const auto config = DatabaseConfig::fromUrl(options.database, &error);
        QVERIFY2(config, qPrintable(error));
        m_config = *config;
    } else {
        m_storage.useFolder(m_dir->path());
        m_config = DatabaseConfig::sqlite(m_dir->filePath(QStringLiteral("db.sqlite")));
    }
    m_db = std::make_unique<Database>();
    QVERIFY2(m_db->open(m_config, &error), qPrintable(error));
    m_other = std::make_unique<Database>();
    QVERIFY2(m_other->open(m_config, &error), qPrintable(error));
    User user;
    user.email = QStringLiteral("a@b.c");
    const auto created = m_db->createUser(user);
    QVERIFY(created);
    QVERIFY(m_db->addContainer(m_container, created->id, m_now));
    initImaging(2);
}

void TestJobs::cleanup() {
    m_other.reset();
    m_db.reset();
    m_storage.setStore(nullptr);
    m_store.reset();
    m_dir.reset();
}

QString TestJobs::saveScan(const QList<QPair<int, int>> &parts, bool photo) {
    fixture::json images = fixture::json::array();
    for (const auto &[columns, rows] : parts) {
        // Each part in archives of its own.
        const fixture::PartPackage package = fixture::writePart(
            m_storage, columns, rows, 128, 1000, 0, QStringLiteral("p%1-").arg(images.size()));
        const fixture::json entry = package.descriptor;
        images.push_back(entry);
    }
    if (photo)
        images.push_back({{"type", "single"}, {"path", "snapshots/9.jpg"}});
    const fixture::json isd = {{"images", images}, {"mpp", 0.5}, {"version", "1.0"}};
    ScanDescriptor descriptor;
    QString error;
    const QByteArray text = fixture::dump(isd);
    if (!parseScanDescriptor(text, &descriptor, &error))
        return {};
    ScanRecord scan;
    scan.id = QString::number(QRandomGenerator::global()->generate64(), 16).rightJustified(32, '0');
    scan.containerId = m_container;
    scan.userId = 1;
    scan.name = QStringLiteral("slide");
    scan.descriptor = QString::fromUtf8(text);
    scan.createdAt = m_now;
    if (!m_db->addScanWithJobs(scan, stitchedParts(descriptor), m_now))
        return {};
    return scan.id;
}

JobPoolOptions TestJobs::poolOptions() const {
    JobPoolOptions options;
    options.database = m_config;
    options.owner = QStringLiteral("test:1");
    options.threads = 1;
    options.pollMs = 50;
    return options;
}

std::optional<Job> TestJobs::jobOf(const QString &scanId, int part) {
    for (const Job &job : m_db->jobsOfScan(scanId))
        if (job.part == part)
            return job;
    return std::nullopt;
}

QStringList TestJobs::derivedFolders(const QString &scanId) {
    const QString derived = QStringLiteral("containers/%1.derived/%2").arg(m_container, scanId);
    // Builds and staging folders in the folder store, or staging folders in the scratch folder
    // of a bucket's server and the builds in the bucket.
    QStringList folders =
        QDir(m_storage.store()->localPath(derived).isEmpty()
                 ? m_dir->filePath(QStringLiteral("cache/store/")) + derived
                 : m_storage.store()->localPath(derived))
            .entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    if (m_storage.store()->localPath(derived).isEmpty()) {
        folders.removeIf([](const QString &name) { return !name.startsWith(QLatin1Char('.')); });
        QString error;
        const auto objects = m_storage.store()->list(derived + QLatin1Char('/'), &error);
        if (!objects)
            return {QStringLiteral("cannot list: ") + error};
        for (const StoredObject &object : *objects) {
            const QString build =
                object.key.mid(derived.size() + 1).section(QLatin1Char('/'), 0, 0);
            if (!folders.contains(build))
                folders << build;
        }
        folders.sort();
    }
    return folders;
}

void TestJobs::aJobIsClaimedOnce() {
    const QString scanId = saveScan({{1, 1}, {1, 1}, {1, 1}}, true);
    QVERIFY(!scanId.isEmpty());
    QCOMPARE(m_db->jobsOfScan(scanId).size(), 3); // the photo has none
    QSet<qint64> claimed;
    for (int i = 0; i < 3; ++i) {
        Database &db = i % 2 ? *m_other : *m_db;
        const auto job =
            db.claimJob(i % 2 ? QStringLiteral("B:1") : QStringLiteral("A:1"), m_now, 60);
        QVERIFY(job);
        QCOMPARE(job->state, Job::State::Running);
        QCOMPARE(job->attempts, 1);
        QVERIFY(!claimed.contains(job->id));
        claimed.insert(job->id);
    }
    QVERIFY(!m_db->claimJob(QStringLiteral("A:1"), m_now + 59, 60));
    QVERIFY(!m_other->claimJob(QStringLiteral("B:1"), m_now + 59, 60));
    // Saving the same parts again adds nothing.
    QVERIFY(m_db->addJobs(scanId, {{0, 0}, {1, 1}}, m_now));
    QCOMPARE(m_db->jobsOfScan(scanId).size(), 3);
}

void TestJobs::workersClaimingAtOnceTakeEachJobOnce() {
    // Many small jobs, four workers with connections of their own claiming as fast as they can.
    constexpr int jobCount = 60;
    QList<QPair<int, int>> parts;
    for (int i = 0; i < jobCount; ++i)
        parts.append({i, 0});
    ScanRecord scan;
    scan.id = QStringLiteral("fedcba9876543210fedcba9876543210");
    scan.containerId = m_container;
    scan.userId = 1;
    scan.name = QStringLiteral("many parts");
    scan.descriptor = QStringLiteral("{}");
    scan.createdAt = m_now;
    QVERIFY(m_db->addScanWithJobs(scan, parts, m_now));

    constexpr int workers = 4;
    std::vector<QList<qint64>> claimed(workers);
    std::vector<QString> problems(workers);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            Database db;
            QString error;
            if (!db.open(m_config, &error)) {
                problems[size_t(w)] = error;
                return;
            }
            int busy = 0;
            for (;;) {
                const auto job = db.claimJob(QStringLiteral("w%1:1").arg(w), m_now, 60);
                if (job) {
                    claimed[size_t(w)].append(job->id);
                } else if (!db.lastError().isEmpty() && ++busy < 200) {
                    QThread::msleep(1); // a busy SQLite file: try again
                } else {
                    problems[size_t(w)] = db.lastError();
                    return;
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QSet<qint64> all;
    int total = 0;
    for (int w = 0; w < workers; ++w) {
        QVERIFY2(problems[size_t(w)].isEmpty(), qPrintable(problems[size_t(w)]));
        total += int(claimed[size_t(w)].size());
        for (qint64 id : claimed[size_t(w)])
            all.insert(id);
    }
    QCOMPARE(total, jobCount);
    QCOMPARE(int(all.size()), jobCount);
    for (const Job &job : m_db->jobsOfScan(scan.id)) {
        QCOMPARE(job.state, Job::State::Running);
        QCOMPARE(job.attempts, 1);
    }
}

void TestJobs::anExpiredLeaseIsTakenOver() {
    const QString scanId = saveScan({{1, 1}});
    const auto mine = m_db->claimJob(QStringLiteral("A:1"), m_now, 60);
    QVERIFY(mine);
    QVERIFY(m_db->jobProgress(*mine, 10, m_now + 100, m_now + 40)); // renewed to +100
    QVERIFY(!m_other->claimJob(QStringLiteral("B:1"), m_now + 99, 60));
    const auto theirs = m_other->claimJob(QStringLiteral("B:1"), m_now + 101, 60);
    QVERIFY(theirs);
    QCOMPARE(theirs->id, mine->id);
    QCOMPARE(theirs->attempts, 2);
    // The first worker learns it at its next write, and cannot finish or fail the job.
    QVERIFY(!m_db->jobProgress(*mine, 20, m_now + 200, m_now + 102));
    QVERIFY(!m_db->finishJob(*mine, {QStringLiteral("aa"), 0}, m_now + 103));
    QVERIFY(!m_db->failJob(*mine, QStringLiteral("x"), m_now + 103));
    QVERIFY(m_other->finishJob(*theirs, {QStringLiteral("bb"), 2}, m_now + 104));
    const auto done = jobOf(scanId, 0);
    QCOMPARE(done->state, Job::State::Ready);
    QCOMPARE(done->build, QStringLiteral("bb"));
    QCOMPARE(done->skippedCells, 2);
    QCOMPARE(done->progress, 100);
}

void TestJobs::aChangedContainerTakesTheJobAway() {
    const QString scanId = saveScan({{1, 1}, {1, 1}});
    const auto running = m_db->claimJob(QStringLiteral("A:1"), m_now, 60);
    QVERIFY(running);
    const auto other = m_db->claimJob(QStringLiteral("A:1"), m_now, 60);
    QVERIFY(m_db->finishJob(*other, {QStringLiteral("cc"), 0}, m_now));
    QCOMPARE(m_db->requeueJobsOfContainer(m_container, m_now + 1), 2);
    QVERIFY(!m_db->jobProgress(*running, 50, m_now + 60, m_now + 2));
    QVERIFY(!m_db->finishJob(*running, {QStringLiteral("dd"), 0}, m_now + 2));
    for (const Job &job : m_db->jobsOfScan(scanId)) {
        QCOMPARE(job.state, Job::State::Queued);
        QCOMPARE(job.generation, 2);
        QCOMPARE(job.attempts, 0);
    }
}

void TestJobs::poolMakesEveryPart() {
    const QString scanId = saveScan({{3, 2}, {2, 2}}, true);
    // Part 1 lost a cell: made all the same, with the cell counted.
    QString md5;
    QString error;
    QVERIFY2(
        m_storage.store(m_container, QStringLiteral("p1-00000.dat"),
                        fixture::archive({{QStringLiteral("0.jpg"), fixture::jpeg(128, 128, {})},
                                          {QStringLiteral("1.jpg"), fixture::jpeg(128, 128, {})},
                                          {QStringLiteral("2.jpg"), fixture::jpeg(128, 128, {})}}),
                        &md5, &error),
        qPrintable(error));
    JobPool pool(poolOptions(), m_storage);
    QSignalSpy changes(&pool, &JobPool::jobChanged);
    pool.start();
    pool.wake();
    QTRY_VERIFY_WITH_TIMEOUT(jobOf(scanId, 0)->state == Job::State::Ready &&
                                 jobOf(scanId, 1)->state == Job::State::Ready,
                             60000);
    QCOMPARE(jobOf(scanId, 0)->skippedCells, 0);
    QCOMPARE(jobOf(scanId, 1)->skippedCells, 1);
    for (int part : {0, 1}) {
        const QString build = jobOf(scanId, part)->build;
        QVERIFY(QFileInfo(m_storage.derivedFile(m_container, scanId, part, build,
                                                QStringLiteral("dz.zip")))
                    .size() > 0);
        QVERIFY(QFileInfo(m_storage.derivedFile(m_container, scanId, part, build,
                                                QStringLiteral("image.ome.tif")))
                    .size() > 0);
    }
    QCOMPARE(derivedFolders(scanId).size(), 2); // no staging left
    QTRY_VERIFY(changes.size() >= 4);           // running and ready, per part
    QCOMPARE(changes.last().at(2).toString(), QStringLiteral("ready"));

    // New content in the container: both parts are made again, and only the new builds stay.
    const QString before = jobOf(scanId, 0)->build;
    QCOMPARE(m_db->requeueJobsOfContainer(m_container, m_now), 2);
    pool.wake();
    QTRY_VERIFY_WITH_TIMEOUT(jobOf(scanId, 0)->state == Job::State::Ready &&
                                 jobOf(scanId, 1)->state == Job::State::Ready,
                             60000);
    QVERIFY(jobOf(scanId, 0)->build != before);
    QCOMPARE(derivedFolders(scanId).size(), 2);
}

void TestJobs::stopGivesTheRunningJobBack() {
    const QString scanId = saveScan({{40, 30}});
    auto pool = std::make_unique<JobPool>(poolOptions(), m_storage);
    pool->start();
    pool->wake();
    QTRY_VERIFY_WITH_TIMEOUT(
        jobOf(scanId, 0)->state == Job::State::Running && jobOf(scanId, 0)->progress > 0, 60000);
    pool->stop();
    const auto stopped = jobOf(scanId, 0);
    QCOMPARE(stopped->state, Job::State::Queued);
    QCOMPARE(stopped->attempts, 0);
    QVERIFY(derivedFolders(scanId).isEmpty());

    // A new pool (a restarted server) makes it.
    pool = std::make_unique<JobPool>(poolOptions(), m_storage);
    pool->start();
    QTRY_VERIFY_WITH_TIMEOUT(jobOf(scanId, 0)->state == Job::State::Ready, 120000);
    QCOMPARE(jobOf(scanId, 0)->attempts, 1);
}

void TestJobs::crashedOwnerAndTooManyAttempts() {
    const QString scanId = saveScan({{1, 1}, {1, 1}});
    // A server that died leaves its job running; at its next start it takes it back.
    const auto crashed = m_db->claimJob(QStringLiteral("dead:1"), m_now, 3600);
    QVERIFY(crashed);
    QCOMPARE(m_db->requeueJobsOwnedBy(QStringLiteral("alive:"), m_now), 0);
    QCOMPARE(m_db->requeueJobsOwnedBy(QStringLiteral("dead:"), m_now), 1);
    QCOMPARE(m_db->job(crashed->id)->state, Job::State::Queued);

    // A job that keeps killing its server is given up after the last attempt.
    for (int i = 0; i < 3; ++i) {
        auto job = m_db->claimJob(QStringLiteral("dead:1"), m_now, 3600);
        QVERIFY(job);
        QCOMPARE(m_db->requeueJobsOwnedBy(QStringLiteral("dead:"), m_now), 1);
    }
    JobPoolOptions options = poolOptions();
    options.maxAttempts = 2;
    JobPool pool(options, m_storage);
    pool.start();
    QTRY_VERIFY_WITH_TIMEOUT(jobOf(scanId, 0)->state != Job::State::Queued &&
                                 jobOf(scanId, 0)->state != Job::State::Running &&
                                 jobOf(scanId, 1)->state == Job::State::Ready,
                             60000);
    const Job failed = *jobOf(scanId, crashed->part);
    QCOMPARE(failed.state, Job::State::Failed);
    QVERIFY2(failed.error.contains(QStringLiteral("given up")), qPrintable(failed.error));
}

QTEST_GUILESS_MAIN(TestJobs)
#include "tst_jobs.moc"
