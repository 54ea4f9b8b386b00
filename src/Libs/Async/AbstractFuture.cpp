#include "Async/AbstractFuture.h"

#include <glog/logging.h>

#include <exception>
#include <system_error>

namespace Varnex {

namespace {
// The future whose run the current thread is executing, if any.
thread_local const AbstractFuture* currentRun = nullptr;
}  // namespace

AbstractFuture::AbstractFuture(QObject* parent) : QObject(parent) {}

AbstractFuture::~AbstractFuture() {
    Wait();
}

void AbstractFuture::Wait() const {
    if (currentRun == this) {
        LOG(ERROR) << "A background run cannot wait for itself";
        return;
    }
    std::shared_future<void> task;
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        task = m_task;
    }
    if (task.valid()) {
        task.wait();
    }
}

bool AbstractFuture::StartRun(std::function<void()> body) {
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        if (m_running.load() || currentRun == this) {
            return false;
        }
        // The previous run may still be inside its Ready(); its thread ends
        // first so that a future never has two threads.
        if (m_task.valid()) {
            m_task.wait();
        }
        m_ready.store(false);
        m_failed.store(false);
        m_canceled.store(false);
        m_running.store(true);
        try {
            m_task = std::async(std::launch::async, [this, body = std::move(body)] {
                         currentRun = this;
                         RunBody(body);
                         currentRun = nullptr;
                     }).share();
            return true;
        } catch (const std::system_error& e) {
            // Without this the running flag would stay set for ever: the
            // future could never run again and nobody waiting would hear of it.
            LOG(ERROR) << "Failed to start a background run: " << e.what();
            m_task = {};
            m_failed.store(true);
            m_running.store(false);
        }
    }
    emit Ready();
    return false;
}

void AbstractFuture::RunBody(const std::function<void()>& body) {
    bool failed = true;
    try {
        body();
        failed = false;
    } catch (const std::exception& e) {
        LOG(ERROR) << "A background computation failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << "A background computation failed with an unknown exception";
    }
    // Ready is only claimed for a value the producer finished undisturbed; an
    // empty list from a failed or stopped search is not an empty machine.
    m_failed.store(failed);
    m_ready.store(!failed && !m_canceled.load());
    m_running.store(false);
    emit Ready();
}

}  // namespace Varnex
