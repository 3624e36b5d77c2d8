#pragma once

// What the two programs that run the whole chain (bench_e2e_report, bench_live_chain) share:
// a browser that opens nothing, a wait on state that keeps the GUI thread's events flowing,
// and the percentile of a set of timings.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace chainrun {

// Takes the log-in page the program opens: the local service confirms by itself.
class Browser : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl &) {}
};

inline bool waitUntil(const std::function<bool()> &done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// Nearest rank, as the live builder's own counters.
inline double percentile(std::vector<double> values, double share) {
    if (values.empty())
        return 0.;
    std::sort(values.begin(), values.end());
    const size_t at = size_t(std::ceil(share * double(values.size())));
    return values[std::clamp<size_t>(at, 1, values.size()) - 1];
}

} // namespace chainrun
