#include "slide.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vmbsim {

namespace {

const cv::Vec3b GlassRgb(244, 242, 246);

inline int floorDiv(int a, int b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

inline std::uint32_t hash3(std::int32_t x, std::int32_t y, std::uint32_t salt) {
    std::uint32_t h =
        salt * 0x9E3779B1u ^ std::uint32_t(x) * 0x85EBCA77u ^ std::uint32_t(y) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

// Uniform in [-1, 1).
inline float lattice(std::int32_t x, std::int32_t y, std::uint32_t salt) {
    return float(hash3(x, y, salt) >> 8) * (2.0f / 16777216.0f) - 1.0f;
}

inline float smooth(float t) {
    return t * t * (3.0f - 2.0f * t);
}

// Value noise of one octave at a single point (used where a field is needed outside a tile).
float noiseAt(double x, double y, int period, std::uint32_t salt) {
    int ix = int(std::floor(x / period)), iy = int(std::floor(y / period));
    float tx = smooth(float(x / period - ix)), ty = smooth(float(y / period - iy));
    float a = lattice(ix, iy, salt), b = lattice(ix + 1, iy, salt);
    float c = lattice(ix, iy + 1, salt), d = lattice(ix + 1, iy + 1, salt);
    return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
}

// Adds one octave of value noise over the n x n block whose top-left slide pixel is (ox, oy).
// The lattice lives in slide coordinates, so neighbouring tiles join without seams.
void addOctave(cv::Mat1f &dst, int ox, int oy, int period, float amplitude, std::uint32_t salt) {
    const int n = dst.cols;
    const int i0 = floorDiv(ox, period), j0 = floorDiv(oy, period);
    const int ni = floorDiv(ox + n - 1, period) - i0 + 2;
    const int nj = floorDiv(oy + n - 1, period) - j0 + 2;
    std::vector<float> grid(size_t(ni) * nj);
    for (int j = 0; j < nj; ++j)
        for (int i = 0; i < ni; ++i)
            grid[size_t(j) * ni + i] = amplitude * lattice(i0 + i, j0 + j, salt);
    std::vector<int> xi(n);
    std::vector<float> xw(n);
    for (int x = 0; x < n; ++x) {
        int gx = ox + x;
        int i = floorDiv(gx, period);
        xi[x] = i - i0;
        xw[x] = smooth(float(gx - i * period) / period);
    }
    for (int y = 0; y < n; ++y) {
        int gy = oy + y;
        int j = floorDiv(gy, period);
        float wy = smooth(float(gy - j * period) / period);
        const float *r0 = &grid[size_t(j - j0) * ni];
        const float *r1 = r0 + ni;
        float *out = dst[y];
        for (int x = 0; x < n; ++x) {
            int i = xi[x];
            float top = r0[i] + (r0[i + 1] - r0[i]) * xw[x];
            float bottom = r1[i] + (r1[i + 1] - r1[i]) * xw[x];
            out[x] += top + (bottom - top) * wy;
        }
    }
}

inline float clamp01(float v) {
    return v < 0 ? 0 : (v > 1 ? 1 : v);
}

inline float smoothstep(float e0, float e1, float v) {
    return smooth(clamp01((v - e0) / (e1 - e0)));
}

constexpr double Sigmas[Slide::LevelCount] = {0.0, 0.6, 0.9, 1.3, 1.8, 2.4, 3.2, 4.2};

} // namespace

Slide::Slide(const SlideConfig &config)
    : m_config(config) {
    if (config.kind == SlideConfig::Kind::Image) {
        cv::Mat bgr = cv::imread(config.imagePath, cv::IMREAD_COLOR);
        if (bgr.empty())
            throw ConfigError("cannot read slide image " + config.imagePath);
        if (config.scale != 1.0)
            cv::resize(bgr, bgr, cv::Size(), config.scale, config.scale,
                       config.scale < 1.0 ? cv::INTER_AREA : cv::INTER_CUBIC);
        cv::cvtColor(bgr, m_image, cv::COLOR_BGR2RGB);
        m_widthPx = m_image.cols;
        m_heightPx = m_image.rows;
    } else {
        m_widthPx = int(config.widthPx * config.scale);
        m_heightPx = int(config.heightPx * config.scale);
    }
}

double Slide::levelSigma(int level) {
    return Sigmas[std::clamp(level, 0, LevelCount - 1)];
}

int Slide::levelForSigma(double sigmaPx) {
    int best = 0;
    for (int i = 1; i < LevelCount; ++i) {
        if (std::abs(Sigmas[i] - sigmaPx) < std::abs(Sigmas[best] - sigmaPx))
            best = i;
    }
    return best;
}

cv::Mat Slide::generateProceduralTile(int tx, int ty) const {
    constexpr int n = TilePx;
    const int ox = tx * n, oy = ty * n;
    const std::uint32_t seed = m_config.seed * 2654435761u;
    const double scale = m_config.scale;

    // The procedural slide is defined at scale 1; a scaled slide samples it more coarsely or
    // finely, which the octave periods follow.
    auto period = [&](double p) {
        return std::max(2, int(std::lround(p * scale)));
    };

    cv::Mat1f tissue(n, n, 0.0f), tears(n, n, 0.0f), stroma(n, n, 0.0f), fibreField(n, n, 0.0f),
        chromatin(n, n, 0.0f), grain(n, n, 0.0f), stain(n, n, 0.0f);
    addOctave(tissue, ox, oy, period(4096), 1.0f, seed + 1);
    addOctave(tissue, ox, oy, period(2048), 0.5f, seed + 2);
    addOctave(tissue, ox, oy, period(1024), 0.25f, seed + 3);
    addOctave(tissue, ox, oy, period(512), 0.12f, seed + 4);
    addOctave(tissue, ox, oy, period(128), 0.04f, seed + 5);
    addOctave(tears, ox, oy, period(384), 1.0f, seed + 6);
    addOctave(tears, ox, oy, period(96), 0.35f, seed + 7);
    addOctave(stroma, ox, oy, period(160), 0.5f, seed + 8);
    addOctave(stroma, ox, oy, period(64), 0.35f, seed + 9);
    addOctave(stroma, ox, oy, period(24), 0.25f, seed + 10);
    addOctave(stroma, ox, oy, period(9), 0.15f, seed + 11);
    addOctave(stroma, ox, oy, period(4), 0.08f, seed + 12);
    // Fibres are the contour lines of a smooth field: wavy, roughly parallel bands whose
    // spacing and direction change everywhere, so nothing repeats.
    addOctave(fibreField, ox, oy, period(512), 14.0f, seed + 13);
    addOctave(fibreField, ox, oy, period(128), 5.0f, seed + 14);
    addOctave(fibreField, ox, oy, period(32), 0.6f, seed + 15);
    addOctave(chromatin, ox, oy, period(4), 0.6f, seed + 16);
    addOctave(chromatin, ox, oy, period(2), 0.4f, seed + 17);
    addOctave(grain, ox, oy, period(3), 1.0f, seed + 18);
    addOctave(stain, ox, oy, period(2800), 1.0f, seed + 19);
    addOctave(stain, ox, oy, period(700), 0.4f, seed + 20);

    // Nuclei on a jittered grid, denser where a slow density field is high. Cells are
    // visited by slide coordinates, so a nucleus on a tile border is drawn in both tiles.
    const int cell = std::max(4, int(std::lround(17 * scale)));
    const int maxRadius = int(std::ceil(8 * scale)) + 2;
    cv::Mat1b nuclei(n, n, uchar(0));
    const int cx0 = floorDiv(ox - maxRadius, cell), cx1 = floorDiv(ox + n + maxRadius, cell);
    const int cy0 = floorDiv(oy - maxRadius, cell), cy1 = floorDiv(oy + n + maxRadius, cell);
    constexpr int shift = 4;
    for (int cy = cy0; cy <= cy1; ++cy) {
        for (int cx = cx0; cx <= cx1; ++cx) {
            std::uint32_t h = hash3(cx, cy, seed + 101);
            double gx = (cx + (h & 0xff) / 255.0) * cell;
            double gy = (cy + ((h >> 8) & 0xff) / 255.0) * cell;
            double density = noiseAt(gx, gy, period(700), seed + 102) +
                             0.5 * noiseAt(gx, gy, period(180), seed + 103);
            double probability = std::clamp(0.3 + 0.55 * density, 0.03, 0.92);
            if (((h >> 16) & 0xff) / 255.0 >= probability)
                continue;
            std::uint32_t h2 = hash3(cx, cy, seed + 104);
            double a = (3.0 + 4.0 * ((h2 & 0xff) / 255.0)) * scale;
            double b = a * (0.55 + 0.45 * (((h2 >> 8) & 0xff) / 255.0));
            double angle = ((h2 >> 16) & 0xff) * (180.0 / 255.0);
            int darkness = 150 + int((h2 >> 24) % 106);
            cv::ellipse(
                nuclei,
                cv::Point(int(std::lround((gx - ox) * (1 << shift))),
                          int(std::lround((gy - oy) * (1 << shift)))),
                cv::Size(int(std::lround(a * (1 << shift))), int(std::lround(b * (1 << shift)))),
                angle, 0, 360, cv::Scalar(darkness), cv::FILLED, cv::LINE_AA, shift);
        }
    }

    cv::Mat tile(n, n, CV_8UC3);
    for (int y = 0; y < n; ++y) {
        cv::Vec3b *out = tile.ptr<cv::Vec3b>(y);
        const int gy = oy + y;
        for (int x = 0; x < n; ++x) {
            const int gx = ox + x;
            float g = grain(y, x);
            float glass[3] = {GlassRgb[0] + 2.0f * g, GlassRgb[1] + 2.0f * g,
                              GlassRgb[2] + 2.0f * g};
            if (gx < 0 || gy < 0 || gx >= m_widthPx || gy >= m_heightPx) {
                out[x] = cv::Vec3b(cv::saturate_cast<uchar>(glass[0]),
                                   cv::saturate_cast<uchar>(glass[1]),
                                   cv::saturate_cast<uchar>(glass[2]));
                continue;
            }
            // Mostly tissue, with a fairly crisp edge towards the glass, and a few tears.
            float tissueAlpha =
                smoothstep(-0.62f, -0.57f, tissue(y, x)) * smoothstep(-0.72f, -0.66f, tears(y, x));
            float s = stroma(y, x);
            float st = stain(y, x) * 0.5f;
            float base[3] = {232.0f + 8 * st, 150.0f + 14 * s - 12 * st, 188.0f + 10 * s + 6 * st};
            float shade = 0.93f + 0.1f * s;
            float fibre = 0.5f + 0.5f * std::cos(fibreField(y, x) * 6.2831853f);
            fibre = fibre * fibre * fibre * (0.55f + 0.45f * clamp01(s + 0.5f));
            const float fibreRgb[3] = {205.0f, 102.0f, 158.0f};
            float c[3];
            for (int k = 0; k < 3; ++k)
                c[k] = (base[k] * shade) * (1 - 0.6f * fibre) + fibreRgb[k] * 0.6f * fibre;
            float nucleus = nuclei(y, x) / 255.0f;
            if (nucleus > 0) {
                float chrom = chromatin(y, x);
                const float nucleusRgb[3] = {92.0f + 22 * chrom, 52.0f + 18 * chrom,
                                             142.0f + 20 * chrom};
                float an = std::min(1.0f, nucleus * 1.05f);
                for (int k = 0; k < 3; ++k)
                    c[k] = c[k] * (1 - an) + nucleusRgb[k] * an;
            }
            for (int k = 0; k < 3; ++k)
                c[k] = glass[k] * (1 - tissueAlpha) + (c[k] + 3.0f * g) * tissueAlpha;
            out[x] = cv::Vec3b(cv::saturate_cast<uchar>(c[0]), cv::saturate_cast<uchar>(c[1]),
                               cv::saturate_cast<uchar>(c[2]));
        }
    }
    return tile;
}

cv::Mat Slide::baseTile(int tx, int ty) const {
    const int ox = tx * TilePx, oy = ty * TilePx;
    if (ox >= m_widthPx || oy >= m_heightPx || ox + TilePx <= 0 || oy + TilePx <= 0)
        return cv::Mat(TilePx, TilePx, CV_8UC3, cv::Scalar(GlassRgb[0], GlassRgb[1], GlassRgb[2]));
    if (m_config.kind == SlideConfig::Kind::Procedural)
        return generateProceduralTile(tx, ty);
    cv::Mat tile(TilePx, TilePx, CV_8UC3, cv::Scalar(GlassRgb[0], GlassRgb[1], GlassRgb[2]));
    cv::Rect inside = cv::Rect(ox, oy, TilePx, TilePx) & cv::Rect(0, 0, m_widthPx, m_heightPx);
    m_image(inside).copyTo(tile(inside - cv::Point(ox, oy)));
    return tile;
}

cv::Mat Slide::makeTile(int level, int tx, int ty) {
    if (level == 0)
        return baseTile(tx, ty);
    // A blurred tile needs its neighbours' sharp pixels under the blur's reach.
    const double sigma = levelSigma(level);
    const int margin = int(std::ceil(3 * sigma)) + 1;
    const int size = TilePx + 2 * margin;
    cv::Mat sharp(size, size, CV_8UC3);
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            cv::Rect part = cv::Rect(dx * TilePx + margin, dy * TilePx + margin, TilePx, TilePx) &
                            cv::Rect(0, 0, size, size);
            if (part.empty())
                continue;
            const cv::Mat &src = tile(0, tx + dx, ty + dy);
            src(part - cv::Point(dx * TilePx + margin, dy * TilePx + margin)).copyTo(sharp(part));
        }
    }
    cv::Mat blurred;
    cv::GaussianBlur(sharp, blurred, cv::Size(2 * margin + 1, 2 * margin + 1), sigma, sigma,
                     cv::BORDER_REPLICATE);
    return blurred(cv::Rect(margin, margin, TilePx, TilePx)).clone();
}

const cv::Mat &Slide::tile(int level, int tx, int ty) {
    Key key{level, tx, ty};
    auto it = m_cache.find(key);
    if (it == m_cache.end())
        it = m_cache.emplace(key, Entry{makeTile(level, tx, ty), 0}).first;
    it->second.lastUse = m_useCounter;
    return it->second.pixels;
}

void Slide::evict(size_t keep) {
    if (m_cache.size() <= keep)
        return;
    std::vector<std::pair<std::uint64_t, Key>> byAge;
    byAge.reserve(m_cache.size());
    for (const auto &[key, entry] : m_cache) {
        if (entry.lastUse != m_useCounter)
            byAge.emplace_back(entry.lastUse, key);
    }
    std::sort(byAge.begin(), byAge.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    size_t excess = m_cache.size() - keep;
    for (size_t i = 0; i < byAge.size() && i < excess; ++i)
        m_cache.erase(byAge[i].second);
}

void Slide::prepare(int level, int x0, int y0, int w, int h) {
    ++m_useCounter;
    m_viewTx0 = floorDiv(x0, TilePx);
    m_viewTy0 = floorDiv(y0, TilePx);
    m_viewCols = floorDiv(x0 + w - 1, TilePx) - m_viewTx0 + 1;
    m_viewRows = floorDiv(y0 + h - 1, TilePx) - m_viewTy0 + 1;
    m_view.assign(size_t(m_viewCols) * m_viewRows, nullptr);
    for (int r = 0; r < m_viewRows; ++r)
        for (int c = 0; c < m_viewCols; ++c)
            m_view[size_t(r) * m_viewCols + c] = &tile(level, m_viewTx0 + c, m_viewTy0 + r);
    // Room for the view, its sharp neighbours and the way back: a few frames' worth.
    size_t viewTiles = m_view.size() + 2 * (m_viewCols + m_viewRows) + 4;
    evict(std::max<size_t>(96, 4 * viewTiles));
}

void Slide::row(int y, int x, int n, std::uint8_t *dst) const {
    const int ty = floorDiv(y, TilePx) - m_viewTy0;
    const int inTileY = y - (ty + m_viewTy0) * TilePx;
    int tx = floorDiv(x, TilePx) - m_viewTx0;
    int inTileX = x - (tx + m_viewTx0) * TilePx;
    while (n > 0) {
        const cv::Mat *t = m_view[size_t(ty) * m_viewCols + tx];
        int count = std::min(n, TilePx - inTileX);
        std::memcpy(dst, t->ptr<std::uint8_t>(inTileY) + 3 * inTileX, size_t(count) * 3);
        dst += 3 * count;
        n -= count;
        ++tx;
        inTileX = 0;
    }
}

} // namespace vmbsim
