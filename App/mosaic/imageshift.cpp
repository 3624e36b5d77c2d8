// Sub-pixel translation of 8-bit images, bit for bit what
// warpAffine(..., INTER_CUBIC, BORDER_REPLICATE) gives for a pure translation, in a fraction of
// its time: with no rotation or scale every pixel shares one fractional offset, so the
// per-pixel coordinate map and table lookups of the general warp are not needed and the
// weighted sum runs over whole rows with SIMD.

#include "mosaic/imageio.h"

#include "shell/simd.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <QtGlobal>

#include <algorithm>
#include <array>
#include <cmath>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The warp's fixed-point layout: coordinates carry 5 fraction bits (32 steps per pixel), are
// computed with 10, and the 4x4 weights sum to 1 << 15.
constexpr int tableSize = 32;
constexpr int coordBits = 10;
constexpr int fractionBits = 5;
constexpr int weightBits = 15;
constexpr int weightScale = 1 << weightBits;

using Kernel = std::array<short, 16>; // row-major 4 x 4, row = vertical tap

// Bicubic (a = -0.75) weights of the four taps around a position x in [0, 1).
void cubicWeights(float x, float *c) {
    const float a = -0.75f;
    c[0] = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
    c[1] = ((a + 2) * x - (a + 3)) * x * x + 1;
    c[2] = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
    c[3] = 1.f - c[0] - c[1] - c[2];
}

// The warp's integer 4x4 kernel for fraction steps (fx, fy): products of the 1-D weights,
// rounded, with the rounding error of the sum moved onto one of the lower-right central taps.
Kernel kernelFor(int fx, int fy) {
    const float step = 1.f / tableSize;
    float wx[4], wy[4];
    cubicWeights(float(fx) * step, wx);
    cubicWeights(float(fy) * step, wy);
    Kernel k;
    int sum = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            sum += k[i * 4 + j] = cv::saturate_cast<short>(wy[i] * wx[j] * weightScale);
    if (sum != weightScale) {
        const int diff = sum - weightScale;
        int minAt = 2 * 4 + 2;
        int maxAt = minAt;
        for (int i = 2; i < 4; ++i)
            for (int j = 2; j < 4; ++j) {
                const int at = i * 4 + j;
                if (k[at] < k[minAt])
                    minAt = at;
                else if (k[at] > k[maxAt])
                    maxAt = at;
            }
        const int at = diff < 0 ? maxAt : minAt;
        k[at] = short(k[at] - diff);
    }
    return k;
}

#if defined(__GNUC__) && defined(__x86_64__)
#define MIREVA_SHIFT_AVX2 1
// Filters bytes [e, end) of an interleaved row, 32 at a time, on CPUs with AVX2; returns where
// it stopped. Same arithmetic as the loops below: 16-bit products summed in 32 bits.
__attribute__((target("avx2"))) int shiftBytesAvx2(const uchar *const rows[4], uchar *out, int e,
                                                   int end, int offset, int cn, const Kernel &k) {
    __m256i pairs[4][2]; // per vertical tap: weights (0, 1) and (2, 3), interleaved
    for (int i = 0; i < 4; ++i)
        for (int p = 0; p < 2; ++p) {
            const auto w0 = quint16(k[i * 4 + 2 * p]);
            const auto w1 = quint16(k[i * 4 + 2 * p + 1]);
            pairs[i][p] = _mm256_set1_epi32(int(w0 | quint32(w1) << 16));
        }
    const __m256i half = _mm256_set1_epi32(1 << (weightBits - 1));
    for (; e + 32 <= end; e += 32) {
        // Per block of 16 bytes: sums of bytes 0-3 and 8-11, and of 4-7 and 12-15, as the
        // in-lane unpacks leave them.
        __m256i acc[2][2] = {{half, half}, {half, half}};
        // Fully unrolled, so that the small arrays live in registers.
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            const uchar *s = rows[i] + (e + offset);
#pragma GCC unroll 2
            for (int b = 0; b < 2; ++b) {
                __m256i t[4];
#pragma GCC unroll 4
                for (int j = 0; j < 4; ++j)
                    t[j] = _mm256_cvtepu8_epi16(
                        _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * b + j * cn)));
#pragma GCC unroll 2
                for (int p = 0; p < 2; ++p) {
                    const __m256i lo = _mm256_unpacklo_epi16(t[2 * p], t[2 * p + 1]);
                    const __m256i hi = _mm256_unpackhi_epi16(t[2 * p], t[2 * p + 1]);
                    acc[b][0] = _mm256_add_epi32(acc[b][0], _mm256_madd_epi16(lo, pairs[i][p]));
                    acc[b][1] = _mm256_add_epi32(acc[b][1], _mm256_madd_epi16(hi, pairs[i][p]));
                }
            }
        }
        // Packing within lanes puts each block's 16 sums back in order...
        const __m256i block0 = _mm256_packs_epi32(_mm256_srai_epi32(acc[0][0], weightBits),
                                                  _mm256_srai_epi32(acc[0][1], weightBits));
        const __m256i block1 = _mm256_packs_epi32(_mm256_srai_epi32(acc[1][0], weightBits),
                                                  _mm256_srai_epi32(acc[1][1], weightBits));
        // ...and packing the two blocks interleaves their halves, which one permute undoes.
        const __m256i bytes =
            _mm256_permute4x64_epi64(_mm256_packus_epi16(block0, block1), 0b11011000);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + e), bytes);
    }
    return e;
}
#endif

inline uchar rounded(int sum) {
    return cv::saturate_cast<uchar>((sum + (1 << (weightBits - 1))) >> weightBits);
}

// One output row. rows: the four source rows of the vertical taps (already clamped);
// left: source column of the first horizontal tap for output column 0; level: the vector code
// the row may use.
void shiftRow(const uchar *const rows[4], uchar *out, int width, int cn, int left, const Kernel &k,
              simd::Level level) {
    // Columns whose four taps all fall inside the row; the rest clamp to its ends.
    const int inFrom = std::clamp(-left, 0, width);
    const int inTo = std::clamp(width - 3 - left, inFrom, width);

    const auto clampedPixel = [&](int x) {
        int columns[4];
        for (int j = 0; j < 4; ++j)
            columns[j] = std::clamp(x + left + j, 0, width - 1) * cn;
        for (int c = 0; c < cn; ++c) {
            int sum = 0;
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < 4; ++j)
                    sum += rows[i][columns[j] + c] * k[i * 4 + j];
            out[x * cn + c] = rounded(sum);
        }
    };
    for (int x = 0; x < inFrom; ++x)
        clampedPixel(x);

    // Inside, every channel of every pixel is the same sum over byte offsets 0, cn, 2cn, 3cn
    // from its first tap, so the interleaved row is filtered as one long byte row.
    const int offset = left * cn; // from an output byte to its first tap's byte
    const int end = inTo * cn;
    int e = inFrom * cn;
#ifdef MIREVA_SHIFT_AVX2
    if (level >= simd::Level::Avx2)
        e = shiftBytesAvx2(rows, out, e, end, offset, cn, k);
#endif
#if CV_SIMD128
    if (level >= simd::Level::Vector128) {
        using namespace cv;
        v_int16x8 pairs[4][2]; // per vertical tap: weights (0, 1) and (2, 3), interleaved
        for (int i = 0; i < 4; ++i)
            for (int p = 0; p < 2; ++p) {
                const short w0 = k[i * 4 + 2 * p];
                const short w1 = k[i * 4 + 2 * p + 1];
                pairs[i][p] = v_int16x8(w0, w1, w0, w1, w0, w1, w0, w1);
            }
        const v_int32x4 half = v_setall_s32(1 << (weightBits - 1));
        for (; e + 16 <= end; e += 16) {
            v_int32x4 acc[4] = {half, half, half, half};
#pragma GCC unroll 4
            for (int i = 0; i < 4; ++i) {
                const uchar *s = rows[i] + (e + offset);
                v_uint16x8 lo[4], hi[4];
#pragma GCC unroll 4
                for (int j = 0; j < 4; ++j)
                    v_expand(v_load(s + j * cn), lo[j], hi[j]);
#pragma GCC unroll 2
                for (int p = 0; p < 2; ++p) {
                    v_int16x8 a, b;
                    v_zip(v_reinterpret_as_s16(lo[2 * p]), v_reinterpret_as_s16(lo[2 * p + 1]), a,
                          b);
                    acc[0] += v_dotprod(a, pairs[i][p]);
                    acc[1] += v_dotprod(b, pairs[i][p]);
                    v_zip(v_reinterpret_as_s16(hi[2 * p]), v_reinterpret_as_s16(hi[2 * p + 1]), a,
                          b);
                    acc[2] += v_dotprod(a, pairs[i][p]);
                    acc[3] += v_dotprod(b, pairs[i][p]);
                }
            }
            const v_int16x8 low = v_pack(acc[0] >> weightBits, acc[1] >> weightBits);
            const v_int16x8 high = v_pack(acc[2] >> weightBits, acc[3] >> weightBits);
            v_store(out + e, v_pack_u(low, high));
        }
    }
#endif
    for (; e < end; ++e) {
        int sum = 0;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                sum += rows[i][e + offset + j * cn] * k[i * 4 + j];
        out[e] = rounded(sum);
    }

    for (int x = inTo; x < width; ++x)
        clampedPixel(x);
}

} // namespace

void shiftImage(const cv::Mat &source, cv::Mat &target, double dx, double dy) {
    CV_Assert(source.data != target.data || source.empty());
    const bool fast = source.depth() == CV_8U && source.channels() <= 4 && std::isfinite(dx) &&
                      std::isfinite(dy) && std::abs(dx) < source.cols + 8 &&
                      std::abs(dy) < source.rows + 8;
    if (!fast) {
        const cv::Mat transform = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
        cv::warpAffine(source, target, transform, source.size(), cv::INTER_CUBIC,
                       cv::BORDER_REPLICATE, cv::Scalar::all(0));
        return;
    }
    target.create(source.size(), source.type());
    const int width = source.cols;
    const int height = source.rows;
    const int cn = source.channels();
    const int roundHalf = 1 << (coordBits - fractionBits - 1);

    // Output (x, y) samples the input at (x - dx, y - dy) in fixed point, as the warp does:
    // the horizontal part is the same for every column; the vertical part is computed per row.
    const int xFixed =
        (cv::saturate_cast<int>(-dx * (1 << coordBits)) + roundHalf) >> (coordBits - fractionBits);
    const int fx = xFixed & (tableSize - 1);
    const int left = (xFixed >> fractionBits) - 1;

    std::array<Kernel, tableSize> kernels;
    std::array<bool, tableSize> made{};
    const simd::Level level = simd::active();
    for (int y = 0; y < height; ++y) {
        const int yFixed =
            (cv::saturate_cast<int>((double(y) + -dy) * (1 << coordBits)) + roundHalf) >>
            (coordBits - fractionBits);
        const int fy = yFixed & (tableSize - 1);
        const int top = (yFixed >> fractionBits) - 1;
        if (!made[fy]) {
            kernels[fy] = kernelFor(fx, fy);
            made[fy] = true;
        }
        const uchar *rows[4];
        for (int i = 0; i < 4; ++i)
            rows[i] = source.ptr<uchar>(std::clamp(top + i, 0, height - 1));
        shiftRow(rows, target.ptr<uchar>(y), width, cn, left, kernels[fy], level);
    }
}

void shiftImage(cv::Mat &image, double dx, double dy) {
    if (dx == 0 && dy == 0 && image.depth() == CV_8U)
        return; // the warp's kernel for a whole-pixel move is the identity
    const cv::Mat source = image.clone();
    shiftImage(source, image, dx, dy);
}
