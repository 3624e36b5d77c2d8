#include "camera/lumashift.h"

#include "shell/simd.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cstdint>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The luma of OpenCV's RGB to YUV (and to grey), in its fixed point.
constexpr int lumaBits = 14;
constexpr int redWeight = 4899;
constexpr int greenWeight = 9617;
constexpr int blueWeight = 1868;
constexpr int lumaHalf = 1 << (lumaBits - 1);

// Pixels [from, width) of one row.
template <typename Shift>
void shiftRowPortable(uchar *p, const Shift *shift, int from, int width) {
    for (int x = from; x < width; ++x) {
        uchar *px = p + 3 * x;
        const int y =
            (redWeight * px[0] + greenWeight * px[1] + blueWeight * px[2] + lumaHalf) >> lumaBits;
        const int move = std::max(-y, std::min(int(shift[x]), 255 - y));
        for (int c = 0; c < 3; ++c)
            px[c] = uchar(std::clamp(px[c] + move, 0, 255));
    }
}

#if CV_SIMD128
inline cv::v_int16x8 loadShifts128(const short *shift) {
    return cv::v_load(shift);
}
inline cv::v_int16x8 loadShifts128(const schar *shift) {
    return cv::v_load_expand(shift);
}

// 16 pixels at a time; returns where it stopped.
template <typename Shift>
int shiftRow128(uchar *p, const Shift *shift, int width) {
    using namespace cv;
    const short r = short(redWeight), g = short(greenWeight), b = short(blueWeight);
    const v_int16x8 redGreen{r, g, r, g, r, g, r, g};
    const v_int16x8 blueHalf{b, 1, b, 1, b, 1, b, 1};
    // lumaHalf as the second factor of (blue, 1) pairs would not fit in 16 bits: 1 x lumaHalf.
    const v_int16x8 halves = v_setall_s16(short(lumaHalf));
    const v_int16x8 full = v_setall_s16(255);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        v_uint8x16 red, green, blue;
        v_load_deinterleave(p + 3 * x, red, green, blue);
        v_uint16x8 r16[2], g16[2], b16[2];
        v_expand(red, r16[0], r16[1]);
        v_expand(green, g16[0], g16[1]);
        v_expand(blue, b16[0], b16[1]);
        v_int16x8 out[3][2];
        for (int h = 0; h < 2; ++h) {
            const v_int16x8 rs = v_reinterpret_as_s16(r16[h]);
            const v_int16x8 gs = v_reinterpret_as_s16(g16[h]);
            const v_int16x8 bs = v_reinterpret_as_s16(b16[h]);
            v_int16x8 rgLow, rgHigh, bhLow, bhHigh;
            v_zip(rs, gs, rgLow, rgHigh);
            v_zip(bs, halves, bhLow, bhHigh);
            const v_int32x4 yLow =
                (v_dotprod(rgLow, redGreen) + v_dotprod(bhLow, blueHalf)) >> lumaBits;
            const v_int32x4 yHigh =
                (v_dotprod(rgHigh, redGreen) + v_dotprod(bhHigh, blueHalf)) >> lumaBits;
            const v_int16x8 y = v_pack(yLow, yHigh);
            const v_int16x8 move =
                v_max(v_setzero_s16() - y, v_min(loadShifts128(shift + x + 8 * h), full - y));
            out[0][h] = rs + move;
            out[1][h] = gs + move;
            out[2][h] = bs + move;
        }
        v_store_interleave(p + 3 * x, v_pack_u(out[0][0], out[0][1]),
                           v_pack_u(out[1][0], out[1][1]), v_pack_u(out[2][0], out[2][1]));
    }
    return x;
}
#endif

#if defined(__GNUC__) && defined(__x86_64__)
#define MIREVA_LUMA_SHIFT_AVX2 1

// Byte shuffles between 48 interleaved bytes (three 16-byte parts) and 16 bytes per channel,
// the same in both 128-bit lanes.
struct Shuffles {
    signed char gather[3][3][32];  // [channel][part]
    signed char scatter[3][3][32]; // [part][channel]
};

constexpr Shuffles makeShuffles() {
    Shuffles s{};
    for (int lane = 0; lane < 2; ++lane)
        for (int j = 0; j < 16; ++j)
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) {
                    // Channel a of pixel j sits at byte 3j + a, in part b if it falls there.
                    const int source = 3 * j + a - 16 * b;
                    s.gather[a][b][16 * lane + j] =
                        static_cast<signed char>(source >= 0 && source < 16 ? source : -1);
                    // Byte j of part a holds channel b of pixel (16a + j) / 3 if it is that
                    // channel's byte.
                    const int byte = 16 * a + j;
                    s.scatter[a][b][16 * lane + j] =
                        static_cast<signed char>(byte % 3 == b ? byte / 3 : -1);
                }
    return s;
}
constexpr Shuffles shuffles = makeShuffles();

__attribute__((target("avx2"))) inline __m256i loadShuffle(const signed char *bytes) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes));
}

// The luma of 16 pixels (8 per lane) from their zero-extended channels.
__attribute__((target("avx2"))) inline __m256i lumaAvx2(__m256i r, __m256i g, __m256i b) {
    const __m256i redGreen = _mm256_set1_epi32(int(redWeight | (greenWeight << 16)));
    const __m256i blueHalf = _mm256_set1_epi32(int(blueWeight | (1 << 16)));
    const __m256i halves = _mm256_set1_epi16(short(lumaHalf));
    const __m256i low =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r, g), redGreen),
                         _mm256_madd_epi16(_mm256_unpacklo_epi16(b, halves), blueHalf));
    const __m256i high =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r, g), redGreen),
                         _mm256_madd_epi16(_mm256_unpackhi_epi16(b, halves), blueHalf));
    return _mm256_packs_epi32(_mm256_srai_epi32(low, lumaBits), _mm256_srai_epi32(high, lumaBits));
}

// 16 shifts, widened, in order.
__attribute__((target("avx2"))) inline __m256i loadShiftsAvx2(const short *shift) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(shift));
}
__attribute__((target("avx2"))) inline __m256i loadShiftsAvx2(const schar *shift) {
    return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(shift)));
}

// 32 pixels at a time, 16 per 128-bit lane; returns where it stopped.
template <typename Shift>
__attribute__((target("avx2"))) int shiftRowAvx2(uchar *p, const Shift *shift, int width) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i full = _mm256_set1_epi16(255);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        uchar *first = p + 3 * x;   // pixels x .. x + 15, in the low lanes
        uchar *second = first + 48; // pixels x + 16 .. x + 31, in the high lanes
        __m256i parts[3];
        for (int k = 0; k < 3; ++k)
            parts[k] = _mm256_inserti128_si256(
                _mm256_castsi128_si256(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(first + 16 * k))),
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(second + 16 * k)), 1);
        __m256i channel[3];
        for (int c = 0; c < 3; ++c)
            channel[c] = _mm256_or_si256(
                _mm256_or_si256(_mm256_shuffle_epi8(parts[0], loadShuffle(shuffles.gather[c][0])),
                                _mm256_shuffle_epi8(parts[1], loadShuffle(shuffles.gather[c][1]))),
                _mm256_shuffle_epi8(parts[2], loadShuffle(shuffles.gather[c][2])));
        // Widened in lanes: the low halves hold pixels 0-7 and 16-23, the high ones 8-15 and
        // 24-31, and the shifts are arranged alike.
        const __m256i shiftA = loadShiftsAvx2(shift + x);
        const __m256i shiftB = loadShiftsAvx2(shift + x + 16);
        const __m256i shifts[2] = {_mm256_permute2x128_si256(shiftA, shiftB, 0x20),
                                   _mm256_permute2x128_si256(shiftA, shiftB, 0x31)};
        __m256i wide[2][3];
        for (int c = 0; c < 3; ++c) {
            wide[0][c] = _mm256_unpacklo_epi8(channel[c], zero);
            wide[1][c] = _mm256_unpackhi_epi8(channel[c], zero);
        }
        for (int h = 0; h < 2; ++h) {
            const __m256i y = lumaAvx2(wide[h][0], wide[h][1], wide[h][2]);
            const __m256i move = _mm256_max_epi16(
                _mm256_sub_epi16(zero, y), _mm256_min_epi16(shifts[h], _mm256_sub_epi16(full, y)));
            for (int c = 0; c < 3; ++c)
                wide[h][c] = _mm256_add_epi16(wide[h][c], move);
        }
        for (int c = 0; c < 3; ++c)
            channel[c] = _mm256_packus_epi16(wide[0][c], wide[1][c]);
        for (int k = 0; k < 3; ++k) {
            const __m256i part = _mm256_or_si256(
                _mm256_or_si256(
                    _mm256_shuffle_epi8(channel[0], loadShuffle(shuffles.scatter[k][0])),
                    _mm256_shuffle_epi8(channel[1], loadShuffle(shuffles.scatter[k][1]))),
                _mm256_shuffle_epi8(channel[2], loadShuffle(shuffles.scatter[k][2])));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(first + 16 * k),
                             _mm256_castsi256_si128(part));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(second + 16 * k),
                             _mm256_extracti128_si256(part, 1));
        }
    }
    return x;
}
#endif

template <typename Shift>
void shiftRows(cv::Mat &rgb, const cv::Mat &shift, simd::Level level) {
    for (int row = 0; row < rgb.rows; ++row) {
        uchar *p = rgb.ptr<uchar>(row);
        const Shift *s = shift.ptr<Shift>(row);
        int x = 0;
#ifdef MIREVA_LUMA_SHIFT_AVX2
        if (level >= simd::Level::Avx2)
            x = shiftRowAvx2(p, s, rgb.cols);
#endif
#if CV_SIMD128
        if (x == 0 && level >= simd::Level::Vector128)
            x = shiftRow128(p, s, rgb.cols);
#endif
        shiftRowPortable(p, s, x, rgb.cols);
    }
}

} // namespace

void shiftLuma(cv::Mat &rgb, const cv::Mat &shift) {
    CV_Assert(rgb.type() == CV_8UC3 && (shift.type() == CV_16SC1 || shift.type() == CV_8SC1) &&
              rgb.size() == shift.size());
    const simd::Level level = simd::active();
    if (shift.type() == CV_8SC1)
        shiftRows<schar>(rgb, shift, level);
    else
        shiftRows<short>(rgb, shift, level);
}
