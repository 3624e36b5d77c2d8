#pragma once

#include <QMetaType>
#include <QString>
#include <QtGlobal>

#include <vector>

// How the live builder kept up during one scan part: what the camera published while the
// builder took frames, what it registered, and how long its steps took. Logged when the part
// ends and handed on for the scan's quality record.
struct LiveCounters {
    qint64 delivered = 0;  // frames the camera published while the builder was taking frames
    qint64 registered = 0; // frames the builder placed or registered (out-of-sync ones too)
    qint64 skipped = 0;    // published frames it never took up: a newer one had come first
    qint64 repeated = 0;   // registered frames whose preview was exactly the previous one's
    qint64 outOfSync = 0;  // registrations it rejected
    double stepMedianMs = 0.;
    double stepP95Ms = 0.;

    // "Live part: delivered 1800, registered 1790 (99.4 %), skipped 10, ..."
    QString logLine() const;
};

Q_DECLARE_METATYPE(LiveCounters)

// Gathers the counters of one part, frame by frame.
class LiveCounting {
public:
    // A frame the builder takes up: sequence is the camera's frame step (0 when unknown).
    void frameTaken(quint64 sequence);
    // The builder stopped taking frames for a while (not running, nobody logged in): what the
    // camera publishes meanwhile is neither delivered to it nor skipped.
    void paused() { resumeAfterPause = true; }
    void stepDone(double ms, bool repeated, bool outOfSync);

    bool empty() const { return counters.registered == 0 && counters.delivered == 0; }
    LiveCounters result() const;

private:
    LiveCounters counters;
    quint64 lastSequence = 0;
    bool resumeAfterPause = false;
    std::vector<float> stepsMs;
};
