#include "tourrun.h"

#include <QTest>

namespace {
void log(const tourrun::Figures &figures) {
    qInfo("frames %d, accepted %d, out of sync %d, step error RMS %.3f max %.3f px, drift RMS "
          "%.3f max %.3f px",
          figures.frames, figures.accepted, figures.outOfSync, figures.stepRms, figures.stepMax,
          figures.driftRms, figures.driftMax);
}
} // namespace

// The live builder over a 300-frame tour of a simulated slide with known positions.
class TestSmallBuilderTour : public QObject {
    Q_OBJECT

private slots:
    void tourAccuracy_data();
    void tourAccuracy();
    void simulatedMicroscopeTour();
};

void TestSmallBuilderTour::tourAccuracy_data() {
    QTest::addColumn<cv::Size>("frameSize");
    QTest::newRow("768x640 preview") << cv::Size(768, 640);
    QTest::newRow("odd 701x517 preview") << cv::Size(701, 517);
}

void TestSmallBuilderTour::tourAccuracy() {
    QFETCH(cv::Size, frameSize);
    const cv::Mat texture = slidetexture::make({3000, 2200}, 5);
    const auto truth = slidetexture::tour(300, texture.size(), frameSize, 11);
    const tourrun::Figures figures = tourrun::run(texture, truth, frameSize);
    log(figures);
    QCOMPARE(figures.frames, 300);
    QVERIFY(figures.accepted > 250);
    QCOMPARE(figures.outOfSync, 0);
    QVERIFY(figures.stepRms <= 0.5);
    QVERIFY(figures.stepMax <= 2.0);
    // Drift accumulates slowly; a few pixels over 300 frames is what a user would notice.
    QVERIFY(figures.driftMax <= 5.0);
}

void TestSmallBuilderTour::simulatedMicroscopeTour() {
#ifdef MIREVA_HAVE_VMBSIM
    const tourrun::Tour tour = tourrun::simulatedMicroscopeTour();
    const tourrun::Figures figures = tourrun::runFrames(tour.previews, tour.truth);
    log(figures);
    QVERIFY(figures.accepted > 150); // the hand pauses: still frames add nothing
    QVERIFY(figures.outOfSync <= 3);
    QVERIFY(figures.stepRms <= 0.5);
    QVERIFY(figures.stepMax <= 2.0);
#else
    QSKIP("The simulated microscope is not part of this build");
#endif
}

QTEST_GUILESS_MAIN(TestSmallBuilderTour)
#include "tst_smallbuilder_tour.moc"
