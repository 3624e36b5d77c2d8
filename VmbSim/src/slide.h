#pragma once

// The virtual glass slide under the simulated microscope: a procedural stained-tissue
// section or an image file, cut into tiles that are made when first looked at and kept in a
// small cache, at a few defocus blur levels.

#include "simconfig.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

namespace vmbsim {

class Slide {
public:
    static constexpr int TilePx = 256;
    static constexpr int LevelCount = 8;

    // Throws ConfigError when an image slide cannot be read.
    explicit Slide(const SlideConfig &config);

    int widthPx() const { return m_widthPx; }
    int heightPx() const { return m_heightPx; }

    // Blur sigma (pixels) of a level, and the level nearest to a sigma.
    static double levelSigma(int level);
    static int levelForSigma(double sigmaPx);

    // Makes the tiles covering [x0, x0 + w) x [y0, y0 + h) at the level ready; row() then
    // reads inside that rectangle without looking anything up. Everything outside the slide
    // is clear glass.
    void prepare(int level, int x0, int y0, int w, int h);
    // Copies n RGB pixels of slide row y starting at column x into dst (inside the prepared
    // rectangle).
    void row(int y, int x, int n, std::uint8_t *dst) const;

    // The procedural slide's level-0 pixels of one tile (exposed for the benchmarks).
    cv::Mat generateProceduralTile(int tx, int ty) const;

    size_t cachedTiles() const { return m_cache.size(); }

private:
    struct Key {
        int level, tx, ty;
        bool operator==(const Key &o) const { return level == o.level && tx == o.tx && ty == o.ty; }
    };
    struct KeyHash {
        size_t operator()(const Key &k) const {
            return (size_t(unsigned(k.tx)) * 73856093u) ^ (size_t(unsigned(k.ty)) * 19349663u) ^
                   (size_t(unsigned(k.level)) * 83492791u);
        }
    };
    struct Entry {
        cv::Mat pixels;
        std::uint64_t lastUse = 0;
    };

    const cv::Mat &tile(int level, int tx, int ty);
    cv::Mat makeTile(int level, int tx, int ty);
    cv::Mat baseTile(int tx, int ty) const;
    void evict(size_t keep);

    SlideConfig m_config;
    int m_widthPx = 0;
    int m_heightPx = 0;
    cv::Mat m_image; // image slides: the whole picture, RGB
    std::unordered_map<Key, Entry, KeyHash> m_cache;
    std::uint64_t m_useCounter = 0;

    // The prepared rectangle: tile pointers by row and column.
    int m_viewTx0 = 0, m_viewTy0 = 0, m_viewCols = 0, m_viewRows = 0;
    std::vector<const cv::Mat *> m_view;
};

} // namespace vmbsim
