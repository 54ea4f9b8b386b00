#pragma once

#include <chrono>

namespace Varnex::Util {

// Keeps the application answering while the main thread works through a long
// batch of results: every so often the batch gives the event loop one turn.
//
// Two pieces of process-wide state are shared by every user on the main thread:
//  - m_lastUpdatePoint: when the event loop last had a turn (or a batch began);
//  - m_recursiveGuard: set by whoever is processing a batch, so that a timer
//    tick of another scope delivered during ForceUnfreeze() sees it and returns
//    instead of starting a batch inside the batch. ForceUnfreeze() does not
//    read it (its callers have it set); it has its own re-entry flag.
// Main thread only.
class GuiAntifreeze {
public:
    // A steady clock: a change of the wall clock must neither freeze the
    // application nor make every check fire.
    using Clock = std::chrono::steady_clock;

    explicit GuiAntifreeze(int intervalMs = 20);

    int GetInterval() const { return m_interval; }

    // True when more than the interval has passed since m_lastUpdatePoint.
    bool IsDue() const;

    // The check a batch runs after each result: ForceUnfreeze() when IsDue().
    // True when the event loop had a turn.
    bool UnfreezeIfDue() const;

    // Runs the posted and pending events once, leaving out user input (so a
    // click cannot act on items a running batch holds), then moves
    // m_lastUpdatePoint to now. A call made from inside that turn (an event
    // handler calling it again) returns at once.
    static void ForceUnfreeze();

    static Clock::time_point GetLastUpdatePoint() { return m_lastUpdatePoint; }
    static void SetLastUpdatePoint(Clock::time_point when = Clock::now()) {
        m_lastUpdatePoint = when;
    }
    static bool IsRecursionGuardSet() { return m_recursiveGuard; }
    // True while ForceUnfreeze() runs the event loop.
    static bool IsUnfreezing();

    // For the length of a batch: sets m_lastUpdatePoint to now and the
    // recursion guard; the destructor puts the guard's old value back.
    class BatchScope {
    public:
        BatchScope();
        ~BatchScope();
        BatchScope(const BatchScope&) = delete;
        BatchScope& operator=(const BatchScope&) = delete;

    private:
        bool m_previousGuard;
    };

    static Clock::time_point m_lastUpdatePoint;
    static bool m_recursiveGuard;

private:
    int m_interval;
};

}  // namespace Varnex::Util
