#include "mosaic/livecounters.h"

#include <algorithm>
#include <cmath>

QString LiveCounters::logLine() const {
    const double share = delivered > 0 ? 100. * double(registered) / double(delivered) : 0.;
    return QStringLiteral("Live part: delivered %1, registered %2 (%3 %), skipped %4, repeated "
                          "%5, out of sync %6, step median %7 ms, p95 %8 ms")
        .arg(delivered)
        .arg(registered)
        .arg(share, 0, 'f', 1)
        .arg(skipped)
        .arg(repeated)
        .arg(outOfSync)
        .arg(stepMedianMs, 0, 'f', 2)
        .arg(stepP95Ms, 0, 'f', 2);
}

void LiveCounting::frameTaken(quint64 sequence) {
    // Frames published between two that the builder took were never taken up: skipped; unless
    // the builder was not taking frames then, or the camera started counting again.
    if (sequence > lastSequence && lastSequence > 0 && !resumeAfterPause) {
        counters.delivered += qint64(sequence - lastSequence);
        counters.skipped += qint64(sequence - lastSequence - 1);
    } else {
        counters.delivered += 1;
    }
    if (sequence > 0)
        lastSequence = sequence;
    resumeAfterPause = false;
}

void LiveCounting::stepDone(double ms, bool repeated, bool outOfSync) {
    ++counters.registered;
    counters.repeated += repeated;
    counters.outOfSync += outOfSync;
    stepsMs.push_back(float(ms));
}

LiveCounters LiveCounting::result() const {
    LiveCounters out = counters;
    if (!stepsMs.empty()) {
        std::vector<float> sorted = stepsMs;
        std::sort(sorted.begin(), sorted.end());
        // Nearest rank: the smallest step at least that share of the steps do not exceed.
        const auto rank = [&](double share) {
            const size_t at = size_t(std::ceil(share * double(sorted.size())));
            return double(sorted[std::clamp<size_t>(at, 1, sorted.size()) - 1]);
        };
        out.stepMedianMs = rank(0.5);
        out.stepP95Ms = rank(0.95);
    }
    return out;
}
