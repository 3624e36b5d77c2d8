// The jobs that make saved parts into pyramids: claimed by one worker at a time (also across
// two servers on one database), resumed after a stop or a crash, redone when the container
// changes, and run by the pool off the calling thread.

#include "jobs.h"
#include "partfixture.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tavrona;

class TestJobs : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void aJobIsClaimedOnce();
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

    std::unique_ptr<QTemporaryDir> m_dir;
    Storage m_storage;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<Database> m_other;
    QString m_container = QStringLiteral("0123456789abcdef0123456789abcdef");
    qint64 m_now = 1'000'000;
};

void TestJobs::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_storage.useFolder(m_dir->path());
    QString error;
    m_db = std::make_unique<Database>();
    QVERIFY2(m_db->open(m_dir->filePath(QStringLiteral("db.sqlite")), &error), qPrintable(error));
    m_other = std::make_unique<Database>();
    QVERIFY2(m_other->open(m_dir->filePath(QStringLiteral("db.sqlite")), &error),
             qPrintable(error));
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
    m_dir.reset();
}

QString TestJobs::saveScan(const QList<QPair<int, int>> &parts, bool photo) {
    fixture::json images = fixture::json::array();
    for (const auto &[columns, rows] : parts) {
        // Each part in archives of its own: offset the archive numbers by rewriting names.
        const fixture::PartPackage package =
            fixture::writePart(m_storage, columns, rows, 128, 1000, 0);
        fixture::json entry = package.descriptor;
        const QString prefix = QStringLiteral("p%1-").arg(images.size());
        for (auto &cell : entry["parts"]) {
            const QString path = QString::fromStdString(cell[2].get<std::string>());
            const QString archive = path.section(QLatin1Char('/'), 0, 0);
            QFile::rename(m_storage.filePath(m_container, archive),
                          m_storage.filePath(m_container, prefix + archive));
            cell[2] = (prefix + path).toStdString();
        }
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
    options.database = DatabaseConfig::sqlite(m_dir->filePath(QStringLiteral("db.sqlite")));
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
    return QDir(m_dir->filePath(QStringLiteral("containers/")) + m_container +
                QStringLiteral(".derived/") + scanId)
        .entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
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
    QVERIFY(QFile::remove(m_storage.filePath(m_container, QStringLiteral("p1-00000.dat"))));
    {
        QFile file(m_storage.filePath(m_container, QStringLiteral("p1-00000.dat")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fixture::archive({{QStringLiteral("0.jpg"), fixture::jpeg(128, 128, {})},
                                     {QStringLiteral("1.jpg"), fixture::jpeg(128, 128, {})},
                                     {QStringLiteral("2.jpg"), fixture::jpeg(128, 128, {})}}));
    }
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
