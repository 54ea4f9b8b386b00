#include "Core/details/AppsDBBackoff.h"

#include <algorithm>

namespace Varnex::Cleaner::Details::AppsDB {

constexpr std::chrono::seconds AppsDBBackoff::firstDelay;
constexpr std::chrono::seconds AppsDBBackoff::longestDelay;

std::chrono::seconds AppsDBBackoff::Fail(Clock::time_point now) {
    m_delay = m_failing ? std::min(m_delay * 2, longestDelay) : firstDelay;
    m_failing = true;
    m_retryAt = now + m_delay;
    return m_delay;
}

void AppsDBBackoff::Succeed() {
    m_failing = false;
    m_delay = std::chrono::seconds(0);
}

}  // namespace Varnex::Cleaner::Details::AppsDB
