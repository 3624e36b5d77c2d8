#pragma once

#include "mosaic/fftplans.h"
#include "shell/simd.h"

#include <opencv2/core.hpp>

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
        double response = 0.; // the correlation peak's height, about 1 for a perfect match
    };

    // Shift (x, y) such that current pixel (u, v) shows what reference pixel (u + x, v + y)
    // shows, with a confidence in [0, 1] computed only where mask is non-zero. current and
    // reference are 8-bit RGB of one size; mask is 8-bit of that size.
    Result correlate(const cv::Mat &current, const cv::Mat &reference, const cv::Mat &mask);
    // The shift and the peak response alone (confidence 0): the part of correlate() that works
    // in the frequency domain.
    Result estimateShift(const cv::Mat &current, const cv::Mat &reference);

    // Grey, zero-mean, unit-variance float version of an RGB image.
    void prepare(const cv::Mat &source, cv::Mat &target);

    // The prepared images of the last correlate(), exactly as prepare() left them.
    const cv::Mat &preparedCurrent() const { return prepared1; }
    const cv::Mat &preparedReference() const { return prepared2; }

private:
    // prepare(), also writing the prepared image times the window into windowed if given.
    void prepare(const cv::Mat &source, cv::Mat &target, cv::Mat *windowed);
    void makeBuffers(cv::Size size);
    // The peak of the normalised cross-power spectrum of the windowed images in padded1 and
    // padded2, as phaseCorrelate finds it: the shift, and the peak's response.
    cv::Point2d phaseCorrelateWindowed(double *response);
    double overlapCorrelation(int xi, int yi, const cv::Mat &mask);

    cv::Mat grey;      // scratch for the grey image
    cv::Mat window;    // Hanning window, 32-bit float; its size is the one the buffers are for
    cv::Mat prepared1; // current, prepared
    cv::Mat prepared2; // reference, prepared

    // The windowed images at the top left of zero-padded, fast transform sizes (the sizes
    // phaseCorrelate pads to), their half spectra, and the correlation surface. The headers
    // show the aligned arrays the transforms run on.
    fftplans::AlignedFloats paddedData1, paddedData2, spectrumData1, spectrumData2, surfaceData;
    cv::Mat padded1, padded2, surface;
    cv::Size spectrumSize; // complex values: padded columns / 2 + 1, padded rows
    fftplans::Plans plans;
    bool plansWithVectors = false;
    std::vector<float> rowMaxima; // of the correlation surface

    std::vector<float> rowBuffers; // masked rows and three rows of box sums, per overlap
    bool vectors = false;          // whether this call may use 128-bit vector code
    simd::Level level = simd::Level::Portable; // what this call may use
};
