#pragma once

#include <chrono>

namespace Varnex::Cleaner::Details::AppsDB {

// When to try a database file again after it was found locked: not before a
// delay that starts at one second and doubles with every failure in a row, up
// to a minute; a success starts over. Not thread-safe: the caller locks.
class AppsDBBackoff {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds firstDelay{1};
    static constexpr std::chrono::seconds longestDelay{60};

    // Whether the file may be tried at `now`.
    bool MayTry(Clock::time_point now) const { return !m_failing || now >= m_retryAt; }
    // A failure at `now`; returns how long no call tries the file.
    std::chrono::seconds Fail(Clock::time_point now);
    void Succeed();

private:
    bool m_failing = false;
    std::chrono::seconds m_delay{0};
    Clock::time_point m_retryAt;
};

}  // namespace Varnex::Cleaner::Details::AppsDB
