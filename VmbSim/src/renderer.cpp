#include "renderer.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace vmbsim {

Renderer::Renderer(const OpticsConfig &optics, Slide &slide)
    : m_optics(optics)
    , m_slide(slide)
{
    // Made once: drawing normal deviates per pixel and frame would cost more than the rest
    // of the frame together. Each row starts at a random place in the table.
    m_noise.resize(NoiseSize + 3 * 8192 + 64);
    std::mt19937 rng(12345);
    std::normal_distribution<float> normal(0.0f, 16.0f);
    for (auto &n : m_noise)
        n = std::int8_t(std::clamp(std::lround(normal(rng)), -127l, 127l));
}

void Renderer::prepareVignette(int width, int height)
{
    if (width == m_vignetteWidth && height == m_vignetteHeight)
        return;
    m_vignetteWidth = width;
    m_vignetteHeight = height;
    m_vignette.resize(size_t(width) * height);
    // Ordered dithering hides the steps between the quantised levels.
    static const float dither[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
    const double r2max = cx * cx + cy * cy;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double r2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / r2max;
            // Natural falloff is close to cos^4; this shape reaches exactly 1 - vignetting
            // in the corners.
            double falloff = r2 * (0.55 + 0.45 * r2);
            double level = falloff * (VignetteLevels - 1) + dither[y & 3][x & 3] / 16.0;
            m_vignette[size_t(y) * width + x] =
                std::uint8_t(std::clamp(int(level), 0, VignetteLevels - 1));
        }
    }
}

void Renderer::prepareTable(const Exposure &e)
{
    if (m_tableValid && e.exposureUs == m_tableExposure.exposureUs &&
        e.gainDb == m_tableExposure.gainDb && e.gamma == m_tableExposure.gamma &&
        e.balance == m_tableExposure.balance)
        return;
    m_tableExposure = e;
    m_tableValid = true;
    m_table.resize(size_t(3) * VignetteLevels * 256);
    const double gain = std::pow(10.0, e.gainDb / 20.0);
    const double gamma = std::max(0.05, e.gamma);
    for (int c = 0; c < 3; ++c) {
        const double channel = m_optics.sensorResponse[c] * e.balance[c] * gain *
                               (e.exposureUs / FullScaleExposureUs);
        for (int level = 0; level < VignetteLevels; ++level) {
            const double vignette =
                1.0 - m_optics.vignetting * double(level) / (VignetteLevels - 1);
            std::int32_t *entry = &m_table[(size_t(c) * VignetteLevels + level) * 256];
            for (int s = 0; s < 256; ++s) {
                double linear = (s / 255.0) * vignette * channel;
                std::int32_t value;
                std::int32_t noiseScale;
                if (linear >= 1.0) {
                    // A full well does not get noisier: saturated pixels stay at 255.
                    value = 255;
                    noiseScale = 0;
                } else {
                    value = std::int32_t(std::lround(255.0 * std::pow(linear, gamma)));
                    // Read noise plus shot noise, both amplified by the gain, in output levels
                    // (through the slope of the gamma curve).
                    double slope = gamma * std::pow(std::max(linear, 1e-3), gamma - 1.0);
                    double sigmaLinear =
                        (0.0025 + 0.012 * std::sqrt(linear)) * std::sqrt(gain) * m_optics.noise;
                    double sigma = std::min(40.0, 255.0 * sigmaLinear * std::min(slope, 4.0));
                    noiseScale = std::int32_t(std::lround(sigma * 16.0));
                }
                entry[s] = (value & 0xffff) | (noiseScale << 16);
            }
        }
    }
}

FrameStats Renderer::render(const Pose &pose, const Exposure &exposure, int width, int height,
                            bool bayer, std::uint8_t *dst, size_t stride)
{
    prepareVignette(width, height);
    prepareTable(exposure);

    const int ix = int(std::floor(pose.x)), iy = int(std::floor(pose.y));
    // Sub-pixel position in 1/64 pixel: the bilinear weights sum to 4096.
    const int fx = std::clamp(int(std::lround((pose.x - ix) * 64)), 0, 64);
    const int fy = std::clamp(int(std::lround((pose.y - iy) * 64)), 0, 64);
    const int w00 = (64 - fx) * (64 - fy), w01 = fx * (64 - fy), w10 = (64 - fx) * fy,
              w11 = fx * fy;

    const int level = Slide::levelForSigma(pose.defocusPx);
    m_slide.prepare(level, ix, iy, width + 1, height + 1);
    for (auto &row : m_rows)
        row.resize(size_t(width + 1) * 3);

    const std::int32_t *table = m_table.data();
    std::uint64_t sums[3] = {0, 0, 0};
    std::uint64_t counts[3] = {0, 0, 0};

    m_slide.row(iy, ix, width + 1, m_rows[0].data());
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *top = m_rows[y & 1].data();
        std::uint8_t *bottomRow = m_rows[(y + 1) & 1].data();
        m_slide.row(iy + y + 1, ix, width + 1, bottomRow);
        const std::uint8_t *bottom = bottomRow;
        const std::uint8_t *vignette = &m_vignette[size_t(y) * width];
        m_rng ^= m_rng << 13;
        m_rng ^= m_rng >> 7;
        m_rng ^= m_rng << 17;
        const std::int8_t *noise = &m_noise[size_t(m_rng % NoiseSize)];
        std::uint8_t *out = dst + size_t(y) * stride;
        const bool sampleRow = (y & 7) == 4;

        if (!bayer) {
            for (int x = 0; x < width; ++x) {
                const int level0 = vignette[x] * 256;
                for (int c = 0; c < 3; ++c) {
                    const int i = 3 * x + c;
                    const int s =
                        (w00 * top[i] + w01 * top[i + 3] + w10 * bottom[i] + w11 * bottom[i + 3] +
                         2048) >> 12;
                    const std::int32_t e = table[c * VignetteLevels * 256 + level0 + s];
                    int v = std::int16_t(e & 0xffff) + ((noise[i] * (e >> 16)) >> 8);
                    out[i] = std::uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
                }
            }
            if (sampleRow) {
                for (int x = 4; x < width; x += 8)
                    for (int c = 0; c < 3; ++c) {
                        sums[c] += out[3 * x + c];
                        ++counts[c];
                    }
            }
        } else {
            // RGGB: even rows R G R G, odd rows G B G B.
            const int c0 = (y & 1) ? 1 : 0, c1 = (y & 1) ? 2 : 1;
            for (int x = 0; x < width; ++x) {
                const int c = (x & 1) ? c1 : c0;
                const int i = 3 * x + c;
                const int s = (w00 * top[i] + w01 * top[i + 3] + w10 * bottom[i] +
                               w11 * bottom[i + 3] + 2048) >> 12;
                const std::int32_t e =
                    table[c * VignetteLevels * 256 + vignette[x] * 256 + s];
                int v = std::int16_t(e & 0xffff) + ((noise[x] * (e >> 16)) >> 8);
                out[x] = std::uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
            if ((y & 7) == 4 || (y & 7) == 5) {
                for (int x = 4; x < width; x += 8) {
                    for (int k = 0; k < 2; ++k) {
                        int c = ((x + k) & 1) ? c1 : c0;
                        sums[c] += out[x + k];
                        ++counts[c];
                    }
                }
            }
        }
    }

    FrameStats stats;
    for (int c = 0; c < 3; ++c)
        stats.channelMean[c] = counts[c] ? double(sums[c]) / counts[c] : 0.0;
    stats.meanLevel =
        0.299 * stats.channelMean[0] + 0.587 * stats.channelMean[1] + 0.114 * stats.channelMean[2];
    return stats;
}

} // namespace vmbsim
