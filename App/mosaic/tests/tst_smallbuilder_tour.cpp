#include "tourrun.h"

#include <QTest>

// The live builder over a 300-frame tour of a simulated slide with known positions.
class TestSmallBuilderTour : public QObject {
    Q_OBJECT

private slots:
    void tourAccuracy_data();
    void tourAccuracy();
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
    qInfo("frames %d, accepted %d, out of sync %d, step error RMS %.3f max %.3f px, drift RMS "
          "%.3f max %.3f px",
          figures.frames, figures.accepted, figures.outOfSync, figures.stepRms, figures.stepMax,
          figures.driftRms, figures.driftMax);
    QCOMPARE(figures.frames, 300);
    QVERIFY(figures.accepted > 250);
    QCOMPARE(figures.outOfSync, 0);
    QVERIFY(figures.stepRms <= 0.5);
    QVERIFY(figures.stepMax <= 2.0);
    // Drift accumulates slowly; a few pixels over 300 frames is what a user would notice.
    QVERIFY(figures.driftMax <= 5.0);
}

QTEST_GUILESS_MAIN(TestSmallBuilderTour)
#include "tst_smallbuilder_tour.moc"
