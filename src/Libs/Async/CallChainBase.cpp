#include "Async/CallChainBase.h"

#include <glog/logging.h>

#include <exception>
#include <system_error>

namespace Varnex::Util {

namespace {
// The chain whose worker the current thread is.
thread_local const CallChainBase* currentChain = nullptr;
}  // namespace

CallChainBase::CallChainBase() = default;

CallChainBase::~CallChainBase() {
    Wait();
}

void CallChainBase::Run(std::function<void()> function) {
    if (!function) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(function));
    if (m_working) {
        return;
    }
    // A worker that has left its loop may still be on its way out.
    if (m_worker.valid() && currentChain != this) {
        m_worker.wait();
    }
    m_failed.store(false);
    m_ready.store(false);
    m_running.store(true);
    m_working = true;
    try {
        m_worker = std::async(std::launch::async, [this] {
                       currentChain = this;
                       Work();
                       currentChain = nullptr;
                   }).share();
    } catch (const std::system_error& e) {
        LOG(ERROR) << "Failed to start a call chain: " << e.what();
        m_queue.clear();
        m_working = false;
        m_worker = {};
        m_failed.store(true);
        m_running.store(false);
    }
}

void CallChainBase::Launch(LaunchType type, std::function<void()> function) {
    if (!function) {
        return;
    }
    switch (type) {
        case LAUNCH_QUEUED:
            Run(std::move(function));
            return;
        case LAUNCH_OWN_THREAD:
            std::async(std::launch::async, std::move(function)).get();
            return;
        case LAUNCH_DIRECT:
            break;
    }
    function();
}

void CallChainBase::Wait() const {
    if (currentChain == this) {
        LOG(ERROR) << "A call chain cannot wait for itself";
        return;
    }
    std::shared_future<void> worker;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        worker = m_worker;
    }
    if (worker.valid()) {
        worker.wait();
    }
}

void CallChainBase::Work() {
    for (;;) {
        std::function<void()> function;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_queue.empty()) {
                m_working = false;
                m_ready.store(!m_failed.load());
                m_running.store(false);
                return;
            }
            function = std::move(m_queue.front());
            m_queue.pop_front();
        }
        try {
            function();
        } catch (const std::exception& e) {
            LOG(ERROR) << "A call chain step failed: " << e.what();
            m_failed.store(true);
        } catch (...) {
            LOG(ERROR) << "A call chain step failed with an unknown exception";
            m_failed.store(true);
        }
    }
}

}  // namespace Varnex::Util
