#include "renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace vmbsim {

namespace {

// The per-sample loops below are written so that the compiler turns them into vector code:
// no table look-ups, no branches, fixed-point arithmetic only. Each is also built for AVX2,
// picked at load time where the processor has it, since SSE2 lacks 32-bit multiplies.
// Sanitizer runtimes are not ready when the loader resolves the clones, so sanitizer builds
// keep the baseline only.
#if defined(VMBSIM_NO_TARGET_CLONES)
#define VMBSIM_VECTOR
#else
#define VMBSIM_VECTOR __attribute__((target_clones("avx2", "default")))
#endif

VMBSIM_VECTOR void bilinearRow(const std::uint8_t *__restrict top,
                               const std::uint8_t *__restrict bottom, int n, int step, int w00,
                               int w01, int w10, int w11, std::uint8_t *__restrict out) {
    for (int i = 0; i < n; ++i) {
        out[i] = std::uint8_t((w00 * top[i] + w01 * top[i + step] + w10 * bottom[i] +
                               w11 * bottom[i + step] + 2048) >>
                              12);
    }
}

// One Bayer site per pixel: the channel alternates along the row, starting with `first`.
VMBSIM_VECTOR void bilinearBayerRow(const std::uint8_t *__restrict top,
                                    const std::uint8_t *__restrict bottom, int width, int first,
                                    int second, int w00, int w01, int w10, int w11,
                                    std::uint8_t *out) {
    for (int x = 0; x < width; x += 2) {
        int i = 3 * x + first;
        out[x] = std::uint8_t(
            (w00 * top[i] + w01 * top[i + 3] + w10 * bottom[i] + w11 * bottom[i + 3] + 2048) >> 12);
        int j = 3 * (x + 1) + second;
        out[x + 1] = std::uint8_t(
            (w00 * top[j] + w01 * top[j + 3] + w10 * bottom[j] + w11 * bottom[j + 3] + 2048) >> 12);
    }
}

VMBSIM_VECTOR void rowGain(const std::uint16_t *__restrict columnGain, std::uint32_t vignette,
                           int n, std::uint16_t *__restrict out) {
    for (int i = 0; i < n; ++i)
        out[i] = std::uint16_t((columnGain[i] * vignette) >> 16);
}

// Exposure, noise and clipping of n samples; a full well stays at full scale without noise.
VMBSIM_VECTOR void exposeRow(const std::uint8_t *__restrict samples,
                             const std::uint16_t *__restrict gain,
                             const std::int8_t *__restrict noise, int n, std::int32_t noiseBase,
                             std::int32_t noiseSlope, std::uint16_t *__restrict levels) {
    for (int i = 0; i < n; ++i) {
        int v = (int(samples[i]) * int(gain[i])) >> 8;
        v = v < 1023 ? v : 1023;
        const int amplitude = noiseBase + ((noiseSlope * v) >> 10);
        int noisy = v + ((int(noise[i]) * amplitude) >> 8);
        noisy = noisy < 0 ? 0 : noisy;
        noisy = noisy > 1023 ? 1023 : noisy;
        levels[i] = std::uint16_t(v == 1023 ? 1023 : noisy);
    }
}

VMBSIM_VECTOR void linearOut(const std::uint16_t *__restrict levels, int n,
                             std::uint8_t *__restrict out) {
    for (int i = 0; i < n; ++i)
        out[i] = std::uint8_t(levels[i] >> 2);
}

} // namespace

Renderer::Renderer(const OpticsConfig &optics, Slide &slide)
    : m_optics(optics)
    , m_slide(slide) {
    // Made once: drawing normal deviates per pixel and frame would cost more than the rest
    // of the frame together. Each row starts at a random place in the table.
    m_noise.resize(NoiseSize + 3 * 8192 + 64);
    std::mt19937 rng(12345);
    std::normal_distribution<float> normal(0.0f, 16.0f);
    for (auto &n : m_noise)
        n = std::int8_t(std::clamp(std::lround(normal(rng)), -127l, 127l));
}

void Renderer::prepare(const Exposure &e, int width, int height, bool bayer) {
    if (m_prepared && width == m_width && height == m_height && bayer == m_bayer &&
        e.exposureUs == m_exposure.exposureUs && e.gainDb == m_exposure.gainDb &&
        e.gamma == m_exposure.gamma && e.balance == m_exposure.balance)
        return;
    m_prepared = true;
    m_exposure = e;
    m_width = width;
    m_height = height;
    m_bayer = bayer;

    // Vignetting as the product of a horizontal and a vertical falloff: the corners reach
    // 1 - vignetting, the centre stays at 1.
    const double a = 1.0 - std::sqrt(1.0 - m_optics.vignetting);
    auto falloff = [a](int i, int n) {
        double u = n > 1 ? (2.0 * i / (n - 1) - 1.0) : 0.0;
        return 1.0 - a * u * u;
    };
    const double gain = std::pow(10.0, e.gainDb / 20.0);
    double channel[3];
    for (int c = 0; c < 3; ++c)
        channel[c] = m_optics.sensorResponse[size_t(c)] * e.balance[size_t(c)] * gain *
                     (e.exposureUs / FullScaleExposureUs);
    // sample (0..255) * g >> 8 = 10-bit level, so g = 1023 / 255 * 256 * linear gain.
    auto fixedGain = [](double g) {
        return std::uint16_t(std::clamp(std::lround(g * 1023.0 / 255.0 * 256.0), 0l, 65535l));
    };
    const int samples = bayer ? width : 3 * width;
    for (int parity = 0; parity < 2; ++parity) {
        auto &columns = m_columnGain[parity];
        columns.resize(size_t(samples));
        for (int x = 0; x < width; ++x) {
            double v = falloff(x, width);
            if (bayer) {
                // RGGB: even rows R G R G, odd rows G B G B.
                int c = parity == 0 ? ((x & 1) ? 1 : 0) : ((x & 1) ? 2 : 1);
                columns[size_t(x)] = fixedGain(v * channel[c]);
            } else {
                for (int c = 0; c < 3; ++c)
                    columns[size_t(3 * x + c)] = fixedGain(v * channel[c]);
            }
        }
    }
    m_rowVignette.resize(size_t(height));
    for (int y = 0; y < height; ++y)
        m_rowVignette[size_t(y)] =
            std::uint16_t(std::clamp(std::lround(falloff(y, height) * 65535.0), 0l, 65535l));

    const double gamma = std::max(0.05, e.gamma);
    m_linear = std::abs(gamma - 1.0) < 1e-9;
    m_gammaTable.resize(1024);
    for (int v = 0; v < 1024; ++v)
        m_gammaTable[size_t(v)] = std::uint8_t(std::lround(255.0 * std::pow(v / 1023.0, gamma)));

    // Read noise plus a part that grows with the signal (shot noise), both amplified by the
    // gain; in 10-bit levels, times 16 to match the table's unit deviates.
    const double amplification = std::sqrt(gain) * m_optics.noise;
    m_noiseBase = std::int32_t(std::lround(2.4 * amplification * 16));
    m_noiseSlope = std::int32_t(std::lround(7.0 * amplification * 16));
}

FrameStats Renderer::render(const Pose &pose, const Exposure &exposure, int width, int height,
                            bool bayer, std::uint8_t *dst, size_t stride) {
    prepare(exposure, width, height, bayer);

    const int ix = int(std::floor(pose.x)), iy = int(std::floor(pose.y));
    // Sub-pixel position in 1/64 pixel: the bilinear weights sum to 4096.
    const int fx = std::clamp(int(std::lround((pose.x - ix) * 64)), 0, 64);
    const int fy = std::clamp(int(std::lround((pose.y - iy) * 64)), 0, 64);
    const int w00 = (64 - fx) * (64 - fy), w01 = fx * (64 - fy), w10 = (64 - fx) * fy,
              w11 = fx * fy;

    const int level = Slide::levelForSigma(pose.defocusPx);
    m_slide.prepare(level, ix, iy, width + 1, height + 1);
    const int samples = bayer ? width : 3 * width;
    for (auto &row : m_rows)
        row.resize(size_t(width + 1) * 3);
    m_samples.resize(size_t(samples));
    m_gain.resize(size_t(samples));
    m_levels.resize(static_cast<size_t>(samples));
    std::uint16_t *levels = m_levels.data();

    std::uint64_t sums[3] = {0, 0, 0};
    std::uint64_t counts[3] = {0, 0, 0};

    m_slide.row(iy, ix, width + 1, m_rows[0].data());
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *top = m_rows[y & 1].data();
        std::uint8_t *bottom = m_rows[(y + 1) & 1].data();
        m_slide.row(iy + y + 1, ix, width + 1, bottom);
        if (bayer) {
            const int first = (y & 1) ? 1 : 0, second = (y & 1) ? 2 : 1;
            bilinearBayerRow(top, bottom, width, first, second, w00, w01, w10, w11,
                             m_samples.data());
        } else {
            bilinearRow(top, bottom, samples, 3, w00, w01, w10, w11, m_samples.data());
        }
        rowGain(m_columnGain[bayer ? (y & 1) : 0].data(), m_rowVignette[size_t(y)], samples,
                m_gain.data());
        m_rng ^= m_rng << 13;
        m_rng ^= m_rng >> 7;
        m_rng ^= m_rng << 17;
        const std::int8_t *noise = &m_noise[size_t(m_rng % NoiseSize)];
        exposeRow(m_samples.data(), m_gain.data(), noise, samples, m_noiseBase, m_noiseSlope,
                  levels);
        std::uint8_t *out = dst + size_t(y) * stride;
        if (m_linear) {
            linearOut(levels, samples, out);
        } else {
            for (int i = 0; i < samples; ++i)
                out[i] = m_gammaTable[levels[i]];
        }

        if (!bayer && (y & 7) == 4) {
            for (int x = 4; x < width; x += 8) {
                for (int c = 0; c < 3; ++c) {
                    sums[c] += out[3 * x + c];
                    ++counts[c];
                }
            }
        } else if (bayer && ((y & 7) == 4 || (y & 7) == 5)) {
            for (int x = 4; x < width; x += 8) {
                for (int k = 0; k < 2; ++k) {
                    int c = (y & 1) ? (((x + k) & 1) ? 2 : 1) : (((x + k) & 1) ? 1 : 0);
                    sums[c] += out[x + k];
                    ++counts[c];
                }
            }
        }
    }

    FrameStats stats;
    for (int c = 0; c < 3; ++c)
        stats.channelMean[size_t(c)] = counts[c] ? double(sums[c]) / double(counts[c]) : 0.0;
    stats.meanLevel =
        0.299 * stats.channelMean[0] + 0.587 * stats.channelMean[1] + 0.114 * stats.channelMean[2];
    return stats;
}

} // namespace vmbsim
