#include "Core/details/PlanWalk.h"

#include <utility>

#include "CleanerCommon/FolderRemovalRights.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageFile.h"

namespace Varnex::Cleaner::Details {

// A folder's place in the walk: its children are planned one by one, then the
// folder itself, unless something inside it stays.
struct PlanWalk::Frame {
    GarbageDirectory* folder;
    GarbageList children;
    int next = 0;
    bool holdsKept = false;                       // an entry inside is excluded and stays
    std::unique_ptr<FolderRemovalRights> rights;  // worked out on first use
};

namespace {

bool IsExcluded(const PlanExclusion& excluded, const QString& path) {
    return excluded && excluded(path);
}

}  // namespace

PlanWalk::PlanWalk(PlanExclusion excluded, std::function<void(const PlannedPath&)> plan)
    : m_excluded(std::move(excluded)), m_plan(std::move(plan)) {}

PlanWalk::~PlanWalk() = default;

void PlanWalk::Add(AbstractGarbage* root, int extraFlags) {
    if (root) {
        m_pending.push_back(Root{root, extraFlags});
    }
}

void PlanWalk::DoOpen(const Root& root) {
    m_extraFlags = root.extraFlags;
    if (auto* folder = qobject_cast<GarbageDirectory*>(root.item)) {
        m_stack.push_back(Frame{folder, folder->GetChildren(), 0, false, nullptr});
    } else if (qobject_cast<GarbageFile*>(root.item) &&
               MakePlannedPath(root.item, m_extraFlags, m_excluded, &m_planned)) {
        m_plan(m_planned);
    }
}

void PlanWalk::DoClose() {
    GarbageDirectory* done = m_stack.back().folder;
    bool kept = m_stack.back().holdsKept;
    m_stack.pop_back();
    bool planned = false;
    if (!kept && done->ShouldBeRemoved()) {
        planned = MakePlannedPath(done, m_extraFlags, m_excluded, &m_planned);
        if (planned) {
            m_plan(m_planned);
        }
    }
    // A folder that stays keeps its parent: one not planned while it is
    // still there, or one holding entries the scan left out (a FIFO, an
    // unreadable or excluded entry), even when everything shown in it is
    // clean already.
    if (!planned && (!done->IsClean() || done->HoldsHiddenEntries())) {
        kept = true;
    }
    if (kept && !m_stack.empty()) {
        m_stack.back().holdsKept = true;
    }
}

bool PlanWalk::Step(std::size_t budget) {
    const int adminFlag = FSCleanerServer::FLAG_ADMIN;
    for (std::size_t visited = 0; visited < budget; ++visited) {
        if (m_stack.empty()) {
            if (m_pending.empty()) {
                return true;
            }
            const Root root = m_pending.front();
            m_pending.pop_front();
            DoOpen(root);
            continue;
        }
        Frame& top = m_stack.back();
        if (top.next >= top.children.size()) {
            DoClose();
            continue;
        }
        AbstractGarbage* child = top.children.at(top.next++);
        if (auto* sub = qobject_cast<GarbageDirectory*>(child)) {
            m_stack.push_back(Frame{sub, sub->GetChildren(), 0, false, nullptr});
            continue;
        }
        auto* file = qobject_cast<GarbageFile*>(child);
        if (!file || !file->ShouldBeRemoved()) {
            // Not removed now, and still there: the folder stays too.
            top.holdsKept = top.holdsKept || !child->IsClean();
            continue;
        }
        m_planned.path = file->GetPath();
        if (IsExcluded(m_excluded, m_planned.path)) {
            top.holdsKept = true;
            continue;
        }
        // The rights of a file follow from its folder's: one check a folder.
        if (!top.rights) {
            top.rights = std::make_unique<FolderRemovalRights>(top.folder->GetPath());
        }
        const bool admin = !top.rights->CanRemoveEntry(m_planned.path);
        m_planned.flags = m_extraFlags | (admin ? adminFlag : 0);
        m_planned.hasExpected = true;
        m_planned.expected =
            FSCleanerServer::Expected{false, file->GetDevice(), file->GetInode(), file->GetBirth()};
        m_plan(m_planned);
    }
    return IsDone();
}

}  // namespace Varnex::Cleaner::Details
