#pragma once

#include <opencv2/core.hpp>
#include <opencv2/core/hal/hal.hpp>

#include <vector>

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
    // prepare(), also writing the prepared image times the window into windowed if given.
    void prepare(const cv::Mat &source, cv::Mat &target, cv::Mat *windowed);
    void makeBuffers(cv::Size size);
    // The normalised cross-power spectrum's peak for the windowed images in padded1 and
    // padded2: the same arithmetic, step for step, as OpenCV's phaseCorrelate, on buffers and
    // transform plans that live as long as the frame size.
    cv::Point2d phaseCorrelateWindowed(double *response);
    double overlapCorrelation(int xi, int yi, const cv::Mat &mask);

    cv::Mat grey;      // scratch for the grey image
    cv::Mat window;    // Hanning window, 32-bit float; its size is the one the buffers are for
    cv::Mat prepared1; // current, prepared
    cv::Mat prepared2; // reference, prepared

    // The windowed images at the top left of zero-padded, fast transform sizes, their spectra,
    // the cross-power spectrum and, transformed back in place, the correlation surface.
    cv::Mat padded1, padded2, spectrum1, spectrum2, crossPower;
    std::vector<float> rowMaxima; // of the correlation surface
    cv::Ptr<cv::hal::DFT2D> forward, inverse;

    std::vector<float> rowBuffers; // masked rows and three rows of box sums, per overlap
    bool vectors = false;          // whether this call may use 128-bit vector code
};
