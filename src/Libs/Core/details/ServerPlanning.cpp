#include "Core/details/ServerPlanning.h"

#include <memory>
#include <vector>

#include "CleanerCommon/FolderRemovalRights.h"
#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSCleanerServerContext.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageFile.h"

namespace Varnex::Cleaner::Details {

namespace {

const int adminFlag = FSCleanerServer::FLAG_ADMIN;

// A folder's place in the walk: its children are planned one by one, then the
// folder itself, unless something inside it stays.
struct Frame {
    GarbageDirectory* folder;
    GarbageList children;
    int next = 0;
    bool holdsKept = false;                       // an entry inside is excluded and stays
    std::unique_ptr<FolderRemovalRights> rights;  // worked out on first use
};

bool IsExcluded(const PlanExclusion& excluded, const QString& path) {
    return excluded && excluded(path);
}

void SetExpected(AbstractGarbage* item, PlannedPath* out) {
    if (auto* file = qobject_cast<GarbageFile*>(item)) {
        out->hasExpected = true;
        out->expected = FSCleanerServer::Expected{false, file->GetDevice(), file->GetInode()};
    } else if (auto* folder = qobject_cast<GarbageDirectory*>(item)) {
        out->hasExpected = true;
        out->expected = FSCleanerServer::Expected{true, folder->GetDevice(), folder->GetInode()};
    } else {
        out->hasExpected = false;
    }
}

}  // namespace

bool MakePlannedPath(AbstractGarbage* item, int flags, const PlanExclusion& excluded,
                     PlannedPath* out, const bool* admin) {
    if (!item || !item->ShouldBeRemoved()) {
        return false;
    }
    QString path = item->GetPath();
    if (IsExcluded(excluded, path)) {
        return false;
    }
    const bool needsAdmin = admin ? *admin : item->AreAdminRightsRequired();
    out->path = std::move(path);
    out->flags = flags | (needsAdmin ? adminFlag : 0);
    SetExpected(item, out);
    return true;
}

void ForEachPlannedPath(AbstractGarbage* item, int extraFlags, const PlanExclusion& excluded,
                        const std::function<void(const PlannedPath&)>& plan) {
    if (!item) {
        return;
    }
    PlannedPath planned;
    auto* folder = qobject_cast<GarbageDirectory*>(item);
    if (!folder) {
        if (qobject_cast<GarbageFile*>(item) &&
            MakePlannedPath(item, extraFlags, excluded, &planned)) {
            plan(planned);
        }
        return;
    }
    std::vector<Frame> stack;
    stack.push_back(Frame{folder, folder->GetChildren(), 0, false, nullptr});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.children.size()) {
            AbstractGarbage* child = top.children.at(top.next++);
            if (auto* sub = qobject_cast<GarbageDirectory*>(child)) {
                stack.push_back(Frame{sub, sub->GetChildren(), 0, false, nullptr});
                continue;
            }
            auto* file = qobject_cast<GarbageFile*>(child);
            if (!file || !file->ShouldBeRemoved()) {
                continue;
            }
            planned.path = file->GetPath();
            if (IsExcluded(excluded, planned.path)) {
                top.holdsKept = true;
                continue;
            }
            // The rights of a file follow from its folder's: one check a folder.
            if (!top.rights) {
                top.rights = std::make_unique<FolderRemovalRights>(top.folder->GetPath());
            }
            const bool admin = !top.rights->CanRemoveEntry(planned.path);
            planned.flags = extraFlags | (admin ? adminFlag : 0);
            planned.hasExpected = true;
            planned.expected =
                FSCleanerServer::Expected{false, file->GetDevice(), file->GetInode()};
            plan(planned);
            continue;
        }
        GarbageDirectory* done = top.folder;
        const bool holdsKept = top.holdsKept;
        stack.pop_back();
        bool kept = holdsKept;
        if (!kept && done->ShouldBeRemoved()) {
            if (MakePlannedPath(done, extraFlags, excluded, &planned)) {
                plan(planned);
            } else {
                kept = IsExcluded(excluded, done->GetPath());
            }
        }
        if (kept && !stack.empty()) {
            stack.back().holdsKept = true;
        }
    }
}

void PlanToRemoveOnServer(FSCleanerServerContext* context, AbstractGarbage* item, long long* count,
                          int extraFlags, const PlanExclusion& excluded) {
    if (!context || !item || !count) {
        return;
    }
    std::vector<PlannedPath> plan;
    ForEachPlannedPath(item, extraFlags, excluded,
                       [&plan](const PlannedPath& planned) { plan.push_back(planned); });
    FSCleanerServer::GetInstance().PlanToRemove(context->GetName(), plan);
    *count += static_cast<long long>(plan.size());
}

AbstractGarbage::Error ConvertErrorCode(int code) {
    switch (code) {
        case FSCleaner::FAILED:
            return AbstractGarbage::Error::UNKNOWN;
        case FSCleaner::REMOVED:
            return AbstractGarbage::Error::OK;
        case FSCleaner::PERMISSION_DENIED:
            return AbstractGarbage::Error::PERMISSION_DENIED;
        case FSCleaner::NOT_FOUND:
            return AbstractGarbage::Error::DOES_NOT_EXIST;
        case FSCleaner::NOT_EMPTY:
            return AbstractGarbage::Error::IS_NOT_EMPTY;
        case FSCleaner::REFUSED:
            return AbstractGarbage::Error::PERMISSION_DENIED;
        default:
            return AbstractGarbage::Error::UNKNOWN;
    }
}

bool IsCleanedCode(int code) {
    return code == FSCleaner::REMOVED || code == FSCleaner::NOT_FOUND;
}

}  // namespace Varnex::Cleaner::Details
