#pragma once

#include <mutex>
#include <utility>

namespace Varnex::Util {

// A value the steps of a CallChain<T> hand on to each other. Any thread.
template <typename T>
class CallChainContextHelper {
public:
    void SetContext(T value) {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        m_context = std::move(value);
    }
    T GetContext() const {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        return m_context;
    }

private:
    mutable std::mutex m_contextMutex;
    T m_context{};
};

// Steps of a CallChain<void> share nothing through the chain.
template <>
class CallChainContextHelper<void> {};

}  // namespace Varnex::Util
