#pragma once

#include <glog/logging.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <mutex>
#include <thread>
#include <utility>

#include "Core/details/IScanProducer.h"

namespace Varnex::Cleaner::Details {

// A task run on a worker thread as a scope's producer: a database query, a
// metadata search, anything that hands over records one by one.
//
// The task gets a Sink: Add() hands a record over, IsStopped() tells it to
// return soon, SetProgress() reports 0..1. Add() waits while `queueLimit`
// records are not taken yet (the task pauses instead of filling memory), and
// returns false at once once the producer was stopped; Wait() lifts the limit.
// A task that throws ends the run failed (an ERROR); the records it handed
// over before stay. A task that returns false has failed too.
//
// Threads: every call from one thread (the scope's); the task runs on its own.
template <class Record>
class WorkerProducer : public BatchProducer<Record> {
public:
    using Batch = typename BatchProducer<Record>::Batch;
    static constexpr std::size_t defaultQueueLimit = 65536;

    class Sink {
    public:
        // False when the producer was stopped (the record is dropped).
        bool Add(Record record) { return m_owner.DoAdd(std::move(record)); }
        bool IsStopped() const { return m_owner.m_stopRequested.load(); }
        void SetProgress(float progress) { m_owner.m_progress.store(progress); }

    private:
        friend class WorkerProducer;
        explicit Sink(WorkerProducer& owner) : m_owner(owner) {}
        WorkerProducer& m_owner;
    };
    // True when the task did its work (false or a throw: failed).
    using Task = std::function<bool(Sink&)>;

    explicit WorkerProducer(std::string name, std::size_t queueLimit = defaultQueueLimit)
        : m_name(std::move(name)), m_queueLimit(queueLimit > 0 ? queueLimit : 1) {}
    ~WorkerProducer() override {
        Stop();
        DoJoin();
    }
    WorkerProducer(const WorkerProducer&) = delete;
    WorkerProducer& operator=(const WorkerProducer&) = delete;

    // What the next Start() runs.
    void SetTask(Task task) { m_task = std::move(task); }

    // Stops and joins a run still going, then runs the task anew. False
    // without a task.
    bool Start() override {
        Stop();
        DoJoin();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Batch().swap(m_pending);
            m_working = false;
            m_failed = true;
            m_stopped = false;
            m_unlimited = false;
        }
        m_progress = 0;
        // Cleared here, not by the worker: a Stop() right after Start() holds.
        m_stopRequested = false;
        if (!m_task) {
            LOG(WARNING) << "Can't start " << m_name << ": nothing to run";
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_working = true;
            m_failed = false;
        }
        m_worker = std::thread([this, task = m_task]() { DoRun(task); });
        return true;
    }
    bool IsWorking() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_working;
    }
    bool HasFailed() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_failed;
    }
    bool WasStopped() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopped;
    }
    float GetProgress() const override { return m_progress.load(); }
    void Stop() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopRequested = true;
        }
        m_space.notify_all();
    }
    void Wait() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_unlimited = true;
        }
        m_space.notify_all();
        DoJoin();
    }

protected:
    Batch DoTakeBatch() override {
        Batch out;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            out.swap(m_pending);
        }
        m_space.notify_all();
        return out;
    }
    void DoClear() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Batch().swap(m_pending);
        }
        m_space.notify_all();
    }

private:
    void DoRun(const Task& task) {
        Sink sink(*this);
        bool done = false;
        bool threw = true;
        try {
            done = task(sink);
            threw = false;
        } catch (const std::exception& e) {
            LOG(ERROR) << m_name << " failed: " << e.what();
        } catch (...) {
            LOG(ERROR) << m_name << " failed with an unknown exception";
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        // A task that noticed the stop and returned false counts as stopped,
        // not failed; one that threw has failed whatever the stop.
        m_stopped = m_stopRequested.load();
        m_failed = threw || (!done && !m_stopped);
        m_working = false;
    }
    bool DoAdd(Record record) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_space.wait(lock, [this]() {
            return m_stopRequested.load() || m_unlimited || m_pending.size() < m_queueLimit;
        });
        if (m_stopRequested) {
            return false;
        }
        m_pending.push_back(std::move(record));
        return true;
    }
    void DoJoin() {
        if (m_worker.joinable()) {
            m_worker.join();
        }
    }

    const std::string m_name;
    const std::size_t m_queueLimit;
    Task m_task;
    std::thread m_worker;
    mutable std::mutex m_mutex;
    std::condition_variable m_space;
    Batch m_pending;
    bool m_working = false;
    bool m_failed = false;
    bool m_stopped = false;
    bool m_unlimited = false;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<float> m_progress{0};
};

}  // namespace Varnex::Cleaner::Details
