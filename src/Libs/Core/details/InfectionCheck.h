#pragma once

#include <QString>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "Core/ClamavLayout.h"

namespace Varnex::Cleaner::Details {

// Confirms, one file at a time, what a virus scan reported before anything
// is removed: the scan's output is one stream of "<path>: <result>" lines, and
// a file name may hold ": ", " FOUND" or a line break, so a line can name an
// innocent file. A finding stands only when
//  - the file is still the regular file the scan saw (device, inode, size),
//  - clamscan run on that one file alone exits with 1 and prints exactly
//    "<path>: <virus name> FOUND" and nothing else,
//  - and the file is unchanged afterwards.
//
// The files are checked on a thread of its own, in order; Stop() ends the
// check (the run under way is killed) and waits for it.
//
// Threads: every call from one thread; the check runs on its own.
class InfectionCheck {
public:
    struct Finding {
        QString path;
        QString name;  // the virus name the scan gave
        unsigned long long device = 0;
        unsigned long long inode = 0;
        long long size = 0;
    };
    struct Verdict {
        bool confirmed = false;
        QString reason;  // why not, for the log
        // The file's status change time when it was confirmed (ns since the
        // epoch): a removal is bound by it, so a file rewritten in place
        // after its confirmation is not removed.
        long long change = 0;
    };

    InfectionCheck() = default;
    ~InfectionCheck();
    InfectionCheck(const InfectionCheck&) = delete;
    InfectionCheck& operator=(const InfectionCheck&) = delete;

    // Stops a check under way, then checks `findings` with `layout`'s tools.
    void Start(const ClamavLayout& layout, std::vector<Finding> findings);
    bool IsWorking() const;
    void Stop();
    // One verdict per finding, in order; complete once IsWorking() is false
    // (a stopped check leaves the rest unconfirmed).
    std::vector<Verdict> TakeVerdicts();

    // Checks one finding on the calling thread; `cancel` ends it unconfirmed.
    static Verdict Check(const ClamavLayout& layout, const Finding& finding,
                         const std::atomic<bool>& cancel);

private:
    void DoRun(ClamavLayout layout, std::vector<Finding> findings);

    std::thread m_thread;
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_working{false};
    mutable std::mutex m_mutex;
    std::vector<Verdict> m_verdicts;
};

}  // namespace Varnex::Cleaner::Details
