#pragma once

// Configuration of the simulated cameras: read from the JSON file that VMBSIM_CONFIG names,
// or the built-in default (one camera looking at a procedural slide on a stage tour).

#include <nlohmann/json.hpp>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vmbsim {

struct SlideConfig {
    enum class Kind { Procedural, Image } kind = Kind::Procedural;
    unsigned seed = 1;
    int widthPx = 60000;
    int heightPx = 45000;
    std::string imagePath;
    double scale = 1.0;
};

struct StageConfig {
    enum class Kind { Tour, Trajectory } kind = Kind::Tour;
    unsigned seed = 7;
    double speedPxPerS = 350.0;
    double overlap = 0.35; // fraction of the frame shared by neighbouring rows
    double wobblePx = 1.5; // hand tremor amplitude
    bool pauses = true;    // the hand stops now and then
    bool refocus = true;   // the focus drifts and is corrected now and then
    bool jump = false;     // a fast jump that loses tracking, then back to seen ground
    double startX = -1;    // top-left of the tour; negative: centre of the slide
    double startY = -1;
    double areaWidthPx = 0; // extent of the serpentine; 0: a fraction of the slide
    double areaHeightPx = 0;
    std::string trajectoryPath;
};

struct OpticsConfig {
    double vignetting = 0.35;                              // relative darkening in the corners
    double maxDefocusPx = 2.2;                             // blur sigma reached by the focus drift
    double noise = 1.0;                                    // 0 switches sensor noise off
    std::array<double, 3> sensorResponse{0.82, 1.0, 0.74}; // R, G, B under the lamp
};

struct FeatureOverride {
    std::string name;
    std::optional<std::string> type; // "int", "float", "enum", "bool", "string", "command"
    std::optional<double> min, max, value, increment;
    std::optional<std::string> stringValue;
    std::optional<bool> writable;
    std::optional<std::string> displayName;
    std::vector<std::pair<std::string, std::string>> entries; // name, display name
};

struct FaultConfig {
    bool openElsewhere = false;
    int getImageFailEvery = 0;
    int acquisitionStartError = 0;
    int closeError = 0;
};

struct CameraConfig {
    std::string id = "DEV_SIM_0001";
    std::string name = "Simulated Microscope Camera";
    std::string model = "VmbSim-1280C";
    int widthPx = 1280;
    int heightPx = 960;
    std::string pixelFormat = "RGB8";
    double fps = 25.0;
    bool frameClock = false; // true: one step of 1/fps per frame; false: the wall clock
    SlideConfig slide;
    StageConfig stage;
    OpticsConfig optics;
    std::vector<std::string> missingFeatures;
    std::vector<FeatureOverride> features;
    FaultConfig faults;
    std::string groundTruthPath;
};

struct SimConfig {
    std::vector<CameraConfig> cameras;
    int startupError = 0;
};

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses a configuration document; relative paths are taken relative to baseDir.
SimConfig parseConfig(const nlohmann::json &doc, const std::string &baseDir);
// The file named by VMBSIM_CONFIG, or the default when the variable is unset or empty.
SimConfig loadConfigFromEnvironment();
SimConfig defaultConfig();

} // namespace vmbsim
