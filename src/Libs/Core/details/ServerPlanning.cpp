#include "Core/details/ServerPlanning.h"

#include <dirent.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>

#include <limits>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSCleanerServerContext.h"
#include "CleanerFS/FSCleanerSupport.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageFile.h"
#include "Core/details/GarbageLaunchAgent.h"
#include "Core/details/GarbageLeftover.h"
#include "Core/details/PlanWalk.h"
#include "Platform/PathCodec.h"
#include "QtUtil/Utf8.h"

namespace Varnex::Cleaner::Details {

namespace {

const int adminFlag = FSCleanerServer::FLAG_ADMIN;

bool IsExcluded(const PlanExclusion& excluded, const QString& path) {
    return excluded && excluded(path);
}

void SetExpected(AbstractGarbage* item, PlannedPath* out) {
    if (auto* file = qobject_cast<GarbageFile*>(item)) {
        out->hasExpected = true;
        out->expected = FSCleanerServer::Expected{file->IsFolder(), file->GetDevice(),
                                                  file->GetInode(), file->GetBirth()};
    } else if (auto* folder = qobject_cast<GarbageDirectory*>(item)) {
        out->hasExpected = true;
        out->expected = FSCleanerServer::Expected{true, folder->GetDevice(), folder->GetInode(),
                                                  folder->GetBirth()};
    } else if (auto* leftover = qobject_cast<GarbageLeftover*>(item);
               leftover && leftover->HasIdentity()) {
        out->hasExpected = true;
        out->expected = FSCleanerServer::Expected{leftover->IsDirectory(), leftover->GetDevice(),
                                                  leftover->GetInode(), leftover->GetBirth()};
    } else if (auto* job = qobject_cast<GarbageLaunchAgent*>(item)) {
        out->hasExpected = true;
        out->expected =
            FSCleanerServer::Expected{false, job->GetDevice(), job->GetInode(), job->GetBirth()};
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
    PlanWalk walk(excluded, plan);
    walk.Add(item, extraFlags);
    while (!walk.Step(std::numeric_limits<std::size_t>::max())) {
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

std::string FindLeftOutEntry(const std::string& folder, const PlanExclusion& excluded) {
    FSEntryInfo top;
    if (StatEntry(AT_FDCWD, folder.c_str(), &top) != 0) {
        return std::string();  // gone: the removal tells it
    }
    std::vector<std::string> folders{folder};
    while (!folders.empty()) {
        const std::string at = std::move(folders.back());
        folders.pop_back();
        DIR* dir = ::opendir(at.c_str());
        if (!dir) {
            continue;  // unreadable: the removal fails on it
        }
        while (const dirent* entry = ::readdir(dir)) {
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            const std::string path = at + '/' + name;
            const QString text = Util::Utf8ToQString(path);
            if (!text.isNull() && IsExcluded(excluded, text)) {
                ::closedir(dir);
                return "\"" + Util::LogText(text) + "\"";
            }
            // Files need no look of their own; a folder is entered only on
            // the tree's own mount (a bind mount may lead back above it).
            FSEntryInfo info;
            if ((entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) &&
                StatEntry(AT_FDCWD, path.c_str(), &info) == 0 && S_ISDIR(info.mode) &&
                !IsOtherMount(top, info)) {
                folders.push_back(path);
            }
        }
        ::closedir(dir);
    }
    return std::string();
}

bool KeepsLeftOutEntry(const QString& folder, const PlanExclusion& excluded) {
    std::string bytes;
    const std::string leftOut = Platform::EncodePath(folder, &bytes)
                                    ? FindLeftOutEntry(bytes, excluded)
                                    : std::string("its path cannot be encoded");
    if (leftOut.empty()) {
        return false;
    }
    LOG(WARNING) << "Holds what is left out (" << leftOut << "), not removed: \""
                 << Util::LogText(folder) << "\"";
    return true;
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
            return AbstractGarbage::Error::REFUSED;
        default:
            return AbstractGarbage::Error::UNKNOWN;
    }
}

bool IsCleanedCode(int code) {
    return code == FSCleaner::REMOVED || code == FSCleaner::NOT_FOUND;
}

}  // namespace Varnex::Cleaner::Details
