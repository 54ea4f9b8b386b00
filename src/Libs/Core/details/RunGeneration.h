#pragma once

#include <cstdint>
#include <memory>

namespace Varnex::Cleaner::Details {

// Tells a batch that is being applied whether the items it holds are still
// the scope's: a turn of the event loop, or a slot connected directly to a
// scope's signal, may reset or destroy the scope under it. A batch takes a
// Ticket before it starts and asks it after every such point; once the
// generation has moved on (Advance(), or the RunGeneration destroyed) the
// batch must return at once, touching neither the scope nor its items.
//
// While a batch holds a Ticket the generation is busy: a scope that drops its
// items then hands them to deleteLater(), since the item whose signal led to
// the drop is still on the stack.
//
// Threads: the scope's only.
class RunGeneration {
    struct State {
        std::uint64_t value = 0;
        int busy = 0;
    };

public:
    class Ticket {
    public:
        ~Ticket() { --m_state->busy; }
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;
        bool IsCurrent() const { return m_state->value == m_value; }

    private:
        friend class RunGeneration;
        explicit Ticket(std::shared_ptr<State> state)
            : m_state(std::move(state)), m_value(m_state->value) {
            ++m_state->busy;
        }
        std::shared_ptr<State> m_state;
        std::uint64_t m_value;
    };

    RunGeneration() : m_state(std::make_shared<State>()) {}
    ~RunGeneration() { Advance(); }
    RunGeneration(const RunGeneration&) = delete;
    RunGeneration& operator=(const RunGeneration&) = delete;

    Ticket Take() const { return Ticket(m_state); }
    // Every ticket taken so far stops being current.
    void Advance() { ++m_state->value; }
    // True while some batch holds a ticket.
    bool IsBusy() const { return m_state->busy > 0; }

private:
    std::shared_ptr<State> m_state;
};

}  // namespace Varnex::Cleaner::Details
