#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "CleanerFS/FSScanner.h"

namespace Varnex::Cleaner::Details {

// The records walkers have found and the consumer has not taken yet.
//
// Bounded: a walker that would push the queue beyond its capacity waits until
// the consumer takes the records, so memory stays flat when the consumer is
// slow. A batch larger than the capacity is accepted once the queue is empty.
// Stop() releases waiting walkers and drops what they push until Reset();
// SetUnbounded() lifts the bound (a Wait() without a consumer must end).
//
// Thread-safe: walkers push, the owner takes.
class ResultQueue {
public:
    explicit ResultQueue(std::size_t capacity);
    ResultQueue(const ResultQueue&) = delete;
    ResultQueue& operator=(const ResultQueue&) = delete;

    // Moves the batch in, in order (the batch is left empty). False when it was
    // dropped because of Stop().
    bool Push(FSScanner::Results* batch);
    // Everything pending, in push order; O(1).
    FSScanner::Results Take();
    bool IsEmpty() const;
    void Clear();

    void Stop();
    void Reset();  // forgets a Stop()
    void SetUnbounded(bool unbounded);

private:
    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_space;
    FSScanner::Results m_pending;
    bool m_stopped = false;
    bool m_unbounded = false;
};

}  // namespace Varnex::Cleaner::Details
