#pragma once

#include <memory>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "Core/details/CleaningRunScope.h"
#include "Core/details/PathItemIndex.h"

namespace Varnex::Cleaner::Details {

class FSCleanerServerContext;
class ServerRun;

// The cleaning sequence of every scope that removes through the removal
// server: plan the selected items on the scope's context, start it, and poll
// its results (CleaningRunScope). Concrete scopes say which items are planned
// and with which flags (PlanItems, through PlanItem and PlanTree), and keep
// their items in the shared path index unless they find them otherwise.
//
// Threads: the scope's. A run stopped for a reset is let go at once; until the
// server has finished the path it was on, a new run is refused.
class ServerCleaningScope : public CleaningRunScope {
    Q_OBJECT
public:
    ~ServerCleaningScope() override;

    // The name of this scope's context on the removal server.
    QString GetContextName() const;

protected:
    explicit ServerCleaningScope(QObject* parent);

    // Creates the removal context, named after `owner`'s address. Once, from
    // the concrete scope's constructor.
    void CreateRemovalContext(const void* owner);
    FSCleanerServerContext* GetRemovalContext() const { return m_context.get(); }

    // Plans every selected item, through PlanItem and PlanTree.
    virtual void PlanItems() = 0;
    // Plans one item with its flags (2 whole tree, 4 trash, 8 overwrite; 16 is
    // added when the item needs administrator rights): only when
    // ShouldBeRemoved() and not excluded. True when planned.
    bool PlanItem(AbstractGarbage* item, int flags);
    // Plans an item tree: contents before their folder, each with
    // `extraFlags` and its own administrator bit.
    void PlanTree(AbstractGarbage* root, int extraFlags);

    // The items by path (the default lookup of reported paths).
    PathItemIndex& GetItemIndex() { return m_index; }
    const PathItemIndex& GetItemIndex() const { return m_index; }
    AbstractGarbage* FindItemForPath(const QString& path) const override;

    BatchProducer<CleaningResult>* PrepareCleaningRun(long long* count) override;
    bool LogsPlannedCount() const override { return true; }

private:
    std::unique_ptr<FSCleanerServerContext> m_context;
    std::unique_ptr<ServerRun> m_run;
    PathItemIndex m_index;
    // While PlanItems() runs: the plan being made and the exclusions.
    std::vector<FSCleanerServer::PlanEntry> m_plan;
    ExclusionChecker m_planExclusion;
};

}  // namespace Varnex::Cleaner::Details
