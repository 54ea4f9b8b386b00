#pragma once

#include <glog/logging.h>

#include <QThread>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "Async/AbstractAsyncCache.h"
#include "Async/Future.h"

namespace Varnex {

// The latest value of a computation that can be re-run, restarted and
// cancelled, shared (std::shared_ptr, made with std::make_shared) between the
// objects that read it.
//
// Threads: create, SetFunction(), Refresh(), Invalidate(), CallOnReady() and
// destroy on the main thread. GetFuture(), GetValue(), Cancel() and the
// queries may be called from any thread, producers of other caches included.
//
// Ownership: the cache owns its current future and every replaced future whose
// run has not ended yet. Readers get shared snapshots of a future, so a
// replacement never deletes a future under them. Destroying the cache cancels
// every run it started and waits for them, so a producer never outlives the
// cache (nor whatever its owner let the producer capture). Futures are
// deleted on the cache's thread; let snapshots go before the cache goes, or the
// last one is deleted wherever it is dropped.
template <typename T>
class AsyncCache : public AbstractAsyncCache {
public:
    using Producer = std::function<T(std::function<bool()>)>;
    using FuturePtr = std::shared_ptr<Future<T>>;

    explicit AsyncCache(QObject* parent = nullptr) : AbstractAsyncCache(parent) {}

    ~AsyncCache() override {
        DropCurrent();
        for (auto& orphan : m_orphans) {
            orphan.second->Wait();
        }
        m_orphans.clear();
        m_retired.clear();
        m_producer = nullptr;
    }

    // A producer that is given the stop predicate.
    void SetFunction(Producer producer) { m_producer = std::move(producer); }
    // A producer that cannot stop early.
    void SetFunction(std::function<T()> function) {
        if (!function) {
            m_producer = nullptr;
            return;
        }
        m_producer = [function = std::move(function)](const std::function<bool()>&) {
            return function();
        };
    }

    // Replaces the current future by a new run of the producer.
    void Refresh() override {
        DCHECK(QThread::currentThread() == thread());
        Invalidate();
        PurgeRetired();
        auto future = std::make_shared<Future<T>>(m_producer);
        const std::uint64_t serial = ++m_serial;
        // Queued even when the future fails to start on this thread, and
        // sorted out here by serial: a Ready() already on its way from a
        // replaced run is never taken for the new run's.
        connect(
            future.get(), &AbstractFuture::Ready, this, [this, serial] { OnFutureReady(serial); },
            Qt::QueuedConnection);
        {
            std::lock_guard<std::mutex> lock(m_futureMutex);
            m_future = future;
        }
        // Cleared before the run reads anything: a writer marking the value
        // stale while the run starts keeps its mark.
        ClearInvalidated();
        if (!future->Prepare() && !future->IsFailed()) {
            LOG(WARNING) << "A cache without a function was refreshed";
            SetInvalidated();
        }
    }

    // Drops the current future: its run is canceled, and the cache keeps it
    // until the run has ended. IsReady() is false until the next Refresh().
    void Invalidate() override {
        DCHECK(QThread::currentThread() == thread());
        DropCurrent();
    }

    void Cancel() override {
        if (FuturePtr future = GetFuture()) {
            future->Cancel();
        }
    }

    bool IsReady() const override {
        FuturePtr future = GetFuture();
        return future && future->IsReady();
    }
    bool IsRunning() const override {
        FuturePtr future = GetFuture();
        return future && future->IsRunning();
    }
    bool IsCanceled() const override {
        FuturePtr future = GetFuture();
        return future && future->IsCanceled();
    }
    bool IsFailed() const override {
        FuturePtr future = GetFuture();
        return future && future->IsFailed();
    }

    // Any thread: the current future, or null. The snapshot stays valid
    // however the cache is refreshed meanwhile.
    FuturePtr GetFuture() const {
        std::lock_guard<std::mutex> lock(m_futureMutex);
        return m_future;
    }

    // Any thread: waits for the current run and returns its value when it is
    // ready, a default T otherwise (no run, canceled, failed); *ok tells
    // which. Never starts a computation.
    T GetValue(bool* ok = nullptr) const {
        if (FuturePtr future = GetFuture()) {
            return future->GetValue(ok);
        }
        if (ok) {
            *ok = false;
        }
        return T();
    }

private:
    void DropCurrent() {
        FuturePtr old;
        {
            std::lock_guard<std::mutex> lock(m_futureMutex);
            old = std::move(m_future);
            m_future.reset();
        }
        if (old) {
            old->Cancel();
            if (old->IsRunning()) {
                m_orphans.emplace(m_serial, std::move(old));
            } else {
                Release(std::move(old));
            }
        }
        SetInvalidated();
    }

    // A future is a QObject of this thread and is deleted here, never by the
    // reader on another thread that happens to hold the last snapshot: one
    // that readers still hold waits in m_retired until they let it go.
    void Release(FuturePtr future) {
        if (future.use_count() > 1) {
            m_retired.push_back(std::move(future));
        }
    }

    void PurgeRetired() {
        // Nobody else can take a new reference to a retired future, so a count
        // of one stays one.
        m_retired.erase(std::remove_if(m_retired.begin(), m_retired.end(),
                                       [](const FuturePtr& f) { return f.use_count() == 1; }),
                        m_retired.end());
    }

    void OnFutureReady(std::uint64_t serial) {
        if (serial == m_serial && GetFuture()) {
            emit Ready();
            return;
        }
        // A replaced run has ended (the future's destructor only waits for
        // the thread to leave its Ready()).
        auto orphan = m_orphans.find(serial);
        if (orphan != m_orphans.end()) {
            FuturePtr future = std::move(orphan->second);
            m_orphans.erase(orphan);
            Release(std::move(future));
        }
        PurgeRetired();
    }

    Producer m_producer;
    mutable std::mutex m_futureMutex;
    FuturePtr m_future;
    // Main thread only: the serial of the current future's run, and the
    // replaced futures still running, by serial.
    std::uint64_t m_serial = 0;
    std::map<std::uint64_t, FuturePtr> m_orphans;
    // Main thread only: replaced futures that readers still hold.
    std::vector<FuturePtr> m_retired;
};

}  // namespace Varnex
