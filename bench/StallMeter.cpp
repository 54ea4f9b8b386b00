#include "StallMeter.h"

#include <algorithm>

namespace Varnex::Bench {

StallMeter::StallMeter() {
    m_timer.setInterval(2);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
}

void StallMeter::Start() {
    m_clock.start();
    m_last = 0;
    m_timer.start();
}

void StallMeter::Stop() {
    Tick();
    m_timer.stop();
}

void StallMeter::Tick() {
    const qint64 now = m_clock.nsecsElapsed();
    m_max = std::max(m_max, now - m_last);
    m_last = now;
}

}  // namespace Varnex::Bench
