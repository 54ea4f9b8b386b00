#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "Core/details/ServerPlanning.h"

namespace Varnex::Cleaner::Details {

// A walk of item trees in planning order that can stop and go on later, so
// that planning a million items never holds the event loop for long: each
// Step() visits a bounded number of items. Every path goes to `plan`: the
// contents of a folder before the folder, files and folders only when
// ShouldBeRemoved(); a folder holding an excluded entry is not planned itself
// (it cannot be emptied). No recursion.
//
// The items must stay alive until the walk is done or dropped (a scope drops
// its walk before it deletes items). Threads: the items' thread.
class PlanWalk {
public:
    PlanWalk(PlanExclusion excluded, std::function<void(const PlannedPath&)> plan);
    ~PlanWalk();
    PlanWalk(const PlanWalk&) = delete;
    PlanWalk& operator=(const PlanWalk&) = delete;

    // Queues a tree (or a single file) with its extra flags; trees are walked
    // in the order they were added.
    void Add(AbstractGarbage* root, int extraFlags);
    // Visits at most `budget` items; true when nothing is left to walk.
    bool Step(std::size_t budget);
    bool IsDone() const { return m_stack.empty() && m_pending.empty(); }

private:
    struct Frame;
    struct Root {
        AbstractGarbage* item;
        int extraFlags;
    };
    void DoOpen(const Root& root);
    // Plans a folder whose contents were all visited.
    void DoClose();

    const PlanExclusion m_excluded;
    const std::function<void(const PlannedPath&)> m_plan;
    std::deque<Root> m_pending;
    std::vector<Frame> m_stack;
    int m_extraFlags = 0;  // of the tree being walked
    PlannedPath m_planned;
};

}  // namespace Varnex::Cleaner::Details
