// The sharpness measure of a preview: 10 x the standard deviation of the Laplacian of its grey
// image. The Laplacian of bytes is a small integer, so it is summed exactly in integers in one
// pass over the grey image instead of being stored as a float image and measured again.
#include "camera/cameramanager.h"

#include "shell/simd.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// Reflection without repeating the edge (OpenCV's default border).
int reflect101(int i, int n) {
    if (n == 1)
        return 0;
    return i < 0 ? -i : i >= n ? 2 * n - 2 - i : i;
}

struct Sums {
    std::int64_t sum = 0;
    std::int64_t squares = 0;
};

// Laplacian values of columns [from, to) of one row: above + below + left + right - 4 x here.
void addPortable(const uchar *above, const uchar *here, const uchar *below, int from, int to,
                 Sums &sums) {
    for (int x = from; x < to; ++x) {
        const int v = above[x] + below[x] + here[x - 1] + here[x + 1] - 4 * here[x];
        sums.sum += v;
        sums.squares += std::int64_t(v) * v;
    }
}

#if CV_SIMD128
// Columns from 1 on, 8 at a time, while x + 9 <= to; returns where it stopped.
int add128(const uchar *above, const uchar *here, const uchar *below, int to, Sums &sums) {
    using namespace cv;
    v_int32x4 sum = v_setzero_s32();
    v_int32x4 squares = v_setzero_s32(); // at most 2 x 1020^2 per lane and step
    const auto flush = [&] {
        sums.sum += v_reduce_sum(sum);
        sums.squares += std::int64_t(v_reduce_sum(squares));
        sum = v_setzero_s32();
        squares = v_setzero_s32();
    };
    int x = 1;
    for (int steps = 1; x + 9 <= to; x += 8, ++steps) {
        const v_int16x8 up = v_reinterpret_as_s16(v_load_expand(above + x));
        const v_int16x8 down = v_reinterpret_as_s16(v_load_expand(below + x));
        const v_int16x8 left = v_reinterpret_as_s16(v_load_expand(here + x - 1));
        const v_int16x8 right = v_reinterpret_as_s16(v_load_expand(here + x + 1));
        const v_int16x8 centre = v_reinterpret_as_s16(v_load_expand(here + x));
        const v_int16x8 v = up + down + left + right - (centre << 2);
        v_int32x4 low, high;
        v_expand(v, low, high);
        sum += low + high;
        squares += v_dotprod(v, v);
        if (steps % 512 == 0)
            flush();
    }
    flush();
    return x;
}
#endif

} // namespace

double CameraManager::sharpness(const cv::Mat &image) {
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    const int rows = grey.rows;
    const int cols = grey.cols;
    if (rows == 0 || cols == 0)
        return 0.;
    const bool vectors = simd::use(simd::Level::Vector128);
    Sums sums;
    for (int y = 0; y < rows; ++y) {
        const uchar *above = grey.ptr<uchar>(reflect101(y - 1, rows));
        const uchar *here = grey.ptr<uchar>(y);
        const uchar *below = grey.ptr<uchar>(reflect101(y + 1, rows));
        // The first and last columns reflect; everything between has both neighbours.
        for (const int x : {0, cols - 1}) {
            const int v = above[x] + below[x] + here[reflect101(x - 1, cols)] +
                          here[reflect101(x + 1, cols)] - 4 * here[x];
            sums.sum += v;
            sums.squares += std::int64_t(v) * v;
            if (cols == 1)
                break;
        }
        int x = 1;
#if CV_SIMD128
        if (vectors)
            x = add128(above, here, below, cols - 1, sums);
#endif
        addPortable(above, here, below, x, cols - 1, sums);
    }
    // As the standard deviation of the float image comes out of meanStdDev.
    const double scale = 1. / (double(rows) * cols);
    const double mean = double(sums.sum) * scale;
    const double variance = std::max(double(sums.squares) * scale - mean * mean, 0.);
    return 10. * std::sqrt(variance);
}
