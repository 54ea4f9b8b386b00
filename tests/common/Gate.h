#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Varnex::Test {

// A one-way latch for holding a background run at a known point. Waits are
// bounded only so that a broken test fails instead of hanging.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    // True when opened within the bound.
    bool WaitOpen(std::chrono::milliseconds bound = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, bound, [this] { return m_open; });
    }
    bool IsOpen() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_open;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};

}  // namespace Varnex::Test
