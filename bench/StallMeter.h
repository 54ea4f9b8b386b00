#pragma once

#include <QElapsedTimer>
#include <QTimer>

namespace Varnex::Bench {

// The longest gap between ticks of a 2 ms timer while it runs: how long the
// event loop had no turn, overstated by at most the interval.
class StallMeter {
public:
    StallMeter();
    void Start();
    void Stop();
    double MaxMs() const { return m_max / 1e6; }

private:
    void Tick();

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_max = 0;
};

}  // namespace Varnex::Bench
