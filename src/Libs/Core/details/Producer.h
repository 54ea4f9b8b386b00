#pragma once

#include <glog/logging.h>

#include <atomic>
#include <boost/function.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstddef>
#include <exception>
#include <list>
#include <utility>
#include <vector>

namespace Varnex::Cleaner::Details {

// Runs a queue of tasks on one background thread and keeps their results for
// the owner, who polls them from its own thread. A Task is a copyable
// function object returning one Result; the filter decides which results are
// kept; the notifier is called on the worker thread when it ends (owners only
// post to, or wake, their own thread from it).
//
// What the owner can rely on:
//  - Tasks added before or while the worker runs are all run, in order, unless
//    a stop is requested: a task added while the worker is leaving is never
//    stranded, as the worker decides to end under the same lock that AddTask
//    and Start take.
//  - A stop requested right after Start() holds (Start() clears the request,
//    the worker does not). The running task finishes and its result is
//    filtered and kept; the rest of the queue is dropped.
//  - TakeResults(&out) returns false only when the worker had ended before
//    the results were taken: those are then the last ones. Reading
//    IsWorking() after taking the results would lose a result stored in
//    between.
//  - A task or filter that throws is logged and counted (GetFailedTasks());
//    the worker goes on with the next task.
//  - The destructor stops the worker and joins it. Destroying a producer from
//    its own worker thread is a programming error and ends the process.
//
// Threads: every member but the notifier's and the tasks' calls from the
// owner's thread.
template <class Task, class Result>
class Producer {
public:
    Producer(boost::function<void()> notifier, boost::function<bool(const Result&)> filter)
        : m_notifier(std::move(notifier)), m_filter(std::move(filter)) {}

    ~Producer() {
        if (m_worker.get_id() == boost::this_thread::get_id()) {
            LOG(FATAL) << "A producer cannot be destroyed from its own worker thread";
        }
        RequestStop();
        Wait();
    }

    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;

    void AddTask(Task task) {
        boost::lock_guard<boost::mutex> lock(m_tasksLock);
        m_tasks.push_back(std::move(task));
    }

    // Starts the worker unless it is running (it then takes the new tasks
    // itself). Throws boost::thread_resource_error when no thread can be made.
    void Start() {
        {
            boost::lock_guard<boost::mutex> lock(m_tasksLock);
            if (m_working.load()) {
                return;
            }
            m_working.store(true);
            m_stopRequested.store(false);
        }
        // The last worker has decided to end; it may still be notifying.
        DoJoin();
        try {
            m_worker = boost::thread([this] { DoRun(); });
        } catch (...) {
            m_working.store(false);
            throw;
        }
    }

    void Clear() {
        {
            boost::lock_guard<boost::mutex> lock(m_tasksLock);
            m_tasks.clear();
        }
        boost::lock_guard<boost::mutex> lock(m_resultsLock);
        m_results.clear();
    }

    void RequestStop() { m_stopRequested.store(true); }
    bool IsWorking() const { return m_working.load(); }

    // Every result kept so far; a second call right after returns none.
    std::vector<Result> TakeResults() {
        std::vector<Result> out;
        TakeResults(&out);
        return out;
    }

    // Appends the results kept so far to *out. False when the worker had
    // ended before they were taken: nothing more will come.
    bool TakeResults(std::vector<Result>* out) {
        const bool working = m_working.load();
        std::vector<Result> taken;
        {
            boost::lock_guard<boost::mutex> lock(m_resultsLock);
            taken.swap(m_results);
        }
        if (out->empty()) {
            out->swap(taken);
        } else {
            out->insert(out->end(), std::make_move_iterator(taken.begin()),
                        std::make_move_iterator(taken.end()));
        }
        return working;
    }

    // Joins the worker (after a stop, or once the queue is done).
    void Wait() { DoJoin(); }

    std::size_t GetFailedTasks() const { return m_failedTasks.load(); }

private:
    void DoJoin() {
        if (m_worker.joinable()) {
            m_worker.join();
        }
    }

    // Whether the worker goes on: false, with working cleared, when nothing is
    // queued or a stop was requested; decided under the tasks lock, so a task
    // added meanwhile is either in the batch or seen by Start().
    bool DoTakeBatch(std::list<Task>* batch) {
        boost::lock_guard<boost::mutex> lock(m_tasksLock);
        if (m_tasks.empty() || m_stopRequested.load()) {
            m_working.store(false);
            return false;
        }
        batch->splice(batch->end(), m_tasks);
        return true;
    }

    void DoRun() {
        std::list<Task> batch;
        while (DoTakeBatch(&batch)) {
            while (!batch.empty() && !m_stopRequested.load()) {
                DoRunOne(batch.front());
                batch.pop_front();
            }
            batch.clear();
        }
        try {
            m_notifier();
        } catch (const std::exception& e) {
            LOG(ERROR) << "A producer's finish notifier failed: " << e.what();
        }
    }

    void DoRunOne(Task& task) {
        try {
            Result result = task();
            if (m_filter(result)) {
                boost::lock_guard<boost::mutex> lock(m_resultsLock);
                m_results.push_back(std::move(result));
            }
        } catch (const std::exception& e) {
            ++m_failedTasks;
            LOG(ERROR) << "A background task failed: " << e.what();
        } catch (...) {
            ++m_failedTasks;
            LOG(ERROR) << "A background task failed";
        }
    }

    boost::thread m_worker;
    std::atomic<bool> m_working{false};
    std::atomic<bool> m_stopRequested{false};
    std::list<Task> m_tasks;
    boost::mutex m_tasksLock;
    std::vector<Result> m_results;
    boost::mutex m_resultsLock;
    boost::function<void()> m_notifier;
    boost::function<bool(const Result&)> m_filter;
    std::atomic<std::size_t> m_failedTasks{0};
};

}  // namespace Varnex::Cleaner::Details
