#include "CleanerFS/ResultQueue.h"

#include <iterator>

namespace Varnex::Cleaner::Details {

ResultQueue::ResultQueue(std::size_t capacity) : m_capacity(capacity) {}

bool ResultQueue::Push(FSScanner::Results* batch) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_space.wait(lock, [&] {
        return m_stopped || m_unbounded || m_pending.empty() ||
               m_pending.size() + batch->size() <= m_capacity;
    });
    if (m_stopped) {
        batch->clear();
        return false;
    }
    if (m_pending.empty() && batch->size() >= m_capacity) {
        m_pending.swap(*batch);
    } else {
        // Room for a full queue at the first push after a take: a walker
        // holding the lock never moves the records already queued (that
        // took milliseconds at full size, while the consumer waited to take).
        if (m_pending.capacity() < m_capacity) {
            m_pending.reserve(m_capacity);
        }
        m_pending.insert(m_pending.end(), std::make_move_iterator(batch->begin()),
                         std::make_move_iterator(batch->end()));
    }
    batch->clear();
    return true;
}

FSScanner::Results ResultQueue::Take() {
    FSScanner::Results taken;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        taken.swap(m_pending);
    }
    m_space.notify_all();
    return taken;
}

bool ResultQueue::IsEmpty() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending.empty();
}

void ResultQueue::Clear() {
    FSScanner::Results dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped.swap(m_pending);
    }
    m_space.notify_all();
}

void ResultQueue::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_space.notify_all();
}

void ResultQueue::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = false;
}

void ResultQueue::SetUnbounded(bool unbounded) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unbounded = unbounded;
    }
    m_space.notify_all();
}

}  // namespace Varnex::Cleaner::Details
