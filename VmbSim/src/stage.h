#pragma once

// The microscope stage: where the slide is under the camera at a given time. A pose is the
// slide position of the frame's top-left pixel and the current defocus.

#include "simconfig.h"

#include <memory>
#include <vector>

namespace vmbsim {

struct Pose {
    double x = 0; // slide pixels of the frame's top-left corner
    double y = 0;
    double defocusPx = 0; // blur sigma in pixels; 0 is sharp
};

class Stage {
public:
    virtual ~Stage() = default;
    virtual Pose at(double timeS) const = 0;

    // Throws ConfigError when a trajectory file cannot be read.
    static std::unique_ptr<Stage> create(const StageConfig &config, int slideWidthPx,
                                         int slideHeightPx, int frameWidthPx, int frameHeightPx,
                                         double maxDefocusPx);
};

// A person scanning by hand: serpentine rows that overlap, each row made of moves with smooth
// acceleration and pauses, a little tremor, a focus that drifts and is corrected now and
// then, and, if wished, one fast jump away and back. The tour repeats.
class TourStage : public Stage {
public:
    TourStage(const StageConfig &config, int slideWidthPx, int slideHeightPx, int frameWidthPx,
              int frameHeightPx, double maxDefocusPx);
    Pose at(double timeS) const override;
    double periodS() const { return m_periodS; }

private:
    struct Move {
        double t0, t1;
        double x0, y0, x1, y1;
    };
    void addMove(double x1, double y1, double speed);
    void addPause(double seconds);

    StageConfig m_config;
    double m_maxDefocusPx;
    std::vector<Move> m_moves;
    double m_periodS = 0;
    double m_refocusPeriodS = 13.0;
    double m_wobblePhase[6] = {};
    double m_wobbleFreq[6] = {};
};

// Positions read from a CSV file of time (s), x, y and optionally defocus sigma, one row per
// line; linear between rows, the last row held after the end.
class TrajectoryStage : public Stage {
public:
    explicit TrajectoryStage(const std::string &path);
    Pose at(double timeS) const override;

private:
    std::vector<double> m_t;
    std::vector<Pose> m_poses;
};

} // namespace vmbsim
