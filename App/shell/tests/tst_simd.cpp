#include "shell/simd.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <cstdio>
#include <cstring>

namespace {
// Run as a child with this argument, the test prints the level its kernels would use.
constexpr const char *printLevelArgument = "--print-simd-level";
} // namespace

class TestSimd : public QObject {
    Q_OBJECT

private slots:
    void settingValues_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("expected"); // -1: not understood
        QTest::newRow("empty: no cap") << QByteArray() << int(simd::Level::Avx2);
        QTest::newRow("0: no cap") << QByteArray("0") << int(simd::Level::Avx2);
        QTest::newRow("1: portable") << QByteArray("1") << int(simd::Level::Portable);
        QTest::newRow("portable") << QByteArray("portable") << int(simd::Level::Portable);
        QTest::newRow("case and spaces") << QByteArray(" Portable\n") << int(simd::Level::Portable);
        QTest::newRow("vector128") << QByteArray("vector128") << int(simd::Level::Vector128);
        QTest::newRow("ssse3") << QByteArray("SSSE3") << int(simd::Level::Ssse3);
        QTest::newRow("avx2") << QByteArray("avx2") << int(simd::Level::Avx2);
        QTest::newRow("unknown word") << QByteArray("fast") << -1;
        QTest::newRow("other number") << QByteArray("2") << -1;
        QTest::newRow("prefix of a name") << QByteArray("avx") << -1;
    }
    void settingValues() {
        QFETCH(QByteArray, value);
        QFETCH(int, expected);
        const std::optional<simd::Level> limit = simd::limitFromSetting(value);
        QCOMPARE(limit ? int(*limit) : -1, expected);
    }

    void namesRoundTrip() {
        for (int l = 0; l <= int(simd::Level::Avx2); ++l) {
            const auto level = simd::Level(l);
            QCOMPARE(simd::levelNamed(simd::name(level)), std::optional<simd::Level>(level));
        }
    }

    void limitCapsWhatKernelsUse() {
        const simd::Level before = simd::active();
        QVERIFY(before <= simd::detected());
        {
            const simd::ScopedLimit limit(simd::Level::Portable);
            QCOMPARE(simd::active(), simd::Level::Portable);
            QVERIFY(simd::use(simd::Level::Portable));
            QVERIFY(!simd::use(simd::Level::Vector128));
            {
                // A cap above what the processor runs gives what it runs.
                const simd::ScopedLimit above(simd::Level::Avx2);
                QCOMPARE(simd::active(), simd::detected());
            }
            QCOMPARE(simd::active(), simd::Level::Portable);
        }
        QCOMPARE(simd::active(), before);
    }

    // The variable is what CI sets for its portable run: a child process started with it must
    // use the level it names, never more than the processor runs, and an unknown value falls back
    // to the portable code with a warning.
    void environmentVariableCapsTheProcess_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("warns");
        const int detected = int(simd::detected());
        QTest::newRow("unset") << QByteArray() << detected << false;
        QTest::newRow("1") << QByteArray("1") << int(simd::Level::Portable) << false;
        QTest::newRow("vector128")
            << QByteArray("vector128") << std::min(detected, int(simd::Level::Vector128)) << false;
        QTest::newRow("0") << QByteArray("0") << detected << false;
        QTest::newRow("not understood") << QByteArray("yes") << int(simd::Level::Portable) << true;
    }
    void environmentVariableCapsTheProcess() {
        QFETCH(QByteArray, value);
        QFETCH(int, expected);
        QFETCH(bool, warns);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("MIREVA_PORTABLE_SIMD");
        if (!value.isEmpty())
            environment.insert("MIREVA_PORTABLE_SIMD", QString::fromLatin1(value));
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {printLevelArgument});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);
        const QByteArray printed = child.readAllStandardOutput().trimmed();
        QCOMPARE(printed, QByteArray(simd::name(simd::Level(expected))));
        const QByteArray errors = child.readAllStandardError();
        QCOMPARE(errors.contains("MIREVA_PORTABLE_SIMD=yes is not understood"), warns);
    }
};

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], printLevelArgument) == 0) {
        std::printf("%s\n", simd::name(simd::active()));
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestSimd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_simd.moc"
