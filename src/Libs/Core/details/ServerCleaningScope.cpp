#include "Core/details/ServerCleaningScope.h"

#include "CleanerFS/FSCleanerServerContext.h"
#include "Core/details/ServerPlanning.h"
#include "Core/details/ServerRun.h"

namespace Varnex::Cleaner::Details {

ServerCleaningScope::ServerCleaningScope(QObject* parent) : CleaningRunScope(parent) {}

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

bool ServerCleaningScope::PlanItem(AbstractGarbage* item, int flags) {
    PlannedPath planned;
    if (!m_context || !MakePlannedPath(item, flags, m_planExclusion, &planned)) {
        return false;
    }
    m_plan.push_back(std::move(planned));
    return true;
}

void ServerCleaningScope::PlanTree(AbstractGarbage* root, int extraFlags) {
    if (!m_context) {
        return;
    }
    ForEachPlannedPath(root, extraFlags, m_planExclusion,
                       [this](const PlannedPath& planned) { m_plan.push_back(planned); });
}

BatchProducer<CleaningResult>* ServerCleaningScope::PrepareCleaningRun(long long* count) {
    if (!m_context || !m_run->IsFree()) {
        return nullptr;
    }
    // One snapshot of the exclusions for the whole plan, handed over at once.
    m_plan.clear();
    m_planExclusion = GetExclusionTest();
    PlanItems();
    m_planExclusion = nullptr;
    *count = static_cast<long long>(m_plan.size());
    FSCleanerServer::GetInstance().PlanToRemove(m_context->GetName(), m_plan);
    std::vector<PlannedPath>().swap(m_plan);
    return m_run.get();
}

}  // namespace Varnex::Cleaner::Details
