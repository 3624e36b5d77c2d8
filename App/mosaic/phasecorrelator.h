#pragma once

#include <opencv2/core.hpp>

// Registration workspace: estimates the translation of a frame against a reference and how far
// the estimate can be trusted. Its images are reused from frame to frame and reallocated only
// when the frame size changes.
class PhaseCorrelator {
public:
    struct Result {
        double x = 0.;
        double y = 0.;
        double confidence = 0.;
    };

    // Shift (x, y) such that current pixel (u, v) shows what reference pixel (u + x, v + y)
    // shows, with a confidence in [0, 1] computed only where mask is non-zero. current and
    // reference are 8-bit RGB of one size; mask is 8-bit of that size.
    Result correlate(const cv::Mat &current, const cv::Mat &reference, const cv::Mat &mask);

    // Grey, zero-mean, unit-variance float version of an RGB image.
    void prepare(const cv::Mat &source, cv::Mat &target);

    // The prepared images of the last correlate(), exactly as prepare() left them.
    const cv::Mat &preparedCurrent() const { return prepared1; }
    const cv::Mat &preparedReference() const { return prepared2; }

private:
    double overlapCorrelation(int xi, int yi, const cv::Mat &mask);

    cv::Mat grey;      // scratch; its size tells which frame size the window was made for
    cv::Mat window;    // Hanning window, frame size, 32-bit float
    cv::Mat prepared1; // current, prepared
    cv::Mat prepared2; // reference, prepared

    // Reused buffers around the correlation itself.
    cv::Mat windowed1, windowed2;
    cv::Mat overlapA, overlapB, blurredA, blurredB;
};
