#include "mosaic/phasecorrelator.h"

#include "shell/simd.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>

void PhaseCorrelator::prepare(const cv::Mat &source, cv::Mat &target) {
    vectors = simd::use(simd::Level::Vector128);
    prepare(source, target, nullptr);
}

void PhaseCorrelator::prepare(const cv::Mat &source, cv::Mat &target, cv::Mat *windowed) {
    if (target.size() != source.size())
        target.create(source.size(), CV_32FC1);
    cv::cvtColor(source, grey, cv::COLOR_RGB2GRAY);
    // The float image holds the grey bytes exactly, so their statistics are the same numbers;
    // taking them from the bytes costs a twentieth.
    cv::Scalar mean, stdDev;
    cv::meanStdDev(grey, mean, stdDev);
    // Centred and scaled in one pass, rounded as subtracting the mean and dividing by the
    // deviation as whole-image operations would (a float difference times the float inverse),
    // and, for registration, multiplied by the window on the way.
    const float centre = float(mean[0]);
    const float scale = stdDev[0] > 0 ? float(1. / stdDev[0]) : 1.f;
    for (int y = 0; y < source.rows; ++y) {
        const uchar *in = grey.ptr<uchar>(y);
        float *out = target.ptr<float>(y);
        const float *weights = windowed ? window.ptr<float>(y) : nullptr;
        float *outWindowed = windowed ? windowed->ptr<float>(y) : nullptr;
        int x = 0;
#if CV_SIMD128
        if (vectors) {
            using namespace cv;
            const v_float32x4 c = v_setall_f32(centre), k = v_setall_f32(scale);
            for (; x + 16 <= source.cols; x += 16) {
                v_uint16x8 wide[2];
                v_expand(v_load(in + x), wide[0], wide[1]);
                for (int half = 0; half < 2; ++half) {
                    v_uint32x4 wider[2];
                    v_expand(wide[half], wider[0], wider[1]);
                    for (int quarter = 0; quarter < 2; ++quarter) {
                        const int at = x + 8 * half + 4 * quarter;
                        const v_float32x4 value =
                            (v_cvt_f32(v_reinterpret_as_s32(wider[quarter])) - c) * k;
                        v_store(out + at, value);
                        if (weights)
                            v_store(outWindowed + at, v_load(weights + at) * value);
                    }
                }
            }
        }
#endif
        for (; x < source.cols; ++x) {
            out[x] = (float(in[x]) - centre) * scale;
            if (weights)
                outWindowed[x] = weights[x] * out[x];
        }
    }
}

void PhaseCorrelator::makeBuffers(cv::Size size) {
    cv::createHanningWindow(window, size, CV_32F);
    const int rows = cv::getOptimalDFTSize(size.height);
    const int cols = cv::getOptimalDFTSize(size.width);
    // Only the top left is written from here on: the padding stays zero.
    padded1 = cv::Mat::zeros(rows, cols, CV_32FC1);
    padded2 = cv::Mat::zeros(rows, cols, CV_32FC1);
    spectrum1.create(rows, cols, CV_32FC1);
    spectrum2.create(rows, cols, CV_32FC1);
    crossPower.create(rows, cols, CV_32FC1);
    // The plans cv::dft would make for these calls, made once.
    forward = cv::hal::DFT2D::create(cols, rows, CV_32F, 1, 1,
                                     CV_HAL_DFT_REAL_OUTPUT | CV_HAL_DFT_IS_CONTINUOUS);
    inverse = cv::hal::DFT2D::create(cols, rows, CV_32F, 1, 1,
                                     CV_HAL_DFT_INVERSE | CV_HAL_DFT_IS_CONTINUOUS |
                                         CV_HAL_DFT_IS_INPLACE);
}

PhaseCorrelator::Result PhaseCorrelator::correlate(const cv::Mat &current, const cv::Mat &reference,
                                                   const cv::Mat &mask) {
    vectors = simd::use(simd::Level::Vector128);
    if (window.size() != current.size())
        makeBuffers(current.size());
    // The confidence below needs the prepared images without the window, so the windowed
    // versions go straight into the transform buffers.
    const cv::Rect frame(0, 0, current.cols, current.rows);
    cv::Mat windowed1 = padded1(frame);
    cv::Mat windowed2 = padded2(frame);
    prepare(current, prepared1, &windowed1);
    prepare(reference, prepared2, &windowed2);
    double response = 0.;
    const cv::Point2d shift = phaseCorrelateWindowed(&response);

    const int xi = int(std::rint(shift.x));
    const int yi = int(std::rint(shift.y));
    const double correlation = overlapCorrelation(xi, yi, mask);
    const double confidence = std::pow(std::max(response, 0.), 0.15) * std::max(correlation, 0.);
    return {shift.x, shift.y, confidence};
}

namespace {

// The normalised cross-power spectrum of two packed (CCS) spectra: each element of a times the
// conjugate of b's (products summed in double, as mulSpectrums does), divided by its magnitude
// (rounded as phaseCorrelate does), so that the shifts come out the same to the last bit.
void normalisedCrossPower(const cv::Mat &a, const cv::Mat &b, cv::Mat &out,
                          [[maybe_unused]] bool vectors) {
    const float eps = FLT_EPSILON;
    const int rows = out.rows;
    const int cols = out.cols;
    const size_t step = out.step1();
    const float *dataA = a.ptr<float>();
    const float *dataB = b.ptr<float>();
    float *data = out.ptr<float>();

    // The first column, and the last one for an even width, pack a real DC / Nyquist value at
    // the top (and bottom, for an even height) and complex values in pairs of rows between.
    for (int c : {0, cols - 1}) {
        if (c == cols - 1 && (cols % 2 != 0 || cols == 1))
            break;
        const auto real = [&](int row) {
            const size_t at = row * step + c;
            const float v = dataA[at] * dataB[at];
            data[at] = v / (std::abs(v) + eps);
        };
        real(0);
        if (rows % 2 == 0)
            real(rows - 1);
        for (int j = 1; j <= rows - 2; j += 2) {
            const size_t at = j * step + c;
            const size_t next = at + step;
            const float re =
                float(double(dataA[at]) * dataB[at] + double(dataA[next]) * dataB[next]);
            const float im =
                float(double(dataA[next]) * dataB[at] - double(dataA[at]) * dataB[next]);
            const float m = float(std::sqrt(double(re) * re + double(im) * im));
            const double denominator = double(m) * m + double(eps);
            data[at] = float(double(re) * m / denominator);
            data[next] = float(double(im) * m / denominator);
        }
    }
    // Everything else: complex pairs along the rows.
    const int pairsEnd = cols - (cols % 2 == 0 ? 1 : 0);
    for (int row = 0; row < rows; ++row) {
        const float *pa = dataA + row * step;
        const float *pb = dataB + row * step;
        float *p = data + row * step;
        int j = 1;
#if CV_SIMD128_64F
        if (vectors) {
            // Four pairs at a time; the same operations on the same types as below.
            using namespace cv;
            const v_float32x4 epsilon = v_setall_f32(eps);
            for (; j + 8 <= pairsEnd; j += 8) {
                v_float32x4 aRe, aIm, bRe, bIm;
                v_load_deinterleave(pa + j, aRe, aIm);
                v_load_deinterleave(pb + j, bRe, bIm);
                const v_float64x2 aReLow = v_cvt_f64(aRe), aReHigh = v_cvt_f64_high(aRe);
                const v_float64x2 aImLow = v_cvt_f64(aIm), aImHigh = v_cvt_f64_high(aIm);
                const v_float64x2 bReLow = v_cvt_f64(bRe), bReHigh = v_cvt_f64_high(bRe);
                const v_float64x2 bImLow = v_cvt_f64(bIm), bImHigh = v_cvt_f64_high(bIm);
                const v_float32x4 re = v_cvt_f32(aReLow * bReLow + aImLow * bImLow,
                                                 aReHigh * bReHigh + aImHigh * bImHigh);
                const v_float32x4 im = v_cvt_f32(aImLow * bReLow - aReLow * bImLow,
                                                 aImHigh * bReHigh - aReHigh * bImHigh);
                const v_float64x2 reLow = v_cvt_f64(re), reHigh = v_cvt_f64_high(re);
                const v_float64x2 imLow = v_cvt_f64(im), imHigh = v_cvt_f64_high(im);
                const v_float32x4 m = v_cvt_f32(v_sqrt(reLow * reLow + imLow * imLow),
                                                v_sqrt(reHigh * reHigh + imHigh * imHigh));
                const v_float32x4 denominator = m * m + epsilon;
                v_store_interleave(p + j, (re * m) / denominator, (im * m) / denominator);
            }
        }
#endif
        for (; j < pairsEnd; j += 2) {
            const float re = float(double(pa[j]) * pb[j] + double(pa[j + 1]) * pb[j + 1]);
            const float im = float(double(pa[j + 1]) * pb[j] - double(pa[j]) * pb[j + 1]);
            const float m = float(std::sqrt(double(re) * re + double(im) * im));
            const float denominator = m * m + eps;
            p[j] = (re * m) / denominator;
            p[j + 1] = (im * m) / denominator;
        }
    }
}

} // namespace

cv::Point2d PhaseCorrelator::phaseCorrelateWindowed(double *response) {
    forward->apply(padded1.data, padded1.step, spectrum1.data, spectrum1.step);
    forward->apply(padded2.data, padded2.step, spectrum2.data, spectrum2.step);
    normalisedCrossPower(spectrum1, spectrum2, crossPower, vectors);
    inverse->apply(crossPower.data, crossPower.step, crossPower.data, crossPower.step);

    // The surface is read as if shifted circularly by half its size, rounded down, so that zero
    // shift sits at (cols / 2, rows / 2): shifted row y is stored row (y + rows - rows / 2) %
    // rows, and columns likewise.
    const int rows = crossPower.rows;
    const int cols = crossPower.cols;
    const int lowerCols = cols / 2;
    const int upperCols =
        cols - lowerCols; // shifted column x < lowerCols is stored at x + upperCols
    const auto storedRow = [&](int y) {
        return crossPower.ptr<float>((y + rows - rows / 2) % rows);
    };
    const auto storedCol = [&](int x) {
        return x < lowerCols ? x + upperCols : x - lowerCols;
    };

    // The peak: the highest value and, of equal ones, the first in the shifted surface's row
    // order, as a search of the shifted surface would find it.
    rowMaxima.resize(size_t(rows));
    for (int y = 0; y < rows; ++y) {
        const float *row = crossPower.ptr<float>(y);
        int x = 0;
        float best = row[0];
#if CV_SIMD128
        if (vectors && cols >= 4) {
            using namespace cv;
            v_float32x4 high = v_load(row);
            for (x = 4; x + 4 <= cols; x += 4)
                high = v_max(high, v_load(row + x));
            best = v_reduce_max(high);
        }
#endif
        for (; x < cols; ++x)
            best = std::max(best, row[x]);
        rowMaxima[size_t(y)] = best;
    }
    const float highest = *std::max_element(rowMaxima.begin(), rowMaxima.end());
    cv::Point peak(0, 0);
    for (int y = 0; y < rows; ++y) {
        const int stored = (y + rows - rows / 2) % rows;
        if (rowMaxima[size_t(stored)] != highest)
            continue;
        const float *row = crossPower.ptr<float>(stored);
        const float *found = std::find(row + upperCols, row + cols, highest);
        peak = found != row + cols
                   ? cv::Point(int(found - row) - upperCols, y)
                   : cv::Point(int(std::find(row, row + upperCols, highest) - row) + lowerCols, y);
        break;
    }

    // Sub-pixel peak: the centroid of the 5 x 5 neighbourhood, cut at the surface's edges.
    const int top = std::max(peak.y - 2, 0);
    const int bottom = std::min(peak.y + 2, rows - 1);
    const int left = std::max(peak.x - 2, 0);
    const int right = std::min(peak.x + 2, cols - 1);
    double sx = 0.;
    double sy = 0.;
    double sum = 0.;
    for (int y = top; y <= bottom; ++y) {
        const float *row = storedRow(y);
        for (int x = left; x <= right; ++x) {
            const float value = row[storedCol(x)];
            sx += double(x) * value;
            sy += double(y) * value;
            sum += double(value);
        }
    }
    // A perfect match peaks at rows x cols (a little more by rounding).
    *response = sum / (rows * cols);
    sum += DBL_EPSILON;
    return {cols / 2.0 - sx / sum, rows / 2.0 - sy / sum};
}

double PhaseCorrelator::overlapCorrelation(int xi, int yi, const cv::Mat &mask) {
    const int w = prepared1.cols - std::abs(xi);
    const int h = prepared1.rows - std::abs(yi);
    if (std::min(w, h) <= 0)
        return 0.;
    const cv::Mat a = prepared1(cv::Rect(std::max(-xi, 0), std::max(-yi, 0), w, h));
    const cv::Mat b = prepared2(cv::Rect(std::max(xi, 0), std::max(yi, 0), w, h));
    const cv::Mat m = mask(cv::Rect(std::max(xi, 0), std::max(yi, 0), w, h));

    // Both overlaps, zero outside the mask, are blurred with a normalised 3 x 3 box whose
    // border reflects inside the overlap (without repeating the edge), and correlated, in one
    // pass: each row's horizontal sums of three (in float, as the blurred values are) are kept
    // for the three output rows that use them, and the blurred values go straight into sums of
    // products kept in double.
    const auto reflect = [](int i, int n) {
        return n == 1 ? 0 : i < 0 ? -i : i >= n ? 2 * n - 2 - i : i;
    };
    const size_t stride = size_t(w) + 2;
    rowBuffers.resize(8 * stride); // two masked rows with their borders, three rows of sums each
    float *maskedA = rowBuffers.data();
    float *maskedB = maskedA + stride;
    int rowOf[3] = {-1, -1, -1};
    const auto sumsOf = [&](int row) -> const float * {
        float *sums = rowBuffers.data() + (2 + 2 * size_t(row % 3)) * stride;
        if (rowOf[row % 3] == row)
            return sums;
        rowOf[row % 3] = row;
        const float *pa = a.ptr<float>(row);
        const float *pb = b.ptr<float>(row);
        const uchar *pm = m.ptr<uchar>(row);
        int x = 0;
#if CV_SIMD128
        if (vectors) {
            using namespace cv;
            const v_float32x4 zero = v_setzero_f32();
            for (; x + 16 <= w; x += 16) {
                v_uint16x8 m16[2];
                v_expand(v_load(pm + x), m16[0], m16[1]);
                for (int half = 0; half < 2; ++half) {
                    v_uint32x4 m32[2];
                    v_expand(m16[half], m32[0], m32[1]);
                    for (int quarter = 0; quarter < 2; ++quarter) {
                        const int at = x + 8 * half + 4 * quarter;
                        const v_float32x4 keep =
                            v_reinterpret_as_f32(m32[quarter] != v_setzero_u32());
                        v_store(maskedA + at + 1, v_select(keep, v_load(pa + at), zero));
                        v_store(maskedB + at + 1, v_select(keep, v_load(pb + at), zero));
                    }
                }
            }
        }
#endif
        for (; x < w; ++x) {
            maskedA[x + 1] = pm[x] ? pa[x] : 0.f;
            maskedB[x + 1] = pm[x] ? pb[x] : 0.f;
        }
        maskedA[0] = maskedA[reflect(-1, w) + 1];
        maskedB[0] = maskedB[reflect(-1, w) + 1];
        maskedA[w + 1] = maskedA[reflect(w, w) + 1];
        maskedB[w + 1] = maskedB[reflect(w, w) + 1];
        float *sumsA = sums;
        float *sumsB = sums + stride;
        x = 0;
#if CV_SIMD128
        for (; vectors && x + 4 <= w; x += 4) {
            using namespace cv;
            v_store(sumsA + x,
                    v_load(maskedA + x) + v_load(maskedA + x + 1) + v_load(maskedA + x + 2));
            v_store(sumsB + x,
                    v_load(maskedB + x) + v_load(maskedB + x + 1) + v_load(maskedB + x + 2));
        }
#endif
        for (; x < w; ++x) {
            sumsA[x] = maskedA[x] + maskedA[x + 1] + maskedA[x + 2];
            sumsB[x] = maskedB[x] + maskedB[x + 1] + maskedB[x + 2];
        }
        return sums;
    };

    const float ninth = 1.f / 9;
    double aa = 0.;
    double bb = 0.;
    double ab = 0.;
    for (int y = 0; y < h; ++y) {
        const float *above = sumsOf(reflect(y - 1, h));
        const float *here = sumsOf(y);
        const float *below = sumsOf(reflect(y + 1, h));
        int x = 0;
#if CV_SIMD128_64F
        if (vectors) {
            using namespace cv;
            const v_float32x4 scale = v_setall_f32(ninth);
            v_float64x2 sumAa = v_setzero_f64(), sumBb = v_setzero_f64(), sumAb = v_setzero_f64();
            for (; x + 4 <= w; x += 4) {
                const v_float32x4 va =
                    (v_load(above + x) + v_load(here + x) + v_load(below + x)) * scale;
                const v_float32x4 vb = (v_load(above + stride + x) + v_load(here + stride + x) +
                                        v_load(below + stride + x)) *
                                       scale;
                const v_float64x2 aLow = v_cvt_f64(va), aHigh = v_cvt_f64_high(va);
                const v_float64x2 bLow = v_cvt_f64(vb), bHigh = v_cvt_f64_high(vb);
                sumAa += aLow * aLow + aHigh * aHigh;
                sumBb += bLow * bLow + bHigh * bHigh;
                sumAb += aLow * bLow + aHigh * bHigh;
            }
            aa += v_reduce_sum(sumAa);
            bb += v_reduce_sum(sumBb);
            ab += v_reduce_sum(sumAb);
        }
#endif
        for (; x < w; ++x) {
            const double va = (above[x] + here[x] + below[x]) * ninth;
            const double vb = (above[stride + x] + here[stride + x] + below[stride + x]) * ninth;
            aa += va * va;
            bb += vb * vb;
            ab += va * vb;
        }
    }
    const double normProduct = std::sqrt(aa) * std::sqrt(bb);
    if (std::abs(normProduct) < 0.00001)
        return 0.;
    return ab / normProduct;
}
