#include "tourrun.h"

#include <QTest>

#ifdef MIREVA_HAVE_VMBSIM
#include "renderer.h"
#include "simconfig.h"
#include "slide.h"
#include "stage.h"

#include <opencv2/imgproc.hpp>

#include <memory>
#endif

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

void TestSmallBuilderTour::simulatedMicroscopeTour() {
#ifdef MIREVA_HAVE_VMBSIM
    using namespace vmbsim;
    // The simulator's default camera and tour (pauses, tremor, focus drift), previews scaled to
    // 768 x 576 as the camera worker does; the stage's positions are the truth.
    const cv::Size sensor(1280, 960);
    const cv::Size preview(768, 576);
    const double previewScale = double(preview.width) / sensor.width;
    Slide slide(SlideConfig{});
    const OpticsConfig optics;
    const std::unique_ptr<Stage> stage =
        Stage::create(StageConfig{}, slide.widthPx(), slide.heightPx(), sensor.width, sensor.height,
                      optics.maxDefocusPx);
    Renderer renderer(optics, slide);
    std::vector<cv::Mat> previews;
    std::vector<cv::Point2d> truth;
    cv::Mat frame(sensor, CV_8UC3);
    for (int k = 0; k < 300; ++k) {
        const Pose pose = stage->at(k / 25.0);
        renderer.render(pose, Exposure{}, sensor.width, sensor.height, false, frame.data,
                        frame.step);
        cv::Mat small;
        cv::resize(frame, small, preview, 0, 0, cv::INTER_AREA);
        previews.push_back(small);
        truth.emplace_back(pose.x * previewScale, pose.y * previewScale);
    }
    const tourrun::Figures figures = tourrun::runFrames(previews, truth);
    qInfo("frames %d, accepted %d, out of sync %d, step error RMS %.3f max %.3f px, drift RMS "
          "%.3f max %.3f px",
          figures.frames, figures.accepted, figures.outOfSync, figures.stepRms, figures.stepMax,
          figures.driftRms, figures.driftMax);
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
