#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <future>
#include <mutex>

namespace Varnex {

// Base of Future<T>: one background run at a time, its flags and its Ready().
//
// Threads: a future is prepared, reset and destroyed on its owner's thread
// (the main thread for the futures of a cache); the flags, Wait() and Cancel()
// may be used from any thread. Ready() is emitted on the run's own thread,
// exactly once per run, after the flags hold their final values: connect to it
// with a queued connection (or a receiver living on another thread) unless the
// slot may run on that thread.
//
// Ownership: a future outlives its run. The destructor waits for the run, so a
// producer never runs on a destroyed future.
class AbstractFuture : public QObject {
    Q_OBJECT

public:
    explicit AbstractFuture(QObject* parent = nullptr);
    ~AbstractFuture() override;

    // The last run ended with a complete value: it neither threw nor was
    // canceled before it returned.
    bool IsReady() const { return m_ready.load(); }
    // A run is under way (its Ready() may still be on its way).
    bool IsRunning() const { return m_running.load(); }
    bool IsCanceled() const { return m_canceled.load(); }
    // The last run threw, or its thread could not be started. A failed run is
    // never ready: its value must not be taken for the truth.
    bool IsFailed() const { return m_failed.load(); }

    // Any thread. Turns the run's stop predicate true; a run that ends after
    // this is not ready (its producer may have given up half-way).
    void Cancel() { m_canceled.store(true); }

    // Blocks until the current run, its Ready() included, has finished;
    // returns at once when there is none. Called from the run's own thread (a
    // slot connected directly to Ready()) it logs an error and returns instead
    // of waiting for itself.
    virtual void Wait() const;
    // Wait(), then drops the stored value.
    virtual void Reset() = 0;

signals:
    void Ready();

protected:
    // Owner's thread. Starts `body` on a new thread unless a run is under way;
    // false when one is. An exception out of `body` fails the run; a thread
    // that cannot be started fails it at once (Ready() is then emitted on the
    // calling thread).
    bool StartRun(std::function<void()> body);

    // The predicate handed to producers: true once the run is canceled.
    std::function<bool()> StopPredicate() const {
        return [this] { return m_canceled.load(); };
    }

private:
    void RunBody(const std::function<void()>& body);

    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_canceled{false};
    std::atomic<bool> m_failed{false};

    mutable std::mutex m_taskMutex;
    std::shared_future<void> m_task;
};

}  // namespace Varnex
