#include "stage.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

namespace vmbsim {

namespace {

// Minimum-jerk profile: zero speed and zero acceleration at both ends of a move.
double minimumJerk(double u) {
    u = std::clamp(u, 0.0, 1.0);
    return u * u * u * (10 - 15 * u + 6 * u * u);
}

} // namespace

std::unique_ptr<Stage> Stage::create(const StageConfig &config, int slideWidthPx, int slideHeightPx,
                                     int frameWidthPx, int frameHeightPx, double maxDefocusPx) {
    if (config.kind == StageConfig::Kind::Trajectory)
        return std::make_unique<TrajectoryStage>(config.trajectoryPath);
    return std::make_unique<TourStage>(config, slideWidthPx, slideHeightPx, frameWidthPx,
                                       frameHeightPx, maxDefocusPx);
}

TourStage::TourStage(const StageConfig &config, int slideWidthPx, int slideHeightPx,
                     int frameWidthPx, int frameHeightPx, double maxDefocusPx)
    : m_config(config)
    , m_maxDefocusPx(maxDefocusPx) {
    std::mt19937 rng(config.seed);
    std::uniform_real_distribution<double> uni(0.0, 1.0);

    double areaW = config.areaWidthPx > 0 ? config.areaWidthPx
                                          : std::min(slideWidthPx * 0.5, frameWidthPx * 5.0);
    double areaH = config.areaHeightPx > 0 ? config.areaHeightPx
                                           : std::min(slideHeightPx * 0.5, frameHeightPx * 3.5);
    double x0 = config.startX >= 0 ? config.startX : (slideWidthPx - areaW) / 2;
    double y0 = config.startY >= 0 ? config.startY : (slideHeightPx - areaH) / 2;
    double rowStep = std::max(1.0, frameHeightPx * (1.0 - config.overlap));
    int rows = std::max(1, int(std::ceil(std::max(0.0, areaH - frameHeightPx) / rowStep)) + 1);
    double speed = config.speedPxPerS;

    m_moves.push_back({0, 0, x0, y0, x0, y0});
    addPause(config.pauses ? 0.8 : 0.0);
    bool jumped = false;
    for (int row = 0; row < rows; ++row) {
        double y = y0 + row * rowStep;
        double xEnd = (row % 2 == 0) ? x0 + areaW - frameWidthPx : x0;
        if (row > 0)
            addMove(m_moves.back().x1, y, speed * 0.6);
        // A row is pushed in a few strokes, each ending in a short rest.
        int strokes = config.pauses ? 2 + int(uni(rng) * 3) : 1;
        double xStart = m_moves.back().x1;
        for (int s = 1; s <= strokes; ++s) {
            double target = xStart + (xEnd - xStart) * s / strokes;
            if (s < strokes)
                target += (uni(rng) - 0.5) * 0.3 * std::abs(xEnd - xStart) / strokes;
            addMove(target, y + (uni(rng) - 0.5) * 6.0, speed * (0.7 + 0.6 * uni(rng)));
            if (config.pauses)
                addPause(0.2 + 0.9 * uni(rng));
        }
        if (config.jump && !jumped && row == std::min(1, rows - 1)) {
            // Far enough that nothing seen overlaps, fast enough that registration is lost.
            jumped = true;
            double bx = m_moves.back().x1, by = m_moves.back().y1;
            double jx = std::clamp(bx + 4.0 * frameWidthPx, 0.0,
                                   std::max(0.0, slideWidthPx - double(frameWidthPx)));
            double jy = std::clamp(by + 3.0 * frameHeightPx, 0.0,
                                   std::max(0.0, slideHeightPx - double(frameHeightPx)));
            addMove(jx, jy, speed * 12);
            addPause(1.5);
            addMove(bx, by, speed * 12);
            addPause(0.6);
        }
    }
    addMove(x0, y0, speed * 1.5);
    addPause(config.pauses ? 0.8 : 0.0);
    m_periodS = m_moves.back().t1;
    if (m_periodS <= 0)
        m_periodS = 1;

    for (int i = 0; i < 6; ++i) {
        m_wobblePhase[i] = uni(rng) * 6.2831853;
        m_wobbleFreq[i] = 0.6 + 2.8 * uni(rng);
    }
    m_refocusPeriodS = 10.0 + 6.0 * uni(rng);
}

void TourStage::addMove(double x1, double y1, double speed) {
    const Move &last = m_moves.back();
    double distance = std::hypot(x1 - last.x1, y1 - last.y1);
    // With a minimum-jerk profile the peak speed is 1.875 times the mean speed.
    double duration = std::max(0.05, 1.875 * distance / speed);
    m_moves.push_back({last.t1, last.t1 + duration, last.x1, last.y1, x1, y1});
}

void TourStage::addPause(double seconds) {
    if (seconds <= 0)
        return;
    const Move &last = m_moves.back();
    m_moves.push_back({last.t1, last.t1 + seconds, last.x1, last.y1, last.x1, last.y1});
}

Pose TourStage::at(double timeS) const {
    double t = std::fmod(std::max(0.0, timeS), m_periodS);
    auto it = std::upper_bound(m_moves.begin(), m_moves.end(), t,
                               [](double v, const Move &m) { return v < m.t1; });
    if (it == m_moves.end())
        it = std::prev(m_moves.end());
    const Move &m = *it;
    double u = m.t1 > m.t0 ? minimumJerk((t - m.t0) / (m.t1 - m.t0)) : 1.0;
    Pose pose;
    pose.x = m.x0 + (m.x1 - m.x0) * u;
    pose.y = m.y0 + (m.y1 - m.y0) * u;
    const double w = m_config.wobblePx;
    if (w > 0) {
        const double tau = 6.2831853 * timeS;
        pose.x += w * (0.6 * std::sin(tau * m_wobbleFreq[0] + m_wobblePhase[0]) +
                       0.3 * std::sin(tau * m_wobbleFreq[1] + m_wobblePhase[1]) +
                       0.1 * std::sin(tau * m_wobbleFreq[2] * 3 + m_wobblePhase[2]));
        pose.y += w * (0.6 * std::sin(tau * m_wobbleFreq[3] + m_wobblePhase[3]) +
                       0.3 * std::sin(tau * m_wobbleFreq[4] + m_wobblePhase[4]) +
                       0.1 * std::sin(tau * m_wobbleFreq[5] * 3 + m_wobblePhase[5]));
    }
    if (m_config.refocus && m_maxDefocusPx > 0) {
        // The focus drifts away during one period; in its last second the user turns the
        // knob, overshoots a little and settles on sharp.
        double p = std::fmod(std::max(0.0, timeS), m_refocusPeriodS);
        double settle = 1.0;
        double drift;
        if (p < m_refocusPeriodS - settle) {
            drift = p / (m_refocusPeriodS - settle);
        } else {
            double u2 = (p - (m_refocusPeriodS - settle)) / settle;
            drift = (1 - minimumJerk(u2)) - 0.25 * std::sin(3.14159265 * u2);
        }
        pose.defocusPx = m_maxDefocusPx * std::abs(drift);
    }
    return pose;
}

TrajectoryStage::TrajectoryStage(const std::string &path) {
    std::ifstream in(path);
    if (!in)
        throw ConfigError("cannot read trajectory " + path);
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty() || line[0] == '#')
            continue;
        for (char &c : line) {
            if (c == ',' || c == ';' || c == '\t')
                c = ' ';
        }
        std::istringstream fields(line);
        double t, x, y, focus = 0;
        if (!(fields >> t >> x >> y)) {
            if (lineNumber == 1)
                continue; // a header
            throw ConfigError(path + ":" + std::to_string(lineNumber) +
                              ": expected time, x, y[, defocus]");
        }
        fields >> focus;
        if (!m_t.empty() && t <= m_t.back())
            throw ConfigError(path + ":" + std::to_string(lineNumber) + ": times must increase");
        m_t.push_back(t);
        m_poses.push_back({x, y, std::abs(focus)});
    }
    if (m_t.empty())
        throw ConfigError("trajectory " + path + " has no positions");
}

Pose TrajectoryStage::at(double timeS) const {
    if (timeS <= m_t.front())
        return m_poses.front();
    if (timeS >= m_t.back())
        return m_poses.back();
    size_t i = size_t(std::upper_bound(m_t.begin(), m_t.end(), timeS) - m_t.begin());
    double u = (timeS - m_t[i - 1]) / (m_t[i] - m_t[i - 1]);
    const Pose &a = m_poses[i - 1], &b = m_poses[i];
    return {a.x + (b.x - a.x) * u, a.y + (b.y - a.y) * u,
            a.defocusPx + (b.defocusPx - a.defocusPx) * u};
}

} // namespace vmbsim
