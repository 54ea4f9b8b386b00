#pragma once

#include <functional>
#include <mutex>
#include <utility>

#include "Async/AbstractFuture.h"

namespace Varnex {

// One computation of a T on a thread of its own.
//
// The producer is given the stop predicate and should poll it in long loops.
// Prepare(), Reset() and destruction belong to the owner's thread; GetValue()
// and the flags may be used from any thread. A run that throws is logged at
// ERROR and ends failed (IsFailed(), not ready); its Ready() is still emitted.
template <typename T>
class Future : public AbstractFuture {
public:
    using Producer = std::function<T(std::function<bool()>)>;

    explicit Future(Producer producer, QObject* parent = nullptr)
        : AbstractFuture(parent), m_producer(std::move(producer)) {}

    // The run reads m_producer and writes m_result: it must end before they go.
    ~Future() override { Wait(); }

    // Starts a run; false when one is under way or there is no producer.
    bool Prepare() {
        if (!m_producer) {
            return false;
        }
        return StartRun([this] {
            T value = m_producer(StopPredicate());
            std::lock_guard<std::mutex> lock(m_resultMutex);
            m_result = std::move(value);
        });
    }

    void Reset() override {
        Wait();
        std::lock_guard<std::mutex> lock(m_resultMutex);
        m_result = T();
    }

    // Any thread; blocks until the current run has ended. The run's value when
    // it is ready, otherwise a default T; *ok tells which.
    T GetValue(bool* ok = nullptr) const {
        Wait();
        const bool ready = IsReady();
        if (ok) {
            *ok = ready;
        }
        if (!ready) {
            return T();
        }
        std::lock_guard<std::mutex> lock(m_resultMutex);
        return m_result;
    }

private:
    Producer m_producer;
    mutable std::mutex m_resultMutex;
    T m_result{};
};

}  // namespace Varnex
