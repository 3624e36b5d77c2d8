#include "shell/logging.h"
#include "shell/redaction.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <unistd.h>

// Runs against the real handler: stderr is redirected into a file for the whole test, the log
// file lives in a folder the set-up has to create.
class TestLogging : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void lineLayout_data();
    void lineLayout();
    void fatalLevelName();
    void streamedItems();
    void nonAscii();
    void secondSetupChangesNothing();
    void linesFromThreadsDoNotInterleave();
    void earlierLogsKept();
    void ownerOnly();
    void secretsCutFromEveryLine();
    void longRunRotates();
    void afterCloseStillOnStderr();

private:
    QByteArray logBytes() const;
    QByteArray stderrBytes() const;
    QString lastLogLine() const;

    QTemporaryDir dir;
    QString logPath;
    QString stderrPath;
    int savedStderr = -1;
};

void TestLogging::initTestCase() {
    QVERIFY(dir.isValid());
    logPath = dir.filePath(QStringLiteral("data/Mireva/application_output.log"));
    stderrPath = dir.filePath(QStringLiteral("stderr.txt"));
    // Earlier runs' logs, the oldest of which has to go: the current one and two earlier ones.
    QVERIFY(QDir().mkpath(QFileInfo(logPath).path()));
    const QList<QPair<QString, QByteArray>> earlier = {
        {logPath, "previous run\n"},
        {logging::rotatedName(logPath, 1), "run before\n"},
        {logging::rotatedName(logPath, 2), "oldest run\n"}};
    for (const auto &[path, content] : earlier) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    std::fflush(stderr);
    savedStderr = ::dup(2);
    FILE *capture = std::fopen(QFile::encodeName(stderrPath).constData(), "w");
    QVERIFY(capture);
    ::dup2(::fileno(capture), 2);
    std::fclose(capture);

    logging::setup(logPath, {2, 1024 * 1024});
    QVERIFY(!logBytes().contains("previous run"));
}

void TestLogging::cleanupTestCase() {
    std::fflush(stderr);
    if (savedStderr >= 0)
        ::dup2(savedStderr, 2);
}

QByteArray TestLogging::logBytes() const {
    QFile file(logPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray TestLogging::stderrBytes() const {
    std::fflush(stderr);
    QFile file(stderrPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString TestLogging::lastLogLine() const {
    const QList<QByteArray> lines = logBytes().split('\n');
    return lines.size() >= 2 ? QString::fromLocal8Bit(lines[lines.size() - 2]) + QLatin1Char('\n')
                             : QString();
}

void TestLogging::lineLayout_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QString>("expected"); // everything after the date and time

    QTest::newRow("debug, no location")
        << int(QtDebugMsg) << QByteArray() << 0 << QByteArray()
        << QStringLiteral(" |  Debug   | 0 |  |  | Set camera start\n");
    QTest::newRow("info") << int(QtInfoMsg) << QByteArray() << 0 << QByteArray()
                          << QStringLiteral(" |   Info   | 0 |  |  | Set camera start\n");
    QTest::newRow("warning") << int(QtWarningMsg) << QByteArray() << 0 << QByteArray()
                             << QStringLiteral(" | Warning  | 0 |  |  | Set camera start\n");
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray() << 0 << QByteArray()
                              << QStringLiteral(" | Critical | 0 |  |  | Set camera start\n");
    QTest::newRow("windows location")
        << int(QtDebugMsg) << QByteArray("C:\\src\\App\\camera\\cameramanager.cpp") << 42
        << QByteArray("void __cdecl CameraManager::setCamera(const QString &)")
        << QStringLiteral(" |  Debug   | 42 | cameramanager.cpp | setCamera | Set camera start\n");
    QTest::newRow("unix location")
        << int(QtWarningMsg) << QByteArray("/work/App/shell/settings.cpp") << 7
        << QByteArray("QString Settings::mpp() const")
        << QStringLiteral(" | Warning  | 7 | settings.cpp | mpp | Set camera start\n");
    QTest::newRow("free function")
        << int(QtDebugMsg) << QByteArray("main.cpp") << 3 << QByteArray("int main(int, char**)")
        << QStringLiteral(" |  Debug   | 3 | main.cpp | main | Set camera start\n");
}

void TestLogging::lineLayout() {
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QByteArray, function);
    QFETCH(QString, expected);

    QMessageLogger logger(file.isEmpty() ? nullptr : file.constData(), line,
                          function.isEmpty() ? nullptr : function.constData());
    switch (QtMsgType(type)) {
    case QtDebugMsg:
        logger.debug("Set camera start");
        break;
    case QtInfoMsg:
        logger.info("Set camera start");
        break;
    case QtWarningMsg:
        logger.warning("Set camera start");
        break;
    default:
        logger.critical("Set camera start");
        break;
    }
    const QString written = lastLogLine();
    static const QRegularExpression dateTime(
        QStringLiteral("^\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d$"));
    QVERIFY2(dateTime.match(written.left(19)).hasMatch(), qPrintable(written));
    QCOMPARE(written.mid(19), expected);
    QVERIFY(stderrBytes().endsWith(written.toUtf8()));
}

void TestLogging::fatalLevelName() {
    // A fatal message ends the process, so its line is checked through the formatter.
    const QMessageLogContext context;
    QCOMPARE(logging::formatLine(QtFatalMsg, context, QStringLiteral("gone")).mid(19),
             QStringLiteral(" |  Fatal   | 0 |  |  | gone\n"));
}

void TestLogging::streamedItems() {
    qDebug() << "Try to load " << QStringLiteral(":/i18n/pl_PL") << 3;
    QCOMPARE(lastLogLine().mid(19),
             QStringLiteral(" |  Debug   | 0 |  |  | Try to load  \":/i18n/pl_PL\" 3\n"));
    qDebug() << "Message with %1 and %2 placeholders";
    QVERIFY(lastLogLine().endsWith(QStringLiteral("| Message with %1 and %2 placeholders\n")));
}

void TestLogging::nonAscii() {
    const QString text = QStringLiteral("Zażółć gęślą jaźń, 5 µm");
    qWarning().noquote() << text;
    const QByteArray fileLine = logBytes().split('\n').value(logBytes().split('\n').size() - 2);
    QVERIFY(fileLine.endsWith("| " + text.toLocal8Bit()));
    QVERIFY(stderrBytes().contains("| " + text.toUtf8() + '\n'));
}

void TestLogging::secondSetupChangesNothing() {
    const QString otherPath = dir.filePath(QStringLiteral("other.log"));
    const QByteArray before = logBytes();
    logging::setup(otherPath);
    QVERIFY(!QFile::exists(otherPath));
    QVERIFY(logBytes().startsWith(before)); // not truncated
    qDebug() << "still in the first file";
    QVERIFY(lastLogLine().endsWith(QStringLiteral("| still in the first file\n")));
}

void TestLogging::linesFromThreadsDoNotInterleave() {
    constexpr int threads = 4;
    constexpr int lines = 200;
    QList<QThread *> workers;
    for (int t = 0; t < threads; ++t) {
        workers.append(QThread::create([t] {
            for (int i = 0; i < lines; ++i)
                qDebug().noquote() << QStringLiteral("thread %1 line %2 ").arg(t).arg(i)
                                   << QString(100, QLatin1Char('x'));
        }));
        workers.last()->start();
    }
    for (QThread *worker : workers) {
        QVERIFY(worker->wait());
        delete worker;
    }
    static const QRegularExpression wellFormed(
        QStringLiteral("^\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d \\|  Debug   \\| 0 \\|  \\|  "
                       "\\| thread \\d line "
                       "\\d+  x{100}$"));
    int count = 0;
    for (const QByteArray &line : logBytes().split('\n')) {
        if (!line.contains("thread "))
            continue;
        ++count;
        QVERIFY2(wellFormed.match(QString::fromLocal8Bit(line)).hasMatch(), line.constData());
    }
    QCOMPARE(count, threads * lines);
}

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void TestLogging::earlierLogsKept() {
    QCOMPARE(readAll(logging::rotatedName(logPath, 1)), QByteArray("previous run\n"));
    QCOMPARE(readAll(logging::rotatedName(logPath, 2)), QByteArray("run before\n"));
    QVERIFY(!QFile::exists(logging::rotatedName(logPath, 3)));
    QCOMPARE(logging::rotatedName(QStringLiteral("/d/app.log"), 2), QStringLiteral("/d/app.2.log"));
    QCOMPARE(logging::rotatedName(QStringLiteral("/d/app"), 1), QStringLiteral("/d/app.1"));
}

void TestLogging::ownerOnly() {
    QCOMPARE(QFile::permissions(logPath), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadUser | QFileDevice::WriteUser);
}

void TestLogging::secretsCutFromEveryLine() {
    redaction::addSecret(QStringLiteral("registered-token-77"));
    qDebug() << "api response: " << QByteArray("{\"auth_token\": \"tok-abc\"}");
    qWarning() << "Bearer header" << QStringLiteral("registered-token-77") << "kept text";
    const QByteArray log = logBytes();
    const QByteArray err = stderrBytes();
    for (const QByteArray &secret : {QByteArray("tok-abc"), QByteArray("registered-token-77")}) {
        QVERIFY2(!log.contains(secret), secret.constData());
        QVERIFY2(!err.contains(secret), secret.constData());
    }
    QVERIFY(log.contains("| api response:  \"{\\\"auth_token\\\": \\\"[redacted]\\\"}\"\n"));
    QVERIFY(log.contains("| Bearer header \"[redacted]\" kept text\n"));
    QVERIFY(err.contains("| Bearer header \"[redacted]\" kept text\n"));
    redaction::clearSecrets();
}

// Past its size bound the log moves aside and a new one begins; the oldest earlier log goes.
void TestLogging::longRunRotates() {
    const QString line(200, QLatin1Char('r'));
    const QString firstEarlier = logging::rotatedName(logPath, 1);
    int written = 0;
    while (readAll(firstEarlier) == "previous run\n" && written < 20000)
        qDebug().noquote() << line << written++;
    const QByteArray moved = readAll(firstEarlier);
    QVERIFY(moved.size() >= 1024 * 1024);
    QVERIFY(moved.size() < 1024 * 1024 + 1024);
    // The line that crossed the bound is the moved file's last; the new file starts empty.
    QVERIFY(moved.endsWith(line.toLatin1() + ' ' + QByteArray::number(written - 1) + '\n'));
    QCOMPARE(logBytes(), QByteArray());
    QCOMPARE(readAll(logging::rotatedName(logPath, 2)), QByteArray("previous run\n"));
    QVERIFY(!QFile::exists(logging::rotatedName(logPath, 3)));
    qDebug() << "after the rotation";
    QVERIFY(lastLogLine().endsWith(QStringLiteral("| after the rotation\n")));
    QCOMPARE(QFile::permissions(logPath) & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());
}

void TestLogging::afterCloseStillOnStderr() {
    logging::close();
    const QByteArray before = logBytes();
    qWarning() << "after close";
    QCOMPARE(logBytes(), before);
    QVERIFY(stderrBytes().endsWith(" | Warning  | 0 |  |  | after close\n"));
    logging::close(); // a second close is harmless
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
