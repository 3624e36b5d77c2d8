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
    FrameStats render(const Pose &pose, const Exposure &exposure, int width, int height,
                      bool bayer, std::uint8_t *dst, size_t stride);

private:
    void prepareVignette(int width, int height);
    void prepareTable(const Exposure &exposure);

    static constexpr int VignetteLevels = 32;
    static constexpr int NoiseSize = 1 << 20;

    OpticsConfig m_optics;
    Slide &m_slide;
    int m_vignetteWidth = 0, m_vignetteHeight = 0;
    std::vector<std::uint8_t> m_vignette; // level per pixel
    std::vector<std::int8_t> m_noise;     // unit normal noise times 16
    std::vector<std::int32_t> m_table;    // [channel][level][sample]: value | noise scale << 16
    Exposure m_tableExposure;
    bool m_tableValid = false;
    std::vector<std::uint8_t> m_rows[2];
    std::uint64_t m_rng = 0x9E3779B97F4A7C15ull;
};

} // namespace vmbsim
