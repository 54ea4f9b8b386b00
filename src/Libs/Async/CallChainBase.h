#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>

namespace Varnex::Util {

// Runs functions one after another on a background thread of the chain's own.
//
// Threads: Run(), Wait() and destruction belong to the owner's thread; the
// queries may be used from any thread; Launch() is meant for the functions
// the chain runs. A function that throws is logged at ERROR and ends there
// (the rest of that function, its later steps included, is skipped); the
// chain then reports IsFailed() and not IsReady() until the next Run() from
// idle. The destructor waits for everything queued.
class CallChainBase {
public:
    enum LaunchType {
        // At once, on the calling thread (the chain's thread inside a run).
        LAUNCH_DIRECT = 0,
        // Queued behind everything the chain already has, like Run(): for work
        // that must not hold up the current function.
        LAUNCH_QUEUED = 1,
        // On a fresh thread of its own, waited for before Launch() returns:
        // for steps that need a clean thread (their own thread-local state,
        // such as a database connection per thread). An exception passes
        // through to the caller.
        LAUNCH_OWN_THREAD = 2,
    };

    CallChainBase();
    virtual ~CallChainBase();

    CallChainBase(const CallChainBase&) = delete;
    CallChainBase& operator=(const CallChainBase&) = delete;

    // Queues `function` to run after everything queued before.
    void Run(std::function<void()> function);
    void Launch(LaunchType type, std::function<void()> function);

    // Blocks until everything queued has run; at once when idle. Called from
    // a function of this chain it logs an error and returns.
    void Wait() const;

    // Everything queued has run and nothing failed since the last start from idle.
    bool IsReady() const { return m_ready.load(); }
    bool IsRunning() const { return m_running.load(); }
    bool IsFailed() const { return m_failed.load(); }

private:
    void Work();

    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_failed{false};

    mutable std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
    bool m_working = false;
    std::shared_future<void> m_worker;
};

}  // namespace Varnex::Util
