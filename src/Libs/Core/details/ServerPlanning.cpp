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
// folder itself.
struct Frame {
    GarbageDirectory* folder;
    GarbageList children;
    int next = 0;
    std::unique_ptr<FolderRemovalRights> rights;  // worked out on first use
};

}  // namespace

void ForEachPlannedPath(AbstractGarbage* item, int extraFlags,
                        const std::function<void(const QString& path, int flags)>& plan) {
    if (!item) {
        return;
    }
    auto* folder = qobject_cast<GarbageDirectory*>(item);
    if (!folder) {
        if (qobject_cast<GarbageFile*>(item) && item->ShouldBeRemoved()) {
            plan(item->GetPath(), extraFlags | (item->AreAdminRightsRequired() ? adminFlag : 0));
        }
        return;
    }
    std::vector<Frame> stack;
    stack.push_back(Frame{folder, folder->GetChildren(), 0, nullptr});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.children.size()) {
            AbstractGarbage* child = top.children.at(top.next++);
            if (auto* sub = qobject_cast<GarbageDirectory*>(child)) {
                stack.push_back(Frame{sub, sub->GetChildren(), 0, nullptr});
                continue;
            }
            if (qobject_cast<GarbageFile*>(child) && child->ShouldBeRemoved()) {
                // The rights of a file follow from its folder's: one check a folder.
                if (!top.rights) {
                    top.rights = std::make_unique<FolderRemovalRights>(top.folder->GetPath());
                }
                const bool admin = !top.rights->CanRemoveEntry(child->GetPath());
                plan(child->GetPath(), extraFlags | (admin ? adminFlag : 0));
            }
            continue;
        }
        GarbageDirectory* done = top.folder;
        stack.pop_back();
        if (done->ShouldBeRemoved()) {
            plan(done->GetPath(), extraFlags | (done->AreAdminRightsRequired() ? adminFlag : 0));
        }
    }
}

void PlanToRemoveOnServer(FSCleanerServerContext* context, AbstractGarbage* item, long long* count,
                          int extraFlags) {
    if (!context || !item || !count) {
        return;
    }
    FSCleanerServer& server = FSCleanerServer::GetInstance();
    const QString& name = context->GetName();
    ForEachPlannedPath(item, extraFlags, [&](const QString& path, int flags) {
        server.PlanToRemove(name, path, flags);
        ++*count;
    });
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
