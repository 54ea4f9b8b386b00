#pragma once

#include <memory>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "Core/details/CleaningRunScope.h"
#include "Core/details/PathItemIndex.h"

namespace Varnex::Cleaner::Details {

class FSCleanerServerContext;
class PlanWalk;
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
    // How long StartCleaning() plans before it answers, once a path is
    // planned (default 20 ms); the rest is planned on the cleaning timer.
    void SetPlanningTimeBeforeAnswer(int ms) { m_syncPlanningMs = ms > 0 ? ms : 0; }

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
    // ShouldBeRemoved() and not excluded. True when planned. For a whole
    // tree, `unchangedSince` (ns since the epoch, 0: none) keeps what inside
    // changed after it (FSCleanerServer::Expected::unchangedSince).
    bool PlanItem(AbstractGarbage* item, int flags, long long unchangedSince = 0);
    // Plans an item tree: contents before their folder, each with
    // `extraFlags` and its own administrator bit. Trees are walked after
    // PlanItems() returns, in the order given; a large one may be walked on
    // during the first turns of the cleaning timer (the scope is CLEANING
    // then, and the server starts once the whole plan is made).
    void PlanTree(AbstractGarbage* root, int extraFlags);

    // A scope whose selected items must be checked in the background before
    // any is planned starts that check here and returns true; planning (and
    // so PlanItems()) waits until IsCheckingBeforePlanning() is false. The
    // number of items checked stands for the plan's size meanwhile; 0 refuses
    // the cleaning.
    virtual bool StartCheckingBeforePlanning(long long* count);
    virtual bool IsCheckingBeforePlanning() const { return false; }
    // Ends a check under way (a stop or a reset before anything was planned).
    virtual void DropCheckingBeforePlanning() {}

    // The items by path (the default lookup of reported paths).
    PathItemIndex& GetItemIndex() { return m_index; }
    const PathItemIndex& GetItemIndex() const { return m_index; }
    AbstractGarbage* FindItemForPath(const QString& path) const override;

    BatchProducer<CleaningResult>* PrepareCleaningRun(long long* count) override;
    bool IsPreparingCleaningRun() const override { return m_walk != nullptr || m_checking; }
    bool IsPreparationWaiting() const override { return m_checking && IsCheckingBeforePlanning(); }
    bool ContinuePreparingCleaningRun(const RunGeneration::Ticket& ticket,
                                      long long* count) override;
    void DropCleaningPreparation() override;
    bool LogsPlannedCount() const override { return true; }

private:
    // Starts the plan: PlanItems(), then the walk of the trees for at most
    // `budgetMs`. True when the plan is complete.
    bool DoBeginPlan(int budgetMs);
    // Walks on until the walk is done, or until `budgetMs` have passed and at
    // least one path is planned; true when done.
    bool DoWalk(int budgetMs);
    // Hands the finished plan to the server; its size.
    long long DoHandOverPlan();

    std::unique_ptr<FSCleanerServerContext> m_context;
    std::unique_ptr<ServerRun> m_run;
    PathItemIndex m_index;
    // While a plan is made: the plan, the walk of the trees still to plan
    // (null once done) and the exclusions.
    std::vector<FSCleanerServer::PlanEntry> m_plan;
    std::unique_ptr<PlanWalk> m_walk;
    ExclusionChecker m_planExclusion;
    int m_syncPlanningMs;
    bool m_checking = false;  // StartCheckingBeforePlanning() is under way
};

}  // namespace Varnex::Cleaner::Details
