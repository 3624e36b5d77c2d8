#include "simconfig.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace vmbsim {

namespace {

using nlohmann::json;

// Unknown keys are refused: a misspelt key silently ignored would make a test look at a
// camera other than the one it believes it configured.
void checkKeys(const json &object, const std::set<std::string> &known, const std::string &where) {
    if (!object.is_object())
        throw ConfigError(where + " must be an object");
    for (const auto &item : object.items()) {
        if (!known.count(item.key()))
            throw ConfigError("unknown key \"" + item.key() + "\" in " + where);
    }
}

template <typename T>
void read(const json &object, const char *key, T &target, const std::string &where) {
    auto it = object.find(key);
    if (it == object.end())
        return;
    try {
        target = it->get<T>();
    } catch (const json::exception &) {
        throw ConfigError(std::string("wrong type for \"") + key + "\" in " + where);
    }
}

std::string resolvePath(const std::string &path, const std::string &baseDir) {
    if (path.empty() || std::filesystem::path(path).is_absolute())
        return path;
    return (std::filesystem::path(baseDir) / path).string();
}

SlideConfig parseSlide(const json &j, const std::string &baseDir, const std::string &where) {
    checkKeys(j, {"type", "seed", "width", "height", "path", "scale"}, where);
    SlideConfig slide;
    std::string type = "procedural";
    read(j, "type", type, where);
    if (type == "procedural")
        slide.kind = SlideConfig::Kind::Procedural;
    else if (type == "image")
        slide.kind = SlideConfig::Kind::Image;
    else
        throw ConfigError("slide type must be \"procedural\" or \"image\" in " + where);
    read(j, "seed", slide.seed, where);
    read(j, "width", slide.widthPx, where);
    read(j, "height", slide.heightPx, where);
    read(j, "path", slide.imagePath, where);
    read(j, "scale", slide.scale, where);
    slide.imagePath = resolvePath(slide.imagePath, baseDir);
    if (slide.kind == SlideConfig::Kind::Image && slide.imagePath.empty())
        throw ConfigError("an image slide needs \"path\" in " + where);
    if (slide.scale <= 0 || slide.widthPx < 256 || slide.heightPx < 256)
        throw ConfigError("slide size and scale must be positive (at least 256 px) in " + where);
    return slide;
}

StageConfig parseStage(const json &j, const std::string &baseDir, const std::string &where) {
    checkKeys(j,
              {"type", "seed", "speed", "overlap", "wobble", "pauses", "refocus", "jump", "x", "y",
               "areaWidth", "areaHeight", "path"},
              where);
    StageConfig stage;
    std::string type = "tour";
    read(j, "type", type, where);
    if (type == "tour")
        stage.kind = StageConfig::Kind::Tour;
    else if (type == "trajectory")
        stage.kind = StageConfig::Kind::Trajectory;
    else
        throw ConfigError("stage type must be \"tour\" or \"trajectory\" in " + where);
    read(j, "seed", stage.seed, where);
    read(j, "speed", stage.speedPxPerS, where);
    read(j, "overlap", stage.overlap, where);
    read(j, "wobble", stage.wobblePx, where);
    read(j, "pauses", stage.pauses, where);
    read(j, "refocus", stage.refocus, where);
    read(j, "jump", stage.jump, where);
    read(j, "x", stage.startX, where);
    read(j, "y", stage.startY, where);
    read(j, "areaWidth", stage.areaWidthPx, where);
    read(j, "areaHeight", stage.areaHeightPx, where);
    read(j, "path", stage.trajectoryPath, where);
    stage.trajectoryPath = resolvePath(stage.trajectoryPath, baseDir);
    if (stage.kind == StageConfig::Kind::Trajectory && stage.trajectoryPath.empty())
        throw ConfigError("a trajectory stage needs \"path\" in " + where);
    if (stage.speedPxPerS <= 0 || stage.overlap < 0 || stage.overlap >= 0.9)
        throw ConfigError("stage speed must be positive and overlap in [0, 0.9) in " + where);
    return stage;
}

OpticsConfig parseOptics(const json &j, const std::string &where) {
    checkKeys(j, {"vignetting", "defocus", "noise", "sensorResponse"}, where);
    OpticsConfig optics;
    read(j, "vignetting", optics.vignetting, where);
    read(j, "defocus", optics.maxDefocusPx, where);
    read(j, "noise", optics.noise, where);
    read(j, "sensorResponse", optics.sensorResponse, where);
    if (optics.vignetting < 0 || optics.vignetting > 0.95 || optics.maxDefocusPx < 0 ||
        optics.noise < 0)
        throw ConfigError("optics values out of range in " + where);
    return optics;
}

FeatureOverride parseFeature(const std::string &name, const json &j, const std::string &where) {
    checkKeys(j, {"type", "min", "max", "value", "increment", "writable", "displayName", "entries"},
              where);
    FeatureOverride f;
    f.name = name;
    auto read_opt = [&](const char *key, auto &target) {
        auto it = j.find(key);
        if (it == j.end())
            return;
        try {
            target = it->get<typename std::decay_t<decltype(target)>::value_type>();
        } catch (const json::exception &) {
            throw ConfigError(std::string("wrong type for \"") + key + "\" in " + where);
        }
    };
    read_opt("type", f.type);
    read_opt("min", f.min);
    read_opt("max", f.max);
    read_opt("increment", f.increment);
    read_opt("writable", f.writable);
    read_opt("displayName", f.displayName);
    if (auto it = j.find("value"); it != j.end()) {
        if (it->is_string())
            f.stringValue = it->get<std::string>();
        else if (it->is_boolean())
            f.value = it->get<bool>() ? 1.0 : 0.0;
        else if (it->is_number())
            f.value = it->get<double>();
        else
            throw ConfigError("wrong type for \"value\" in " + where);
    }
    if (auto it = j.find("entries"); it != j.end()) {
        if (!it->is_array())
            throw ConfigError("\"entries\" must be an array in " + where);
        for (const auto &e : *it) {
            if (e.is_string()) {
                f.entries.emplace_back(e.get<std::string>(), e.get<std::string>());
            } else if (e.is_object() && e.contains("name")) {
                std::string entryName = e.at("name").get<std::string>();
                f.entries.emplace_back(entryName, e.value("displayName", entryName));
            } else {
                throw ConfigError("an entry must be a name or {name, displayName} in " + where);
            }
        }
    }
    static const std::set<std::string> types{"int", "float", "enum", "bool", "string", "command"};
    if (f.type && !types.count(*f.type))
        throw ConfigError("unknown feature type \"" + *f.type + "\" in " + where);
    return f;
}

CameraConfig parseCamera(const json &j, const std::string &baseDir, const std::string &where) {
    checkKeys(j,
              {"id", "name", "model", "width", "height", "pixelFormat", "fps", "clock", "slide",
               "stage", "optics", "missingFeatures", "features", "faults", "groundTruth"},
              where);
    CameraConfig cam;
    read(j, "id", cam.id, where);
    read(j, "name", cam.name, where);
    read(j, "model", cam.model, where);
    read(j, "width", cam.widthPx, where);
    read(j, "height", cam.heightPx, where);
    read(j, "pixelFormat", cam.pixelFormat, where);
    read(j, "fps", cam.fps, where);
    std::string clock = "wallclock";
    read(j, "clock", clock, where);
    if (clock != "wallclock" && clock != "frame")
        throw ConfigError("clock must be \"wallclock\" or \"frame\" in " + where);
    cam.frameClock = clock == "frame";
    if (cam.widthPx < 64 || cam.heightPx < 64 || cam.widthPx > 8192 || cam.heightPx > 8192 ||
        cam.widthPx % 2 || cam.heightPx % 2)
        throw ConfigError("width and height must be even and within 64..8192 in " + where);
    if (cam.fps <= 0 || cam.fps > 1000)
        throw ConfigError("fps must be within (0, 1000] in " + where);
    if (cam.pixelFormat != "RGB8" && cam.pixelFormat != "BayerRG8")
        throw ConfigError("pixelFormat must be \"RGB8\" or \"BayerRG8\" in " + where);
    if (j.contains("slide"))
        cam.slide = parseSlide(j.at("slide"), baseDir, where + ".slide");
    if (j.contains("stage"))
        cam.stage = parseStage(j.at("stage"), baseDir, where + ".stage");
    if (j.contains("optics"))
        cam.optics = parseOptics(j.at("optics"), where + ".optics");
    read(j, "missingFeatures", cam.missingFeatures, where);
    if (j.contains("features")) {
        const json &features = j.at("features");
        if (!features.is_object())
            throw ConfigError("\"features\" must be an object in " + where);
        for (const auto &item : features.items())
            cam.features.push_back(
                parseFeature(item.key(), item.value(), where + ".features." + item.key()));
    }
    if (j.contains("faults")) {
        const json &faults = j.at("faults");
        std::string fw = where + ".faults";
        checkKeys(faults,
                  {"openElsewhere", "getImageFailEvery", "acquisitionStartError", "closeError"},
                  fw);
        read(faults, "openElsewhere", cam.faults.openElsewhere, fw);
        read(faults, "getImageFailEvery", cam.faults.getImageFailEvery, fw);
        read(faults, "acquisitionStartError", cam.faults.acquisitionStartError, fw);
        read(faults, "closeError", cam.faults.closeError, fw);
        if (cam.faults.acquisitionStartError > 0 || cam.faults.closeError > 0)
            throw ConfigError("injected error codes must be negative in " + fw);
    }
    read(j, "groundTruth", cam.groundTruthPath, where);
    cam.groundTruthPath = resolvePath(cam.groundTruthPath, baseDir);
    return cam;
}

} // namespace

SimConfig defaultConfig() {
    SimConfig config;
    config.cameras.emplace_back();
    return config;
}

SimConfig parseConfig(const json &doc, const std::string &baseDir) {
    checkKeys(doc, {"cameras", "startupError"}, "the configuration");
    SimConfig config;
    read(doc, "startupError", config.startupError, "the configuration");
    if (config.startupError > 0)
        throw ConfigError("startupError must be a negative code");
    if (doc.contains("cameras")) {
        const json &cams = doc.at("cameras");
        if (!cams.is_array())
            throw ConfigError("\"cameras\" must be an array");
        for (size_t i = 0; i < cams.size(); ++i)
            config.cameras.push_back(
                parseCamera(cams[i], baseDir, "cameras[" + std::to_string(i) + "]"));
    }
    return config;
}

SimConfig loadConfigFromEnvironment() {
    const char *path = std::getenv("VMBSIM_CONFIG");
    if (!path || !*path)
        return defaultConfig();
    std::ifstream in(path);
    if (!in)
        throw ConfigError(std::string("cannot read ") + path);
    json doc;
    try {
        doc = json::parse(in);
    } catch (const json::exception &e) {
        throw ConfigError(std::string(path) + ": " + e.what());
    }
    try {
        return parseConfig(doc, std::filesystem::path(path).parent_path().string());
    } catch (const ConfigError &e) {
        throw ConfigError(std::string(path) + ": " + e.what());
    }
}

} // namespace vmbsim
