#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace Varnex::Cleaner::Details {

// What a scope scans with: a background source of results (the file-system
// scanner, a child process read line by line, a query on a worker thread).
// The scope's poll reads IsWorking() first and then takes a batch; a poll that
// saw the producer not working and took nothing ends the scan. So a producer
// must never report a result after it has answered IsWorking() false.
//
// Threads: every call comes from the scope's thread; the work itself runs
// wherever the producer likes.
class IScanProducer {
public:
    virtual ~IScanProducer() = default;

    // Starts the work with what the producer was given beforehand. False when
    // it could not start (nothing runs then; the scan finishes FAILED).
    virtual bool Start() = 0;
    // Moves what arrived since the previous call into the current batch
    // (replacing it); the number of records taken.
    virtual std::size_t TakeBatch() = 0;
    // True until the work is over.
    virtual bool IsWorking() const = 0;
    // True when the work ended in a failure (a child process that exited with
    // an error, a query that could not run). Read once IsWorking() is false.
    virtual bool HasFailed() const { return false; }
    // True when the work ended because it was asked to stop (or was stopped
    // by someone else). Read once IsWorking() is false.
    virtual bool WasStopped() const { return false; }
    // 0..1; the scope never shows it going back.
    virtual float GetProgress() const { return 0.0f; }
    // Asks the work to end; it may still be working when this returns.
    virtual void Stop() = 0;
    // Blocks until the work has ended.
    virtual void Wait() = 0;
    // Drops pending and current results.
    virtual void Clear() = 0;
};

// A producer of records of one type; the scope reads the current batch.
template <class Record>
class BatchProducer : public IScanProducer {
public:
    using Batch = std::vector<Record>;

    std::size_t TakeBatch() final {
        m_batch = DoTakeBatch();
        return m_batch.size();
    }
    void Clear() final {
        DoClear();
        Batch().swap(m_batch);
    }
    const Batch& GetBatch() const { return m_batch; }
    // Frees the current batch once it has been applied.
    void ReleaseBatch() { Batch().swap(m_batch); }
    // Hands the current batch over (the producer keeps none).
    Batch MoveBatch() {
        Batch out;
        out.swap(m_batch);
        return out;
    }

protected:
    virtual Batch DoTakeBatch() = 0;
    virtual void DoClear() = 0;

private:
    Batch m_batch;
};

}  // namespace Varnex::Cleaner::Details
