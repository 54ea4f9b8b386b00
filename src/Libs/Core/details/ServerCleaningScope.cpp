#include "Core/details/ServerCleaningScope.h"

#include <glog/logging.h>

#include <QElapsedTimer>
#include <algorithm>

#include "CleanerCommon/LogText.h"

#include "CleanerFS/FSCleanerServerContext.h"
#include "Core/details/PlanWalk.h"
#include "Core/details/ServerPlanning.h"
#include "Core/details/ServerRun.h"

namespace Varnex::Cleaner::Details {

namespace {

// How long StartCleaning() plans by default before it answers (when a path is
// planned by then), and how many items the walk visits between looks at the
// clock there; on the cleaning timer, between chances of a turn of the event
// loop (about a millisecond's worth, so that no turn comes late).
const int defaultSyncPlanningMs = 20;
const std::size_t walkStep = 2048;
const std::size_t timerWalkStep = 512;

}  // namespace

ServerCleaningScope::ServerCleaningScope(QObject* parent)
    : CleaningRunScope(parent), m_syncPlanningMs(defaultSyncPlanningMs) {}

ServerCleaningScope::~ServerCleaningScope() = default;

void ServerCleaningScope::CreateRemovalContext(const void* owner) {
    m_context = std::make_unique<FSCleanerServerContext>(FSCleanerServerContext::NameFor(owner));
    m_run = std::make_unique<ServerRun>(m_context->GetName());
}

QString ServerCleaningScope::GetContextName() const {
    return m_context ? m_context->GetName() : QString();
}

AbstractGarbage* ServerCleaningScope::FindItemForPath(const QString& path) const {
    return m_index.Find(path);
}

bool ServerCleaningScope::PlanItem(AbstractGarbage* item, int flags, long long unchangedSince) {
    PlannedPath planned;
    if (!m_context || !MakePlannedPath(item, flags, m_planExclusion, &planned)) {
        return false;
    }
    if (unchangedSince > 0) {
        if (!planned.hasExpected) {
            // What the scan saw is not known: there is nothing to keep it to.
            LOG(WARNING) << "Not planned: \"" << Util::LogText(item->GetPath())
                         << "\" has no identity to bound its removal by";
            return false;
        }
        planned.expected.unchangedSince = unchangedSince;
    }
    m_plan.push_back(std::move(planned));
    return true;
}

void ServerCleaningScope::PlanTree(AbstractGarbage* root, int extraFlags) {
    if (m_walk) {
        m_walk->Add(root, extraFlags);
    }
}

BatchProducer<CleaningResult>* ServerCleaningScope::PrepareCleaningRun(long long* count) {
    if (!m_context || !m_run->IsFree()) {
        return nullptr;
    }
    DropCleaningPreparation();
    if (StartCheckingBeforePlanning(count)) {
        m_checking = true;
        return m_run.get();
    }
    if (!DoBeginPlan(m_syncPlanningMs)) {
        if (!m_walk) {
            return nullptr;
        }
        // StartCleaning() answers now; the rest is planned on the timer.
        *count = static_cast<long long>(m_plan.size());
        return m_run.get();
    }
    *count = DoHandOverPlan();
    return m_run.get();
}

bool ServerCleaningScope::StartCheckingBeforePlanning(long long*) {
    return false;
}

bool ServerCleaningScope::DoBeginPlan(int budgetMs) {
    // One snapshot of the exclusions for the whole plan, handed over at once.
    // Sized for every item at once: the plan growing by doubling would move a
    // million entries in one step of the walk.
    m_plan.reserve(static_cast<std::size_t>(std::max(0LL, GetTotalItems())));
    m_planExclusion = GetExclusionTest();
    m_walk = std::make_unique<PlanWalk>(
        m_planExclusion, [this](const PlannedPath& planned) { m_plan.push_back(planned); });
    PlanItems();
    if (!m_walk) {
        return false;  // dropped while the items were planned (a reset from a signal)
    }
    return DoWalk(budgetMs);
}

bool ServerCleaningScope::DoWalk(int budgetMs) {
    QElapsedTimer clock;
    clock.start();
    while (!m_walk->Step(walkStep)) {
        if (clock.elapsed() >= budgetMs && !m_plan.empty()) {
            return false;
        }
    }
    return true;
}

bool ServerCleaningScope::ContinuePreparingCleaningRun(const RunGeneration::Ticket& ticket,
                                                       long long* count) {
    if (m_checking) {
        // The check is over: the plan is made now, from what it left selected.
        m_checking = false;
        if (DoBeginPlan(m_syncPlanningMs)) {
            *count = DoHandOverPlan();
            return ticket.IsCurrent() && IsCleaning();
        }
        if (!ticket.IsCurrent() || !IsCleaning()) {
            return false;
        }
    }
    if (!m_walk) {
        return false;
    }
    while (!m_walk->Step(timerWalkStep)) {
        // A turn may reset the scope, stop the cleaning or drop the walk:
        // then nothing of it is touched again.
        if (!GiveEventLoopATurn(ticket) || !m_walk || !IsCleaning()) {
            return false;
        }
    }
    *count = DoHandOverPlan();
    return true;
}

long long ServerCleaningScope::DoHandOverPlan() {
    m_walk.reset();
    m_planExclusion = nullptr;
    const auto count = static_cast<long long>(m_plan.size());
    std::vector<PlannedPath> plan;
    plan.swap(m_plan);
    FSCleanerServer::GetInstance().PlanToRemove(m_context->GetName(), std::move(plan));
    return count;
}

void ServerCleaningScope::DropCleaningPreparation() {
    if (m_checking) {
        m_checking = false;
        DropCheckingBeforePlanning();
    }
    m_walk.reset();
    m_planExclusion = nullptr;
    std::vector<PlannedPath>().swap(m_plan);
}

}  // namespace Varnex::Cleaner::Details
