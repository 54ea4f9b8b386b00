#include "CleanerFS/FolderQueue.h"

#include <algorithm>
#include <iterator>

namespace Varnex::Cleaner::Details {

void FolderQueue::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tasks.clear();
    m_stopped = false;
    m_totalWeight = 0;
    m_doneWeight = 0;
    m_progress.store(0.0f);
}

bool FolderQueue::Push(std::vector<FolderTask>* tasks, double rootWeight) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool wasActive = m_active;
    if (m_stopped || tasks->empty()) {
        tasks->clear();
        return wasActive;
    }
    m_totalWeight += rootWeight;
    // Reversed, so that the first of the siblings is taken first.
    m_tasks.insert(m_tasks.end(), std::make_move_iterator(tasks->rbegin()),
                   std::make_move_iterator(tasks->rend()));
    tasks->clear();
    m_active = true;
    m_wakeUp.notify_all();
    return wasActive;
}

unsigned int FolderQueue::CurrentEpoch() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_epoch;
}

bool FolderQueue::Pop(unsigned int epoch, FolderTask* task) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_epoch != epoch) {
            return false;
        }
        if (!m_tasks.empty()) {
            *task = std::move(m_tasks.back());
            m_tasks.pop_back();
            ++m_busy;
            return true;
        }
        m_wakeUp.wait(lock);
    }
}

void FolderQueue::Finished(double weightDone) {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_busy;
    m_doneWeight += weightDone;
    UpdateProgressLocked();
    if (m_busy == 0 && m_tasks.empty()) {
        EndWalkLocked();
    }
}

void FolderQueue::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = true;
    m_tasks.clear();
    if (m_busy == 0 && m_active) {
        EndWalkLocked();
    }
}

bool FolderQueue::IsStopped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped;
}

bool FolderQueue::IsActive() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_active;
}

float FolderQueue::GetProgress() const {
    return m_progress.load();
}

void FolderQueue::EndWalkLocked() {
    m_active = false;
    ++m_epoch;
    if (!m_stopped) {
        // Rounding may leave the sum of the shares a hair below the total.
        m_progress.store(1.0f);
    }
    m_wakeUp.notify_all();
}

void FolderQueue::UpdateProgressLocked() {
    if (m_totalWeight <= 0) {
        return;
    }
    // Roots appended to a running walk raise the total: the estimate may then
    // fall, but what was shown stays.
    const float p = static_cast<float>(std::min(1.0, m_doneWeight / m_totalWeight));
    if (p > m_progress.load()) {
        m_progress.store(p);
    }
}

}  // namespace Varnex::Cleaner::Details
