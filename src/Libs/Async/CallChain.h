#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "Async/CallChainBase.h"
#include "Async/CallChainContextHelper.h"

namespace Varnex::Util {

// A list of steps run in the order given, each with its launch type, on the
// chain's background thread: a step sees everything the steps before it did.
//
// Threads: Append(), Start() and destruction belong to the owner's thread.
// Destruction waits for the steps already started.
template <typename T>
class CallChain : public CallChainBase, public CallChainContextHelper<T> {
public:
    using Step = std::pair<LaunchType, std::function<void()>>;

    CallChain() = default;
    // The steps may use the context, which goes before the base's wait.
    ~CallChain() override { Wait(); }

    // Adds a step to the pending ones without starting anything.
    void Append(LaunchType type, std::function<void()> step) {
        m_steps.emplace_back(type, std::move(step));
    }

    // Adds a step and starts every pending step.
    void Start(LaunchType type, std::function<void()> step) {
        Append(type, std::move(step));
        Start();
    }

    // Hands every pending step to the chain as one run; none is pending after.
    void Start() {
        std::vector<Step> steps;
        steps.swap(m_steps);
        Run([this, steps = std::move(steps)] {
            for (const Step& step : steps) {
                Launch(step.first, step.second);
            }
        });
    }

    bool HasPendingSteps() const { return !m_steps.empty(); }

private:
    std::vector<Step> m_steps;
};

}  // namespace Varnex::Util
