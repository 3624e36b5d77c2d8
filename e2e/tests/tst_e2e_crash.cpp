// A scan killed at any moment loses nothing: a child process composes the program's facades as
// the entry function does, scans the simulated microscope against the local service, and is
// killed with SIGKILL at a seeded moment (while cells are stored, while an archive or the
// descriptor uploads, between the last archive and the descriptor, right after the finish,
// during the save). A second child starts on the same data location, logs in with the stored
// token and takes the scan up. Every cell the journal showed stored at the kill must then be in
// the saved package, every file the service holds must be whole and none twice, and the scan's
// local folder must be gone. Beside it, with the same children: the service down for 20 s in
// the middle of a scan, and a new scan started while one is open.

#include "mosaic/bigbuilder.h"
#include "program/facades.h"
#include "service/scan.h"
#include "shell/logging.h"
#include "shell/metatypes.h"
#include "shell/settings.h"

#include "scanrun.h"

#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

using scanrun::json;

namespace {

constexpr int cameraWidth = 640;
constexpr int cameraHeight = 480;
constexpr int slideWidth = 2400;
constexpr int slideHeight = 1800;

// ---------------------------------------------------------------------------------------------
// The child: one run of the program's objects.

void tell(const QString &text) {
    std::fprintf(stdout, "EVENT %s\n", qPrintable(text));
    std::fflush(stdout);
}

// Stands in for the system browser the log-in opens.
class Browser : public QObject {
    Q_OBJECT
public:
    Browser() { QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open"); }
    ~Browser() override { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }
public slots:
    void open(const QUrl &) { tell(QStringLiteral("browser")); }
};

// Waits for a condition while the event loop runs; false after `ms`.
template <typename F>
bool waitFor(F condition, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void pause(int ms) {
    QElapsedTimer timer;
    timer.start();
    waitFor([&] { return timer.elapsed() >= ms; }, ms + 1000);
}

int fail(const QString &why) {
    tell(QStringLiteral("failed ") + why);
    return 3;
}

// The waits between attempts in the children.
constexpr int childRetryMs = 300;
constexpr int childMaxRetryMs = 3000;

// A new scan started while the first is open: the first is closed as Finish would close it,
// and both arrive and are saved.
template <typename RunFor>
int secondScan(Facades &facades, Settings &settings, Scan *first, RunFor &runFor,
               const QString &name) {
    ApiThread &api = facades.api;
    BigBuilderThread &big = facades.bigBuilder;
    BigBuilder *builder = big.currentBuilder();
    // Let the cells on their way land, then count them in the builder's own thread.
    pause(1500);
    qsizetype cells = 0;
    QMetaObject::invokeMethod(
        builder, [&] { cells = qsizetype(builder->cells().size()); }, Qt::BlockingQueuedConnection);
    tell(QStringLiteral("first-cells %1").arg(cells));

    const QFuture<Scan *> started = api.startNewScan();
    if (!waitFor([&] { return started.isFinished(); }, 30000) || started.resultCount() != 1)
        return fail(QStringLiteral("no second container"));
    Scan *second = started.result();
    if (!waitFor(
            [&] {
                return big.currentBuilder() &&
                       big.currentBuilder()->containerId() == second->containerId();
            },
            10000))
        return fail(QStringLiteral("no second builder"));
    tell(QStringLiteral("second ") + second->containerId());
    if (!runFor(2, 40))
        return fail(QStringLiteral("second scan"));
    big.finish(settings.mpp(), settings.magnification());
    for (Scan *scan : {first, second}) {
        if (!waitFor([&] { return scan->status() >= Scan::UPLOADED; }, 60000))
            return fail(QStringLiteral("not uploaded: ") + scan->containerId());
        api.saveScan(scan->containerId(), name + (scan == first ? " first" : " second"));
        if (!waitFor([&] { return scan->status() == Scan::SAVED; }, 60000))
            return fail(QStringLiteral("not saved: ") + scan->containerId());
        tell(QStringLiteral("saved ") + scan->containerId());
        if (!waitFor([&] { return !QDir(big.scanFolder(scan->containerId())).exists(); }, 20000))
            return fail(QStringLiteral("folder left"));
    }
    tell(QStringLiteral("done"));
    return 0;
}

// `scan`: log in (with the stored token when there is one), scan two parts, finish and save.
// `recover`: log in with the stored token, let every scan taken up arrive and save the ones no
// name was asked for, and wait for their folders to go.
int childMain(const QString &mode, const QString &root, const QString &base, const QString &name,
              int maxRetryMs) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root + "/config");
    QCoreApplication::setOrganizationName(QStringLiteral("MirevaCrash"));
    QCoreApplication::setApplicationName(QStringLiteral("Mireva"));
    logging::setup(root + QStringLiteral("/logs/") + mode + "-" + name + ".log");
    qRegisterMetaType<cv::Mat>();

    Browser browser;
    Settings settings(nullptr, QStringList());
    settings.setApiUrl(QUrl(base));
    settings.setCameraId(QStringLiteral("Vimba DEV_SIM_0001"));
    settings.setAutoCameraSettings(false);
    settings.setVignettingCorrection(false);
    // The scans go to the application's data location, as in the program.
    ApiThread::Intervals intervals;
    intervals.pollMs = 300;
    intervals.retryMs = childRetryMs;
    intervals.maxRetryMs = maxRetryMs;
    Facades::Options options;
    options.serviceIntervals = intervals;
    Facades facades(&settings, options);
    ApiThread &api = facades.api;
    BigBuilderThread &big = facades.bigBuilder;
    auto stop = qScopeGuard([&] { facades.stop(); });

    QObject::connect(
        &big, &BigBuilderThread::uploadRequested,
        [](QString, QString path, QString, bool) { tell(QStringLiteral("upload ") + path); });
    QObject::connect(&api, &ApiThread::fileUploaded, [](QString, QString path, QString, QString) {
        tell(QStringLiteral("confirmed ") + path);
    });

    const bool stored = !settings.apiToken().isEmpty();
    if (mode == QLatin1String("recover") && !stored)
        return fail(QStringLiteral("no stored token"));
    if (!stored)
        emit api.logIn();
    if (!waitFor([&] { return api.isLoggedIn() && api.user().isValid(); }, 30000))
        return fail(QStringLiteral("not logged in"));
    tell(QStringLiteral("logged-in"));

    if (mode == QLatin1String("recover")) {
        const QStringList ids = facades.recovered;
        tell(QStringLiteral("recovered ") + ids.join(QLatin1Char(',')));
        for (const QString &id : ids) {
            Scan *scan = nullptr;
            for (Scan *known : api.scans())
                if (known->containerId() == id)
                    scan = known;
            if (!scan)
                return fail(QStringLiteral("no scan for ") + id);
            if (!waitFor([&] { return scan->status() >= Scan::UPLOADED || scan->failed(); },
                         60000) ||
                scan->failed())
                return fail(QStringLiteral("not uploaded: ") + scan->error());
            // A name asked for before the kill is used by itself; otherwise the user gives one.
            if (scan->saveName().isEmpty() && scan->status() != Scan::SAVED)
                api.saveScan(id, name);
            if (!waitFor([&] { return scan->status() == Scan::SAVED; }, 60000))
                return fail(QStringLiteral("not saved: ") + id);
            tell(QStringLiteral("saved ") + id + " " + scan->saveName());
        }
        for (const QString &id : ids)
            if (!waitFor([&] { return !QDir(big.scanFolder(id)).exists(); }, 20000))
                return fail(QStringLiteral("folder left: ") + id);
        tell(QStringLiteral("done"));
        return 0;
    }

    QObject frames;
    int frameCount = 0;
    QObject::connect(&facades.camera, &CameraThread::newFrame, &frames, [&] { ++frameCount; });
    facades.camera.requestAvailableCameras();
    if (!waitFor([&] { return frameCount > 2; }, 30000))
        return fail(QStringLiteral("no camera"));

    const QFuture<Scan *> started = api.startNewScan();
    if (!waitFor([&] { return started.isFinished(); }, 30000) || started.resultCount() != 1)
        return fail(QStringLiteral("no container"));
    Scan *scan = started.result();
    if (!waitFor([&] { return big.currentBuilder() != nullptr; }, 10000))
        return fail(QStringLiteral("no builder"));
    tell(QStringLiteral("scan ") + scan->containerId() + " " + big.scanFolder(scan->containerId()));

    SmallBuilderThread &small = facades.smallBuilder;
    const QSizeF view(cameraWidth * 1.5, cameraHeight * 1.5);
    emit small.viewSizeUpdate(view);
    emit small.viewResolutionUpdate(view);
    auto runFor = [&](int part, int count) {
        emit small.reset();
        small.setRunning(true);
        facades.camera.beginScanning();
        tell(QStringLiteral("part %1").arg(part));
        const int until = frameCount + count;
        const bool ran = waitFor([&] { return frameCount >= until; }, 60000);
        small.setRunning(false);
        facades.camera.endScanning();
        return ran;
    };
    if (!runFor(1, 90))
        return fail(QStringLiteral("part 1"));
    if (mode == QLatin1String("two"))
        return secondScan(facades, settings, scan, runFor, name);
    big.finishImage();
    if (!runFor(2, 60))
        return fail(QStringLiteral("part 2"));
    // Everything asked for so far arrives before the descriptor is made: a kill here falls
    // between the last archive and the descriptor.
    if (!waitFor([&] { return scan->uploading() == 0 && scan->uploaded() > 0; }, 60000))
        return fail(QStringLiteral("archives not uploaded"));
    tell(QStringLiteral("archives-confirmed"));
    pause(300);
    big.finish(settings.mpp(), settings.magnification());
    if (!waitFor([&] { return scan->status() >= Scan::UPLOADED; }, 60000))
        return fail(QStringLiteral("not uploaded"));
    tell(QStringLiteral("uploaded"));
    pause(200);
    tell(QStringLiteral("saving"));
    api.saveScan(scan->containerId(), name);
    if (!waitFor([&] { return scan->status() == Scan::SAVED; }, 60000))
        return fail(QStringLiteral("not saved"));
    tell(QStringLiteral("saved ") + scan->containerId() + " " + name);
    if (!waitFor([&] { return !QDir(big.scanFolder(scan->containerId())).exists(); }, 20000))
        return fail(QStringLiteral("folder left"));
    tell(QStringLiteral("done"));
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The parent: the kills and the checks.

// A stored cell as the journal showed it at the kill.
struct StoredCell {
    int part = 0;
    QString md5;
};

// The journal's stored cells, read from a copy of its files: the copy is opened (and its write-
// ahead log applied) without touching the scan's own.
std::optional<std::vector<StoredCell>> journalCells(const QString &folder, const QString &copy) {
    QDir().mkpath(copy);
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        const QString from = folder + QStringLiteral("/journal.sqlite") + suffix;
        QFile::remove(copy + QStringLiteral("/journal.sqlite") + suffix);
        if (QFile::exists(from) && !QFile::copy(from, copy + "/journal.sqlite" + suffix))
            return std::nullopt;
    }
    std::optional<std::vector<StoredCell>> cells;
    const QString connection = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(copy + QStringLiteral("/journal.sqlite"));
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("SELECT part, md5 FROM cells WHERE live = 1"))) {
                cells.emplace();
                while (query.next())
                    cells->push_back({query.value(0).toInt(), query.value(1).toString()});
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return cells;
}

int savedScanCount(const QString &dataDir, const QString &containerId, QStringList *descriptors) {
    int count = 0;
    const QString connection = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(dataDir + QStringLiteral("/tavrona.sqlite"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("SELECT descriptor FROM scans WHERE container_id = ?"));
            query.addBindValue(containerId);
            if (query.exec())
                while (query.next()) {
                    ++count;
                    descriptors->append(query.value(0).toString());
                }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return count;
}

// What a child printed, line by line.
class Child : public QObject {
    Q_OBJECT
public:
    QProcess process;
    QStringList events;
    std::function<void(const QString &)> onEvent;

    Child() {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        connect(&process, &QProcess::readyReadStandardOutput, this, [this] {
            while (process.canReadLine()) {
                const QString line = QString::fromUtf8(process.readLine()).trimmed();
                if (!line.startsWith(QLatin1String("EVENT ")))
                    continue;
                events.append(line.mid(6));
                if (onEvent)
                    onEvent(events.last());
            }
        });
        // Its log goes to a file; what reaches stderr is only kept for a failure's message.
        connect(&process, &QProcess::readyReadStandardError, this,
                [this] { errors += process.readAllStandardError(); });
    }
    // Waits for the child's end with the event loop running, so that the test's timers fire.
    bool ended(int ms) {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, ms);
    }
    QString find(const QString &prefix) const {
        for (const QString &line : events)
            if (line.startsWith(prefix))
                return line;
        return {};
    }
    QByteArray errors;
};

// Where a kill falls: after the `occurrence`-th event starting with `trigger`, `delayMs` later.
struct Moment {
    QString what;
    QString trigger;
    int occurrence = 1;
    int delayMs = 0;
};

} // namespace

class TestCrash : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void killedAtAnyMoment();
    void serviceDownFor20Seconds();
    void newScanWhileOneIsOpen();

private:
    QTemporaryDir m_dir;
    QString m_configPath;
};

void TestCrash::initTestCase() {
    QVERIFY(m_dir.isValid());
    const cv::Mat slide = scanrun::makeSlide(slideWidth, slideHeight, 19);
    const QString slidePath = m_dir.filePath(QStringLiteral("slide.png"));
    cv::Mat bgr;
    cv::cvtColor(slide, bgr, cv::COLOR_RGB2BGR);
    QVERIFY(cv::imwrite(slidePath.toStdString(), bgr));
    m_configPath = m_dir.filePath(QStringLiteral("camera.json"));
    QVERIFY(scanrun::writeFile(
        m_configPath,
        QByteArray::fromStdString(scanrun::cameraConfig(slidePath, m_dir.filePath("truth.csv"),
                                                        cameraWidth, cameraHeight, 20, 1400, 1000)
                                      .dump())));
}

void TestCrash::killedAtAnyMoment() {
    const QString dataDir = m_dir.filePath(QStringLiteral("server"));
    QVERIFY(QDir().mkpath(dataDir));
    QProcess server;
    const QString base =
        scanrun::startServer(server, QCoreApplication::applicationDirPath() + "/tavrona-server",
                             dataDir, QStringList{"--auto-confirm"});
    QVERIFY2(!base.isEmpty(), server.readAllStandardError().constData());
    auto stopServer = qScopeGuard([&] {
        server.terminate();
        server.waitForFinished(10000);
    });
    // The server's request log is not needed; it must not fill a pipe either.
    connect(&server, &QProcess::readyReadStandardError, &server,
            [&server] { server.readAllStandardError(); });

    // One data location for every run, as for one user on one machine.
    const QString root = m_dir.filePath(QStringLiteral("user"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("VMBSIM_CONFIG"), m_configPath);
    const QString scansRoot = root + QStringLiteral("/data/MirevaCrash/Mireva/scans");

    auto runChild = [&](Child &child, const QString &mode, const QString &name) {
        child.process.setProcessEnvironment(env);
        child.process.setWorkingDirectory(QCoreApplication::applicationDirPath());
        child.process.start(QCoreApplication::applicationFilePath(),
                            {QStringLiteral("--child"), mode, root, base, name});
        return child.process.waitForStarted(10000);
    };

    // The moments, the same for a seed: each kind in turn, at a random point inside it.
    QRandomGenerator random(19);
    const QList<Moment> kinds = {
        {QStringLiteral("while cells are stored"), QStringLiteral("part 1"), 1, 0},
        {QStringLiteral("during an archive's upload"), QStringLiteral("upload 0"), 1, 0},
        {QStringLiteral("while cells are stored"), QStringLiteral("part 2"), 1, 0},
        {QStringLiteral("between the archives and the descriptor"),
         QStringLiteral("archives-confirmed"), 1, 0},
        {QStringLiteral("during the descriptor's upload"), QStringLiteral("upload scan.isd"), 1, 0},
        {QStringLiteral("right after the finish"), QStringLiteral("uploaded"), 1, 0},
        {QStringLiteral("during the save"), QStringLiteral("saving"), 1, 0},
    };
    QList<Moment> moments;
    for (int k = 0; k < 20; ++k) {
        Moment moment = kinds[k % kinds.size()];
        if (moment.trigger.startsWith(QLatin1String("part")))
            // Part 1 lasts about 4.5 s, part 2 about 3 s.
            moment.delayMs = int(random.bounded(200, moment.trigger.endsWith('1') ? 4000 : 2500));
        else if (moment.trigger.startsWith(QLatin1String("upload 0")))
            moment = {moment.what, moment.trigger, int(random.bounded(1, 3)),
                      int(random.bounded(0, 40))};
        else if (moment.trigger == QLatin1String("archives-confirmed"))
            moment.delayMs = int(random.bounded(0, 300));
        else
            moment.delayMs = int(random.bounded(0, 60));
        moments.append(moment);
    }

    int lost = 0, cellsChecked = 0, killed = 0, doubleSaves = 0;
    for (int k = 0; k < moments.size(); ++k) {
        const Moment &moment = moments[k];
        const QString name = QStringLiteral("Crash %1").arg(k);
        Child victim;
        int seen = 0;
        bool armed = false;
        victim.onEvent = [&](const QString &line) {
            if (armed || !line.startsWith(moment.trigger) || ++seen < moment.occurrence)
                return;
            armed = true;
            QTimer::singleShot(moment.delayMs, &victim, [&victim] {
                if (victim.process.state() == QProcess::Running)
                    ::kill(pid_t(victim.process.processId()), SIGKILL);
            });
        };
        QVERIFY(runChild(victim, QStringLiteral("scan"), name));
        QVERIFY2(victim.ended(180000), "the scan did not end");
        const QString failure = victim.find(QStringLiteral("failed"));
        QVERIFY2(failure.isEmpty(), qPrintable(failure + "\n" + victim.errors.right(3000)));
        const bool wasKilled = victim.process.exitStatus() == QProcess::CrashExit;
        killed += wasKilled ? 1 : 0;
        QVERIFY2(wasKilled || victim.process.exitCode() == 0,
                 qPrintable(victim.events.join('\n') + "\n" + victim.errors.right(3000)));
        const QStringList scanLine = victim.find(QStringLiteral("scan ")).split(QLatin1Char(' '));
        QVERIFY2(scanLine.size() == 3, qPrintable(victim.events.join('\n')));
        const QString containerId = scanLine[1];
        const QString folder = scanLine[2];
        QCOMPARE(QFileInfo(folder).absolutePath(), scansRoot);

        // What the journal shows stored at the kill.
        std::vector<StoredCell> atKill;
        // Gone (or being removed) only once the scan was saved: then the service's side is
        // checked alone.
        const bool journalLeft = QFileInfo::exists(folder + QStringLiteral("/journal.sqlite"));
        if (journalLeft) {
            const auto read = journalCells(folder, m_dir.filePath(QStringLiteral("copy")));
            QVERIFY2(read.has_value(), qPrintable(folder));
            atKill = *read;
        }

        // The next start: same data location, the stored token.
        Child next;
        QVERIFY(runChild(next, QStringLiteral("recover"), QStringLiteral("Recovered %1").arg(k)));
        QVERIFY2(next.ended(180000), "the recovery did not end");
        QVERIFY2(next.process.exitStatus() == QProcess::NormalExit && next.process.exitCode() == 0,
                 qPrintable(next.events.join('\n') + "\n" + next.errors.right(3000)));
        QVERIFY2(next.find(QStringLiteral("browser")).isEmpty(), "the stored token was not used");
        // Nothing is left behind, not even a removal the kill cut short.
        QVERIFY2(QDir(scansRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty(),
                 qPrintable(
                     QDir(scansRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).join(' ')));
        const bool recovered =
            next.find(QStringLiteral("recovered ")).mid(10).split(',').contains(containerId);

        // The service's side: one saved scan (two when the kill fell after the service saved it
        // and before the program heard of it), every file whole and named once.
        QStringList descriptors;
        const int saves = savedScanCount(dataDir, containerId, &descriptors);
        if (saves == 0 && journalLeft && atKill.empty() && !recovered) {
            // Killed before its first cell was stored: an empty scan is not kept.
            qInfo().noquote() << QStringLiteral("kill %1 (%2, +%3 ms): nothing stored yet")
                                     .arg(k)
                                     .arg(moment.what)
                                     .arg(moment.delayMs);
            continue;
        }
        QVERIFY2(saves >= 1, qPrintable(QStringLiteral("kill %1 (%2): not saved\n%3")
                                            .arg(k)
                                            .arg(moment.what)
                                            .arg(next.events.join('\n'))));
        doubleSaves += saves - 1;
        for (const QString &text : descriptors)
            QCOMPARE(text, descriptors.first());
        const QString containerDir = dataDir + "/containers/" + containerId;
        const auto uploads = scanrun::storedUploads(dataDir, containerId);
        for (const auto &[path, upload] : uploads) {
            const QByteArray data = scanrun::readFile(containerDir + "/" + path);
            QCOMPARE(qint64(data.size()), upload.size);
            QCOMPARE(scanrun::md5Hex(data), upload.md5);
        }
        const json isd = json::parse(descriptors.first().toStdString(), nullptr, false);
        QVERIFY(isd.is_object() && isd["images"].is_array());
        std::map<int, std::multiset<QString>> packaged; // by part: the cells' MD5s
        std::set<std::string> entries;
        int part = 0;
        for (const json &image : isd["images"]) {
            if (image.value("type", "") != "stitched")
                continue;
            for (const json &entry : image["parts"]) {
                const std::string path = entry[2].get<std::string>();
                QVERIFY2(entries.insert(path).second, path.c_str());
                const QByteArray bytes =
                    scanrun::archiveEntry(containerDir, QString::fromStdString(path));
                QVERIFY2(!bytes.isEmpty(), path.c_str());
                packaged[part].insert(scanrun::md5Hex(bytes));
            }
            ++part;
        }
        // Every cell the journal showed stored is in the package, in a part of its own order.
        std::map<int, std::multiset<QString>> journaled;
        for (const StoredCell &cell : atKill)
            journaled[cell.part].insert(cell.md5);
        int lostHere = 0;
        std::multiset<QString> all;
        for (const auto &[p, md5s] : packaged)
            all.insert(md5s.begin(), md5s.end());
        for (const StoredCell &cell : atKill)
            if (!all.count(cell.md5))
                ++lostHere;
        // Parts in order, each with exactly the cells the journal held for it.
        if (journalLeft) {
            int index = 0;
            for (const auto &[p, md5s] : journaled) {
                QVERIFY2(packaged.count(index) && packaged[index] == md5s,
                         qPrintable(QStringLiteral("kill %1 (%2): part %3 differs")
                                        .arg(k)
                                        .arg(moment.what)
                                        .arg(p)));
                ++index;
            }
            QCOMPARE(int(packaged.size()), index);
        }
        qInfo().noquote() << QStringLiteral("kill %1 %2 (%3, +%4 ms): %5 cells in the journal, "
                                            "%6 lost, %7 files, saved %8x")
                                 .arg(k)
                                 .arg(wasKilled ? "landed" : "came after the end")
                                 .arg(moment.what)
                                 .arg(moment.delayMs)
                                 .arg(atKill.size())
                                 .arg(lostHere)
                                 .arg(uploads.size())
                                 .arg(saves);
        lost += lostHere;
        cellsChecked += int(atKill.size());
    }
    qInfo().noquote() << QStringLiteral("Crash test: %1 kills landed of %2, %3 cells checked, %4 "
                                        "lost, %5 scans saved twice")
                             .arg(killed)
                             .arg(moments.size())
                             .arg(cellsChecked)
                             .arg(lost)
                             .arg(doubleSaves);
    QCOMPARE(lost, 0);
    // The moments are chosen inside the run: nearly all of them land.
    QVERIFY(killed >= moments.size() - 2);
}

// The service goes away in the middle of a scan and is back 20 s later on the same address: the
// scan arrives whole, and no file was tried more often than the backoff allows.
void TestCrash::serviceDownFor20Seconds() {
    constexpr int outageMs = 20000;
    const QString dataDir = m_dir.filePath(QStringLiteral("outage-server"));
    QVERIFY(QDir().mkpath(dataDir));
    const QString program = QCoreApplication::applicationDirPath() + "/tavrona-server";
    auto server = std::make_unique<QProcess>();
    const QString base = scanrun::startServer(*server, program, dataDir, {"--auto-confirm"});
    QVERIFY2(!base.isEmpty(), server->readAllStandardError().constData());
    auto stopServer = qScopeGuard([&] {
        if (server) {
            server->terminate();
            server->waitForFinished(10000);
        }
    });

    const QString root = m_dir.filePath(QStringLiteral("outage-user"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("VMBSIM_CONFIG"), m_configPath);
    Child child;
    child.process.setProcessEnvironment(env);
    child.process.setWorkingDirectory(QCoreApplication::applicationDirPath());

    QElapsedTimer outage;
    bool down = false;
    child.onEvent = [&](const QString &line) {
        if (down || line != QLatin1String("part 1"))
            return;
        down = true;
        // Cells are on their way: the service goes away, and comes back on its address.
        QTimer::singleShot(1500, &child, [&] {
            server->kill();
            server->waitForFinished(10000);
            outage.start();
            QTimer::singleShot(outageMs, &child, [&] {
                server = std::make_unique<QProcess>();
                scanrun::startServer(
                    *server, program, dataDir,
                    {"--auto-confirm", "--port", QString::number(QUrl(base).port())});
            });
        });
    };
    child.process.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--child"), QStringLiteral("scan"), root, base, QStringLiteral("Outage")});
    QVERIFY(child.process.waitForStarted(10000));
    QVERIFY2(child.ended(240000), "the scan did not end");
    QVERIFY2(child.process.exitStatus() == QProcess::NormalExit && child.process.exitCode() == 0,
             qPrintable(child.events.join('\n') + "\n" + child.errors.right(3000)));
    QVERIFY(down && outage.isValid());
    const QString containerId = child.find(QStringLiteral("scan ")).section(' ', 1, 1);
    QVERIFY(child.find(QStringLiteral("saved ")).startsWith("saved " + containerId));

    // Everything arrived whole.
    QStringList descriptors;
    QCOMPARE(savedScanCount(dataDir, containerId, &descriptors), 1);
    const QString containerDir = dataDir + "/containers/" + containerId;
    const auto uploads = scanrun::storedUploads(dataDir, containerId);
    QVERIFY(uploads.size() >= 3);
    for (const auto &[path, upload] : uploads)
        QCOMPARE(scanrun::md5Hex(scanrun::readFile(containerDir + "/" + path)), upload.md5);

    // The attempts of each file, as the program's log shows them. Waits of the backoff at their
    // shortest (the jitter's low end), from the first failure on: the outage and the wait after
    // it hold no more attempts than those.
    const QString log = QString::fromUtf8(scanrun::readFile(root + "/logs/scan-Outage.log"));
    ApiThread::Intervals intervals;
    intervals.retryMs = childRetryMs;
    intervals.maxRetryMs = childMaxRetryMs;
    int allowed = 1;
    for (qint64 waited = 0;; ++allowed) {
        waited += ApiThread::retryDelayMs(intervals, allowed, 0.0);
        if (waited > outageMs + 3000) // the kill and the restart take a moment of their own
            break;
    }
    ++allowed; // the attempt that succeeds
    int retried = 0, most = 0;
    for (const auto &[path, upload] : uploads) {
        const QRegularExpression attempt(QStringLiteral("Uploading file: .* at path: \"%1\"")
                                             .arg(QRegularExpression::escape(path)));
        const qsizetype attempts = log.count(attempt);
        QVERIFY2(attempts >= 1, qPrintable(path));
        QVERIFY2(attempts <= allowed,
                 qPrintable(QStringLiteral("%1 tried %2 times, at most %3 allowed")
                                .arg(path)
                                .arg(attempts)
                                .arg(allowed)));
        retried += attempts > 1 ? 1 : 0;
        most = std::max(most, int(attempts));
    }
    // The outage did reach the uploads.
    QVERIFY2(retried >= 1, qPrintable(log.right(3000)));
    qInfo().noquote() << QStringLiteral("Outage of %1 s: %2 files, %3 retried, most attempts "
                                        "%4, allowed %5")
                             .arg(outageMs / 1000)
                             .arg(uploads.size())
                             .arg(retried)
                             .arg(most)
                             .arg(allowed);
}

void TestCrash::newScanWhileOneIsOpen() {
    const QString dataDir = m_dir.filePath(QStringLiteral("two-server"));
    QVERIFY(QDir().mkpath(dataDir));
    QProcess server;
    const QString base =
        scanrun::startServer(server, QCoreApplication::applicationDirPath() + "/tavrona-server",
                             dataDir, {"--auto-confirm"});
    QVERIFY2(!base.isEmpty(), server.readAllStandardError().constData());
    auto stopServer = qScopeGuard([&] {
        server.terminate();
        server.waitForFinished(10000);
    });
    connect(&server, &QProcess::readyReadStandardError, &server,
            [&server] { server.readAllStandardError(); });
    const QString root = m_dir.filePath(QStringLiteral("two-user"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("VMBSIM_CONFIG"), m_configPath);
    Child child;
    child.process.setProcessEnvironment(env);
    child.process.setWorkingDirectory(QCoreApplication::applicationDirPath());
    child.process.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--child"), QStringLiteral("two"), root, base, QStringLiteral("Two")});
    QVERIFY(child.process.waitForStarted(10000));
    QVERIFY2(child.ended(180000), "the scans did not end");
    QVERIFY2(child.process.exitStatus() == QProcess::NormalExit && child.process.exitCode() == 0,
             qPrintable(child.events.join('\n') + "\n" + child.errors.right(3000)));

    const QString first = child.find(QStringLiteral("scan ")).section(' ', 1, 1);
    const QString second = child.find(QStringLiteral("second ")).section(' ', 1, 1);
    const int cells = child.find(QStringLiteral("first-cells ")).section(' ', 1, 1).toInt();
    QVERIFY(cells > 0);
    QVERIFY(!first.isEmpty() && !second.isEmpty() && first != second);
    for (const QString &id : {first, second}) {
        QStringList descriptors;
        QCOMPARE(savedScanCount(dataDir, id, &descriptors), 1);
        const QString containerDir = dataDir + "/containers/" + id;
        for (const auto &[path, upload] : scanrun::storedUploads(dataDir, id))
            QCOMPARE(scanrun::md5Hex(scanrun::readFile(containerDir + "/" + path)), upload.md5);
        const json isd = json::parse(descriptors.first().toStdString(), nullptr, false);
        QVERIFY(isd.is_object() && isd["images"].is_array());
        if (id != first)
            continue;
        // The first scan whole: its one part with every cell it held, each in its archive.
        QCOMPARE(isd["images"].size(), size_t(1));
        const json &part = isd["images"][0]["parts"];
        QCOMPARE(int(part.size()), cells);
        for (const json &entry : part)
            QVERIFY(!scanrun::archiveEntry(containerDir,
                                           QString::fromStdString(entry[2].get<std::string>()))
                         .isEmpty());
    }
}

int main(int argc, char **argv) {
    if (argc == 6 && QByteArray(argv[1]) == "--child") {
        QGuiApplication app(argc, argv);
        return childMain(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                         QString::fromLocal8Bit(argv[4]), QString::fromLocal8Bit(argv[5]),
                         childMaxRetryMs);
    }
    QGuiApplication app(argc, argv);
    TestCrash test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_crash.moc"
