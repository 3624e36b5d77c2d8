#include "mosaic/phasecorrelator.h"

#include "shell/simd.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

void PhaseCorrelator::prepare(const cv::Mat &source, cv::Mat &target) {
    level = simd::active();
    vectors = level >= simd::Level::Vector128;
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
    // Padded as phaseCorrelate pads, so that the surface is the one it searches.
    const int rows = cv::getOptimalDFTSize(size.height);
    const int cols = cv::getOptimalDFTSize(size.width);
    const std::size_t reals = std::size_t(rows) * std::size_t(cols);
    spectrumSize = cv::Size(cols / 2 + 1, rows);
    const std::size_t complexes = std::size_t(spectrumSize.area());
    // Zeroed, and only the top left is written from here on: the padding stays zero.
    paddedData1 = fftplans::alignedFloats(reals);
    paddedData2 = fftplans::alignedFloats(reals);
    surfaceData = fftplans::alignedFloats(reals);
    spectrumData1 = fftplans::alignedFloats(2 * complexes);
    spectrumData2 = fftplans::alignedFloats(2 * complexes);
    padded1 = cv::Mat(rows, cols, CV_32FC1, paddedData1.get());
    padded2 = cv::Mat(rows, cols, CV_32FC1, paddedData2.get());
    surface = cv::Mat(rows, cols, CV_32FC1, surfaceData.get());
    plans = {};
}

PhaseCorrelator::Result PhaseCorrelator::estimateShift(const cv::Mat &current,
                                                       const cv::Mat &reference) {
    level = simd::active();
    vectors = level >= simd::Level::Vector128;
    if (window.size() != current.size())
        makeBuffers(current.size());
    const bool fftVectors = level != simd::Level::Portable;
    if (!plans.forward || plansWithVectors != fftVectors) {
        plans = fftplans::plansFor(padded1.size(), fftVectors);
        plansWithVectors = fftVectors;
    }
    // The confidence needs the prepared images without the window, so the windowed versions
    // go straight into the transform buffers.
    const cv::Rect frame(0, 0, current.cols, current.rows);
    cv::Mat windowed1 = padded1(frame);
    cv::Mat windowed2 = padded2(frame);
    prepare(current, prepared1, &windowed1);
    prepare(reference, prepared2, &windowed2);
    Result result;
    const cv::Point2d shift = phaseCorrelateWindowed(&result.response);
    result.x = shift.x;
    result.y = shift.y;
    return result;
}

PhaseCorrelator::Result PhaseCorrelator::correlate(const cv::Mat &current, const cv::Mat &reference,
                                                   const cv::Mat &mask) {
    Result result = estimateShift(current, reference);
    const int xi = int(std::rint(result.x));
    const int yi = int(std::rint(result.y));
    const double correlation = overlapCorrelation(xi, yi, mask);
    result.confidence = std::pow(std::max(result.response, 0.), 0.15) * std::max(correlation, 0.);
    return result;
}

namespace {

// The normalised cross-power spectrum of two half spectra, in place of the first: each value of
// a times the conjugate of b's, divided by its magnitude (plus a little, so that zero stays
// zero), as phaseCorrelate forms it. n complex values, interleaved.
void normalisedCrossPowerPortable(float *a, const float *b, std::size_t begin, std::size_t n) {
    const float eps = FLT_EPSILON;
    for (std::size_t k = begin; k < n; ++k) {
        const float ar = a[2 * k], ai = a[2 * k + 1];
        const float br = b[2 * k], bi = b[2 * k + 1];
        const float re = ar * br + ai * bi;
        const float im = ai * br - ar * bi;
        const float m = std::sqrt(re * re + im * im);
        const float scale = m / (m * m + eps);
        a[2 * k] = re * scale;
        a[2 * k + 1] = im * scale;
    }
}

#if CV_SIMD128
std::size_t normalisedCrossPower128(float *a, const float *b, std::size_t n) {
    using namespace cv;
    const v_float32x4 epsilon = v_setall_f32(FLT_EPSILON);
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        v_float32x4 ar, ai, br, bi;
        v_load_deinterleave(a + 2 * k, ar, ai);
        v_load_deinterleave(b + 2 * k, br, bi);
        const v_float32x4 re = ar * br + ai * bi;
        const v_float32x4 im = ai * br - ar * bi;
        const v_float32x4 m = v_sqrt(re * re + im * im);
        const v_float32x4 scale = m / (m * m + epsilon);
        v_store_interleave(a + 2 * k, re * scale, im * scale);
    }
    return k;
}
#endif

#if defined(__GNUC__) && defined(__x86_64__)
#define MIREVA_CROSS_POWER_AVX2 1
// Four complex values per register, left interleaved: the real and imaginary parts of b are
// duplicated across each pair instead of being separated.
__attribute__((target("avx2"))) std::size_t normalisedCrossPowerAvx2(float *a, const float *b,
                                                                     std::size_t n) {
    const __m256 epsilon = _mm256_set1_ps(FLT_EPSILON);
    const __m256 negate = _mm256_set1_ps(-0.f);
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256 va = _mm256_loadu_ps(a + 2 * k);
        const __m256 vb = _mm256_loadu_ps(b + 2 * k);
        const __m256 byReal = _mm256_mul_ps(va, _mm256_moveldup_ps(vb));      // ar br, ai br
        const __m256 swapped = _mm256_permute_ps(va, 0b10110001);             // ai, ar
        const __m256 byImag = _mm256_mul_ps(swapped, _mm256_movehdup_ps(vb)); // ai bi, ar bi
        // ar br + ai bi, ai br - ar bi
        const __m256 x = _mm256_addsub_ps(byReal, _mm256_xor_ps(byImag, negate));
        const __m256 squares = _mm256_mul_ps(x, x);
        const __m256 m =
            _mm256_sqrt_ps(_mm256_add_ps(squares, _mm256_permute_ps(squares, 0b10110001)));
        const __m256 scale = _mm256_div_ps(m, _mm256_add_ps(_mm256_mul_ps(m, m), epsilon));
        _mm256_storeu_ps(a + 2 * k, _mm256_mul_ps(x, scale));
    }
    return k;
}
#endif

void normalisedCrossPower(float *a, const float *b, std::size_t n, simd::Level level) {
    std::size_t k = 0;
#ifdef MIREVA_CROSS_POWER_AVX2
    if (level >= simd::Level::Avx2)
        k = normalisedCrossPowerAvx2(a, b, n);
#endif
#if CV_SIMD128
    if (k == 0 && level >= simd::Level::Vector128)
        k = normalisedCrossPower128(a, b, n);
#endif
    normalisedCrossPowerPortable(a, b, k, n);
}

} // namespace

cv::Point2d PhaseCorrelator::phaseCorrelateWindowed(double *response) {
    auto *spectrum1 = reinterpret_cast<fftwf_complex *>(spectrumData1.get());
    auto *spectrum2 = reinterpret_cast<fftwf_complex *>(spectrumData2.get());
    fftwf_execute_dft_r2c(plans.forward, paddedData1.get(), spectrum1);
    fftwf_execute_dft_r2c(plans.forward, paddedData2.get(), spectrum2);
    normalisedCrossPower(spectrumData1.get(), spectrumData2.get(), std::size_t(spectrumSize.area()),
                         level);
    fftwf_execute_dft_c2r(plans.inverse, spectrum1, surfaceData.get());

    // The surface is read as if shifted circularly by half its size, rounded down, so that zero
    // shift sits at (cols / 2, rows / 2): shifted row y is stored row (y + rows - rows / 2) %
    // rows, and columns likewise.
    const int rows = surface.rows;
    const int cols = surface.cols;
    const int lowerCols = cols / 2;
    const int upperCols =
        cols - lowerCols; // shifted column x < lowerCols is stored at x + upperCols
    const auto storedRow = [&](int y) {
        return surface.ptr<float>((y + rows - rows / 2) % rows);
    };
    const auto storedCol = [&](int x) {
        return x < lowerCols ? x + upperCols : x - lowerCols;
    };

    // The peak: the highest value and, of equal ones, the first in the shifted surface's row
    // order, as a search of the shifted surface would find it.
    rowMaxima.resize(size_t(rows));
    for (int y = 0; y < rows; ++y) {
        const float *row = surface.ptr<float>(y);
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
        const float *row = surface.ptr<float>(stored);
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

namespace {

// Rows of the overlap correlation, each returning the column where it stopped; the portable
// loops finish the rows.

// Copies a's and b's values where the mask is set and zero elsewhere.
int maskRows128(const float *pa, const float *pb, const uchar *pm, float *outA, float *outB,
                int w) {
    int x = 0;
#if CV_SIMD128
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
                const v_float32x4 keep = v_reinterpret_as_f32(m32[quarter] != v_setzero_u32());
                v_store(outA + at, v_select(keep, v_load(pa + at), zero));
                v_store(outB + at, v_select(keep, v_load(pb + at), zero));
            }
        }
    }
#endif
    return x;
}

// Sums of three neighbours: out[x] = in[x] + in[x + 1] + in[x + 2].
int tripleSums128(const float *in, float *out, int w) {
    int x = 0;
#if CV_SIMD128
    using namespace cv;
    for (; x + 4 <= w; x += 4)
        v_store(out + x, v_load(in + x) + v_load(in + x + 1) + v_load(in + x + 2));
#endif
    return x;
}

// Box-blurred values from three rows of sums (a's at 0, b's at stride), and their products
// summed in double.
int products128(const float *above, const float *here, const float *below, size_t stride, int w,
                float ninth, double &aa, double &bb, double &ab) {
    int x = 0;
#if CV_SIMD128_64F
    using namespace cv;
    const v_float32x4 scale = v_setall_f32(ninth);
    v_float64x2 sumAa = v_setzero_f64(), sumBb = v_setzero_f64(), sumAb = v_setzero_f64();
    for (; x + 4 <= w; x += 4) {
        const v_float32x4 va = (v_load(above + x) + v_load(here + x) + v_load(below + x)) * scale;
        const v_float32x4 vb =
            (v_load(above + stride + x) + v_load(here + stride + x) + v_load(below + stride + x)) *
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
#endif
    return x;
}

#if defined(__GNUC__) && defined(__x86_64__)
#define MIREVA_OVERLAP_AVX2 1
__attribute__((target("avx2"))) int maskRowsAvx2(const float *pa, const float *pb, const uchar *pm,
                                                 float *outA, float *outB, int w) {
    int x = 0;
    const __m256i zero = _mm256_setzero_si256();
    for (; x + 8 <= w; x += 8) {
        const __m256i m =
            _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(pm + x)));
        const __m256 drop = _mm256_castsi256_ps(_mm256_cmpeq_epi32(m, zero));
        _mm256_storeu_ps(outA + x, _mm256_andnot_ps(drop, _mm256_loadu_ps(pa + x)));
        _mm256_storeu_ps(outB + x, _mm256_andnot_ps(drop, _mm256_loadu_ps(pb + x)));
    }
    return x;
}

__attribute__((target("avx2"))) int tripleSumsAvx2(const float *in, float *out, int w) {
    int x = 0;
    for (; x + 8 <= w; x += 8)
        _mm256_storeu_ps(out + x, _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(in + x),
                                                              _mm256_loadu_ps(in + x + 1)),
                                                _mm256_loadu_ps(in + x + 2)));
    return x;
}

// (a + b + c) x scale, eight at a time.
__attribute__((target("avx2"))) inline __m256 blurredAvx2(const float *a, const float *b,
                                                          const float *c, __m256 scale) {
    return _mm256_mul_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b)), _mm256_loadu_ps(c)),
        scale);
}

__attribute__((target("avx2"))) inline double totalAvx2(__m256d v) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, v);
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

__attribute__((target("avx2"))) int productsAvx2(const float *above, const float *here,
                                                 const float *below, size_t stride, int w,
                                                 float ninth, double &aa, double &bb, double &ab) {
    int x = 0;
    const __m256 scale = _mm256_set1_ps(ninth);
    __m256d sumAa = _mm256_setzero_pd(), sumBb = _mm256_setzero_pd(), sumAb = _mm256_setzero_pd();
    for (; x + 8 <= w; x += 8) {
        const __m256 va = blurredAvx2(above + x, here + x, below + x, scale);
        const __m256 vb =
            blurredAvx2(above + stride + x, here + stride + x, below + stride + x, scale);
        const __m256d aLow = _mm256_cvtps_pd(_mm256_castps256_ps128(va));
        const __m256d aHigh = _mm256_cvtps_pd(_mm256_extractf128_ps(va, 1));
        const __m256d bLow = _mm256_cvtps_pd(_mm256_castps256_ps128(vb));
        const __m256d bHigh = _mm256_cvtps_pd(_mm256_extractf128_ps(vb, 1));
        sumAa = _mm256_add_pd(
            sumAa, _mm256_add_pd(_mm256_mul_pd(aLow, aLow), _mm256_mul_pd(aHigh, aHigh)));
        sumBb = _mm256_add_pd(
            sumBb, _mm256_add_pd(_mm256_mul_pd(bLow, bLow), _mm256_mul_pd(bHigh, bHigh)));
        sumAb = _mm256_add_pd(
            sumAb, _mm256_add_pd(_mm256_mul_pd(aLow, bLow), _mm256_mul_pd(aHigh, bHigh)));
    }
    aa += totalAvx2(sumAa);
    bb += totalAvx2(sumBb);
    ab += totalAvx2(sumAb);
    return x;
}
#endif

} // namespace

double PhaseCorrelator::overlapCorrelation(int xi, int yi, const cv::Mat &mask) {
    const int w = prepared1.cols - std::abs(xi);
    const int h = prepared1.rows - std::abs(yi);
    if (std::min(w, h) <= 0)
        return 0.;
    const cv::Mat a = prepared1(cv::Rect(std::max(-xi, 0), std::max(-yi, 0), w, h));
    const cv::Mat b = prepared2(cv::Rect(std::max(xi, 0), std::max(yi, 0), w, h));
    const cv::Mat m = mask(cv::Rect(std::max(xi, 0), std::max(yi, 0), w, h));
    const bool avx2 = level >= simd::Level::Avx2;

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
#ifdef MIREVA_OVERLAP_AVX2
        if (avx2)
            x = maskRowsAvx2(pa, pb, pm, maskedA + 1, maskedB + 1, w);
#endif
        if (x == 0 && vectors)
            x = maskRows128(pa, pb, pm, maskedA + 1, maskedB + 1, w);
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
        for (const auto &[in, out] : {std::pair{maskedA, sumsA}, std::pair{maskedB, sumsB}}) {
            x = 0;
#ifdef MIREVA_OVERLAP_AVX2
            if (avx2)
                x = tripleSumsAvx2(in, out, w);
#endif
            if (x == 0 && vectors)
                x = tripleSums128(in, out, w);
            for (; x < w; ++x)
                out[x] = in[x] + in[x + 1] + in[x + 2];
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
#ifdef MIREVA_OVERLAP_AVX2
        if (avx2)
            x = productsAvx2(above, here, below, stride, w, ninth, aa, bb, ab);
#endif
        if (x == 0 && vectors)
            x = products128(above, here, below, stride, w, ninth, aa, bb, ab);
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
