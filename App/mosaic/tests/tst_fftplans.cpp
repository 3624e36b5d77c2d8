#include "mosaic/fftplans.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

// The registration's FFT plans: made once per size, and what planning learnt is kept on disk so
// that the next start plans without measuring.
class TestFftPlans : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QVERIFY(dir.isValid());
        fftplans::forgetWisdom();
    }

    void wisdomOfANewSizeIsSavedAndReadBack() {
        const QString path = dir.filePath("cache/fftw_wisdom");
        fftplans::setWisdomPath(path);
        const cv::Size size(90, 70);
        QVERIFY(!fftplans::knowsSize(size, true));
        const fftplans::Plans plans = fftplans::plansFor(size, true);
        QVERIFY(plans.forward && plans.inverse);
        QVERIFY(QFile::exists(path));
        // Asked again, the same plans come back without planning.
        const fftplans::Plans again = fftplans::plansFor(size, true);
        QCOMPARE(again.forward, plans.forward);
        QCOMPARE(again.inverse, plans.inverse);

        // What the next start finds: only the file.
        fftplans::forgetWisdom();
        QVERIFY(fftplans::knowsSize(size, true));
        QVERIFY(!fftplans::knowsSize({91, 71}, true));
        // Plans without vector code are planned, and remembered, of their own.
        QVERIFY(!fftplans::knowsSize(size, false));
    }

    void damagedWisdomIsIgnoredAndReplaced() {
        const QString path = dir.filePath("damaged");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("(fftw-3.3.10 fftwf_wisdom #x0 this is not wisdom");
        file.close();
        fftplans::setWisdomPath(path);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Ignoring damaged FFT wisdom"));
        const cv::Size size(60, 44);
        QVERIFY(fftplans::plansFor(size, true).forward);
        fftplans::forgetWisdom();
        QVERIFY(fftplans::knowsSize(size, true));
    }

    void unwritableFolderOnlyWarns() {
        QFile blocker(dir.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        fftplans::setWisdomPath(dir.filePath("blocker/fftw_wisdom"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Cannot write FFT wisdom"));
        QVERIFY(fftplans::plansFor({52, 36}, true).forward);
    }

    // Correlators of several threads ask for plans at once.
    void planningFromManyThreads() {
        fftplans::setWisdomPath(dir.filePath("threads"));
        std::vector<std::thread> threads;
        std::vector<fftplans::Plans> found(8);
        for (int k = 0; k < 8; ++k)
            threads.emplace_back([k, &found] {
                found[size_t(k)] = fftplans::plansFor({40 + 2 * (k % 4), 30}, true);
            });
        for (auto &thread : threads)
            thread.join();
        for (int k = 0; k < 8; ++k) {
            QVERIFY(found[size_t(k)].forward && found[size_t(k)].inverse);
            QCOMPARE(found[size_t(k)].forward, found[size_t(k % 4)].forward);
        }
    }

private:
    QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(TestFftPlans)
#include "tst_fftplans.moc"
