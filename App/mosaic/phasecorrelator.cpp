#include "mosaic/phasecorrelator.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>

void PhaseCorrelator::prepare(const cv::Mat &source, cv::Mat &target) {
    if (target.size() != source.size())
        target.create(source.size(), CV_32FC1);
    cv::cvtColor(source, grey, cv::COLOR_RGB2GRAY);
    grey.convertTo(target, CV_32F, 1, 0);
    // The float image holds the grey bytes exactly, so their statistics are the same numbers;
    // taking them from the bytes costs a twentieth.
    cv::Scalar mean, stdDev;
    cv::meanStdDev(grey, mean, stdDev);
    target -= mean[0];
    if (stdDev[0] > 0)
        target /= stdDev[0];
}

PhaseCorrelator::Result PhaseCorrelator::correlate(const cv::Mat &current, const cv::Mat &reference,
                                                   const cv::Mat &mask) {
    // prepare() may have resized the scratch image on its own, so the window's size is checked too.
    if (grey.size() != current.size() || window.size() != current.size()) {
        grey.create(current.size(), CV_8UC1);
        cv::createHanningWindow(window, current.size(), CV_32F);
    }
    prepare(current, prepared1);
    prepare(reference, prepared2);

    // phaseCorrelate multiplies its inputs by the window in place when the size is already a
    // fast transform size; the confidence below needs the prepared images untouched, so the
    // window is applied here into separate buffers and none is passed on. The product is the
    // same one the function would compute, so the shift is unchanged.
    cv::multiply(window, prepared1, windowed1);
    cv::multiply(window, prepared2, windowed2);
    double response = 0.;
    const cv::Point2d shift = cv::phaseCorrelate(windowed1, windowed2, cv::noArray(), &response);

    const int xi = int(std::rint(shift.x));
    const int yi = int(std::rint(shift.y));
    const double correlation = overlapCorrelation(xi, yi, mask);
    const double confidence = std::pow(std::max(response, 0.), 0.15) * std::max(correlation, 0.);
    return {shift.x, shift.y, confidence};
}

double PhaseCorrelator::overlapCorrelation(int xi, int yi, const cv::Mat &mask) {
    const int w = prepared1.cols - std::abs(xi);
    const int h = prepared1.rows - std::abs(yi);
    if (std::min(w, h) <= 0)
        return 0.;
    const cv::Rect r1(std::max(-xi, 0), std::max(-yi, 0), w, h);
    const cv::Rect r2(std::max(xi, 0), std::max(yi, 0), w, h);
    overlapA.create(h, w, CV_32FC1);
    overlapB.create(h, w, CV_32FC1);
    overlapA.setTo(0);
    overlapB.setTo(0);
    const cv::Mat maskWindow = mask(r2);
    prepared1(r1).copyTo(overlapA, maskWindow);
    prepared2(r2).copyTo(overlapB, maskWindow);
    cv::blur(overlapA, blurredA, cv::Size(3, 3));
    cv::blur(overlapB, blurredB, cv::Size(3, 3));
    const double normProduct = cv::norm(blurredA) * cv::norm(blurredB);
    if (std::abs(normProduct) < 0.00001)
        return 0.;
    return blurredA.dot(blurredB) / normProduct;
}
