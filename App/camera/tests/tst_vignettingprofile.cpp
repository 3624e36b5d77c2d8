#include "camera/vignettingprofile.h"
#include "shell/simd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace {
// The correction through OpenCV's YUV, one pass per step: luma minus the profile, clamped, and
// back. It rounds the chroma on the way, and clips it for strongly saturated colours.
cv::Mat yuvCorrection(const cv::Mat &rgb, const cv::Mat &mask) {
    cv::Mat yuv;
    cv::cvtColor(rgb, yuv, cv::COLOR_RGB2YUV);
    cv::Mat luma;
    cv::extractChannel(yuv, luma, 0);
    cv::Mat corrected(luma.size(), CV_8U);
    for (int y = 0; y < luma.rows; ++y)
        for (int x = 0; x < luma.cols; ++x)
            corrected.at<uchar>(y, x) =
                cv::saturate_cast<uchar>(int(luma.at<uchar>(y, x)) - mask.at<short>(y, x));
    cv::insertChannel(corrected, yuv, 0);
    cv::Mat out;
    cv::cvtColor(yuv, out, cv::COLOR_YUV2RGB);
    return out;
}

// The correction written out per pixel: the luma Y of RGB to YUV moves to clamp(Y - profile)
// and every channel moves with it, clamped to 0-255.
cv::Mat formulaCorrection(const cv::Mat &rgb, const cv::Mat &mask) {
    cv::Mat out = rgb.clone();
    for (int y = 0; y < rgb.rows; ++y)
        for (int x = 0; x < rgb.cols; ++x) {
            cv::Vec3b &p = out.at<cv::Vec3b>(y, x);
            const int luma = (4899 * p[0] + 9617 * p[1] + 1868 * p[2] + 8192) >> 14;
            const int moved = std::clamp(luma - int(mask.at<short>(y, x)), 0, 255);
            for (int c = 0; c < 3; ++c)
                p[c] = cv::saturate_cast<uchar>(p[c] + moved - luma);
        }
    return out;
}

void writeProfile(const QString &path, const cv::Mat &mask) {
    cv::FileStorage storage(path.toStdString(),
                            cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
    storage << "mask" << mask;
}

cv::Mat uniform(cv::Size size, int level) {
    return cv::Mat(size, CV_8UC3, cv::Scalar::all(level));
}
} // namespace

class TestVignettingProfile : public QObject {
    Q_OBJECT
private slots:
    void init() { QVERIFY(dir.isValid()); }

    void missingFileMeansNoProfile() {
        VignettingProfile profile(dir.filePath("absent.xml"));
        QVERIFY(profile.profile().empty());
    }

    void defaultFileIsInLocalDataFolder() {
        QStandardPaths::setTestModeEnabled(true);
        VignettingProfile profile;
        QCOMPARE(profile.filePath(),
                 QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
                     .filePath("vignetting_profile.xml"));
        QVERIFY(QDir(QFileInfo(profile.filePath()).path()).exists());
    }

    void damagedFileMeansNoProfile() {
        const QString path = dir.filePath("damaged.xml");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "<?xml version=\"1.0\"?>\n<opencv_storage><mask type_id=\"opencv-matrix\"><rows>");
        file.close();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Failed to load vignetting profile"));
        VignettingProfile profile(path);
        QVERIFY(profile.profile().empty());
    }

    void correctsGreyLevels_data() {
        QTest::addColumn<int>("luma");
        QTest::addColumn<int>("storedProfile");
        QTest::addColumn<int>("expected");
        // The file holds the profile at full strength; loading halves it.
        QTest::newRow("dark pixel clamps at 0") << 10 << 60 << 0;
        QTest::newRow("bright pixel clamps at 255") << 250 << -40 << 255;
        QTest::newRow("brighter optics darken") << 128 << 10 << 123;
        QTest::newRow("darker optics brighten") << 100 << -30 << 115;
        QTest::newRow("flat optics keep the value") << 77 << 0 << 77;
    }
    void correctsGreyLevels() {
        QFETCH(int, luma);
        QFETCH(int, storedProfile);
        QFETCH(int, expected);
        const QString path = dir.filePath("grey.xml");
        writeProfile(path, cv::Mat(6, 8, CV_16S, cv::Scalar(storedProfile)));
        VignettingProfile profile(path);
        cv::Mat frame = uniform({8, 6}, luma);
        profile.apply(frame);
        QCOMPARE(cv::norm(frame, uniform({8, 6}, expected), cv::NORM_INF), 0.);
    }

    void correctionMatchesFormula_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("range"); // stored profile values within -range..range
        QTest::addColumn<simd::Level>("level");
        for (const simd::Level level :
             {simd::Level::Portable, simd::Level::Vector128, simd::Level::Avx2}) {
            if (level > simd::active())
                continue;
            // Up to 127 the correction works on bytes, beyond on 16-bit values.
            for (const int range : {254, 300}) {
                QTest::addRow("tiny, %d, %s", range, simd::name(level))
                    << QSize(3, 2) << range << level;
                QTest::addRow("odd, %d, %s", range, simd::name(level))
                    << QSize(131, 97) << range << level;
            }
            QTest::addRow("camera, %s", simd::name(level)) << QSize(2464, 2056) << 80 << level;
        }
    }
    void correctionMatchesFormula() {
        QFETCH(QSize, size);
        QFETCH(int, range);
        QFETCH(simd::Level, level);
        const simd::ScopedLimit limit(level);
        cv::RNG rng(size.width() * 31 + size.height());
        cv::Mat mask(size.height(), size.width(), CV_16S);
        rng.fill(mask, cv::RNG::UNIFORM, -range, range + 1);
        // The extremes, which decide between bytes and 16-bit values.
        mask.at<short>(0, 0) = short(range);
        mask.at<short>(size.height() - 1, size.width() - 1) = short(-range);
        const QString path = dir.filePath("random.xml");
        writeProfile(path, mask);
        VignettingProfile profile(path);
        cv::Mat frame(size.height(), size.width(), CV_8UC3);
        rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
        const cv::Mat original = frame.clone();
        profile.apply(frame);
        QCOMPARE(cv::norm(frame, formulaCorrection(original, profile.profile()), cv::NORM_INF), 0.);

        // Within a level of the correction through YUV, wherever YUV holds the pixel's chroma
        // (its own round trip keeps it within a level).
        const cv::Mat throughYuv = yuvCorrection(original, profile.profile());
        const cv::Mat roundTrip = yuvCorrection(original, cv::Mat::zeros(mask.size(), CV_16S));
        // Largest channel difference per pixel.
        const auto largest = [](const cv::Mat &a, const cv::Mat &b) {
            cv::Mat difference, perPixel;
            cv::absdiff(a, b, difference);
            cv::reduce(difference.reshape(1, int(a.total())), perPixel, 1, cv::REDUCE_MAX);
            return perPixel;
        };
        const cv::Mat held = largest(roundTrip, original) <= 1;
        const int compared = cv::countNonZero(held);
        double worst = 0.;
        cv::minMaxLoc(largest(frame, throughYuv), nullptr, &worst, nullptr, nullptr, held);
        QVERIFY2(worst <= 1, qPrintable(QString::number(worst)));
        QVERIFY(compared > int(frame.total()) / 2);
    }

    // A saturated colour keeps its colour where the profile is flat, and moves only its
    // brightness elsewhere; through YUV it would lose its chroma.
    void saturatedColoursKeepTheirChroma() {
        const QString path = dir.filePath("flat.xml");
        cv::Mat stored(1, 3, CV_16S, cv::Scalar(0));
        stored.at<short>(0, 1) = 40; // loads as 20
        stored.at<short>(0, 2) = -40;
        writeProfile(path, stored);
        VignettingProfile profile(path);
        cv::Mat frame(1, 3, CV_8UC3, cv::Scalar(255, 0, 0));
        profile.apply(frame);
        QCOMPARE(frame.at<cv::Vec3b>(0, 0), cv::Vec3b(255, 0, 0));
        QCOMPARE(frame.at<cv::Vec3b>(0, 1), cv::Vec3b(235, 0, 0));
        QCOMPARE(frame.at<cv::Vec3b>(0, 2), cv::Vec3b(255, 20, 20));
    }

    void correctionRefusesAFrameOfAnotherSize() {
        const QString path = dir.filePath("small.xml");
        writeProfile(path, cv::Mat(6, 8, CV_16S, cv::Scalar(10)));
        VignettingProfile profile(path);
        cv::Mat frame = uniform({16, 12}, 100);
        QVERIFY_THROWS_EXCEPTION(cv::Exception, profile.apply(frame));
        QCOMPARE(cv::norm(frame, uniform({16, 12}, 100), cv::NORM_INF), 0.);
    }

    void kernelIsAnEighthOfTheFrameMadeOdd_data() {
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QSize>("kernel");
        QTest::newRow("2048x1536") << QSize(2048, 1536) << QSize(257, 193);
        QTest::newRow("2464x2056") << QSize(2464, 2056) << QSize(309, 257);
        QTest::newRow("odd eighths") << QSize(24, 40) << QSize(3, 5);
        QTest::newRow("smaller than 8") << QSize(7, 5) << QSize(1, 1);
    }
    void kernelIsAnEighthOfTheFrameMadeOdd() {
        QFETCH(QSize, frame);
        QFETCH(QSize, kernel);
        const cv::Size result =
            VignettingProfile::blurKernelSize(cv::Size(frame.width(), frame.height()));
        QCOMPARE(QSize(result.width, result.height), kernel);
    }

    void stillCameraOnlyCreeps() {
        VignettingProfile profile(dir.filePath("still.xml"));
        profile.startGeneration({16, 12});
        for (int i = 0; i < 5; ++i)
            profile.addFrame(uniform({16, 12}, 90));
        QCOMPARE(profile.progress(), 0.);
        profile.addFrame(uniform({16, 12}, 92));
        // One step of 2 grey levels in every channel: a weight of 4.
        QCOMPARE(profile.progress(), 4. / VignettingProfile::completeWeight);
        QVERIFY(!profile.isComplete());
    }

    void generationMatchesFormulaAndReloadsAtHalfStrength() {
        // Frames that swap a bright and a dark half: their weighted mean luma is the profile.
        const cv::Size size(48, 40);
        cv::Mat left = uniform(size, 40);
        left(cv::Rect(0, 0, 24, 40)).setTo(cv::Scalar::all(240));
        cv::Mat right = uniform(size, 40);
        right(cv::Rect(24, 0, 24, 40)).setTo(cv::Scalar::all(200));
        const std::vector<cv::Mat> frames{left, right, left, right, left, right, left};

        const QString path = dir.filePath("generated.xml");
        VignettingProfile profile(path);
        profile.startGeneration(size);
        cv::Mat accumulator = cv::Mat::zeros(size, CV_32F);
        double total = 0.;
        int added = 0;
        for (std::size_t i = 0; i < frames.size() && !profile.isComplete(); ++i) {
            profile.addFrame(frames[i]);
            ++added;
            if (i > 0) {
                cv::Mat a, b;
                frames[i].convertTo(a, CV_32FC3);
                frames[i - 1].convertTo(b, CV_32FC3);
                const cv::Scalar m = cv::mean((a - b).mul(a - b));
                const double weight = (m[0] + m[1] + m[2]) / 3.;
                cv::Mat yuv, luma;
                cv::cvtColor(a, yuv, cv::COLOR_RGB2YUV);
                cv::extractChannel(yuv, luma, 0);
                accumulator += luma * weight;
                total += weight;
            }
            QCOMPARE(profile.progress(), total / VignettingProfile::completeWeight);
        }
        QVERIFY(profile.isComplete());
        QVERIFY(added < int(frames.size()));

        cv::Mat expected = accumulator / total;
        expected -= cv::mean(expected)[0];
        cv::GaussianBlur(expected, expected, cv::Size(7, 5), 0, 0, cv::BORDER_REFLECT_101);
        expected.convertTo(expected, CV_16S);

        const cv::Mat previous = profile.profile();
        profile.finishGeneration();
        QCOMPARE(profile.profile().type(), CV_16S);
        QVERIFY(previous.empty());
        QCOMPARE(cv::norm(profile.profile(), expected, cv::NORM_INF), 0.);
        // The bright half is above the average, the dark half below.
        QVERIFY(profile.profile().at<short>(20, 2) > 0);
        QVERIFY(profile.profile().at<short>(20, 45) < 0);

        cv::FileStorage storage(path.toStdString(), cv::FileStorage::READ);
        cv::Mat stored;
        storage["mask"] >> stored;
        QCOMPARE(cv::norm(stored, expected, cv::NORM_INF), 0.);

        VignettingProfile reloaded(path);
        cv::Mat half;
        expected.convertTo(half, CV_16S, 0.5);
        QCOMPARE(cv::norm(reloaded.profile(), half, cv::NORM_INF), 0.);
        // Right after generation a pixel is corrected by the full value, after a restart by half.
        cv::Mat now = uniform(size, 128), later = uniform(size, 128);
        profile.apply(now);
        reloaded.apply(later);
        const int full = 128 - now.at<cv::Vec3b>(20, 2)[0];
        const int halved = 128 - later.at<cv::Vec3b>(20, 2)[0];
        QVERIFY(full > 4);
        QVERIFY(qAbs(full - 2 * halved) <= 1);
    }

    void restartedGenerationStartsFromZero() {
        VignettingProfile profile(dir.filePath("restart.xml"));
        profile.startGeneration({8, 6});
        profile.addFrame(uniform({8, 6}, 0));
        profile.addFrame(uniform({8, 6}, 100));
        QVERIFY(profile.progress() > 0.);
        profile.startGeneration({8, 6});
        QCOMPARE(profile.progress(), 0.);
        // The first frame after a start is only the reference.
        profile.addFrame(uniform({8, 6}, 255));
        QCOMPARE(profile.progress(), 0.);
    }

private:
    QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(TestVignettingProfile)
#include "tst_vignettingprofile.moc"
