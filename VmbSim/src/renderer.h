#pragma once

// Optics and sensor of the simulated microscope: samples the slide at a sub-pixel position,
// darkens the corners, applies exposure, gain, white balance and gamma, and adds sensor noise,
// writing RGB8 or Bayer (RGGB) pixels. Buffers, noise and look-up tables are made once and
// reused, so a frame costs little more than touching its pixels.

#include "simconfig.h"
#include "slide.h"
#include "stage.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vmbsim {

struct Exposure {
    double exposureUs = 10000;
    double gainDb = 0;
    double gamma = 1;
    std::array<double, 3> balance{1, 1, 1};
};

struct FrameStats {
    double meanLevel = 0;                // mean output level, 0..255
    std::array<double, 3> channelMean{}; // per channel, 0..255
};

class Renderer {
public:
    // Exposure time at which a clear-glass pixel (transmittance 1) exactly fills the sensor
    // at gain 0 and a balance ratio of 1.
    static constexpr double FullScaleExposureUs = 12000.0;

    Renderer(const OpticsConfig &optics, Slide &slide);

    // Renders one frame of width x height at the pose into dst (row stride in bytes).
    FrameStats render(const Pose &pose, const Exposure &exposure, int width, int height, bool bayer,
                      std::uint8_t *dst, size_t stride);

private:
    void prepare(const Exposure &exposure, int width, int height, bool bayer);

    static constexpr int NoiseSize = 1 << 20;

    OpticsConfig m_optics;
    Slide &m_slide;
    std::vector<std::int8_t> m_noise; // unit normal noise times 16

    // Made again only when the exposure, the size or the pixel format change.
    Exposure m_exposure;
    int m_width = 0, m_height = 0;
    bool m_bayer = false;
    bool m_prepared = false;
    // Gain of every sample of a row before the row's own vignetting: 8.8 fixed point, scaled
    // so that sample * gain >> 8 is a 10-bit level. Bayer sensors have one for even rows and
    // one for odd rows.
    std::vector<std::uint16_t> m_columnGain[2];
    std::vector<std::uint16_t> m_rowVignette; // 0.16 fixed point
    std::vector<std::uint8_t> m_gammaTable;   // 10-bit level to output, when gamma is not 1
    bool m_linear = true;
    std::int32_t m_noiseBase = 0, m_noiseSlope = 0;

    // Per-row scratch.
    std::vector<std::uint8_t> m_rows[2];
    std::vector<std::uint8_t> m_samples;
    std::vector<std::uint16_t> m_gain;
    std::vector<std::uint16_t> m_levels;
    std::uint64_t m_rng = 0x9E3779B97F4A7C15ull;
};

} // namespace vmbsim
