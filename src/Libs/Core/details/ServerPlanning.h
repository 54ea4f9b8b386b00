#pragma once

#include <functional>
#include <string>

#include "CleanerFS/FSCleanerServer.h"
#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

class FSCleanerServerContext;

// One path of a plan: where, with which flags, and what the scan saw there
// (for items that know it: files and folders of a scan).
using PlannedPath = FSCleanerServer::PlanEntry;

// Whether a path must never be planned although its item is selected (the
// scope's exclusions, which may have changed since the scan).
using PlanExclusion = std::function<bool(const QString& path)>;

// The rule for one item, shared by every planning scope: the item is planned
// only when ShouldBeRemoved() and not excluded; its flags are `flags`, plus 16
// when it needs administrator rights (`admin`, or AreAdminRightsRequired()
// when not given); files and folders carry what the scan saw. False when the
// item is not to be planned.
bool MakePlannedPath(AbstractGarbage* item, int flags, const PlanExclusion& excluded,
                     PlannedPath* out, const bool* admin = nullptr);

// Walks an item tree in planning order (PlanWalk) to the end and hands every
// path to plan. Used for showing what a plan would be and for small plans.
void ForEachPlannedPath(AbstractGarbage* item, int extraFlags, const PlanExclusion& excluded,
                        const std::function<void(const PlannedPath&)>& plan);

// Plans an item tree on the removal server (ForEachPlannedPath) and adds the
// number of planned paths to *count.
void PlanToRemoveOnServer(FSCleanerServerContext* context, AbstractGarbage* item, long long* count,
                          int extraFlags = 0, const PlanExclusion& excluded = {});

// What in the tree of a folder to be removed whole the exclusions leave out:
// the first entry `excluded` matches, as a log would tell it (empty: none).
// The scan never showed it and the removal would take it along, so the
// folder must be kept. Links are not followed and other mounts not entered,
// as the removal does not. A name that is not UTF-8 matches no exclusion.
std::string FindLeftOutEntry(const std::string& folder, const PlanExclusion& excluded);
// Whether a folder to be removed whole must be kept for what the exclusions
// leave out inside it (FindLeftOutEntry), told with a WARNING; a folder whose
// path cannot be encoded is kept too.
bool KeepsLeftOutEntry(const QString& folder, const PlanExclusion& excluded);

// The item error for a result code of the server: 1 (removed) gives OK; codes
// outside 0 to 5 give UNKNOWN.
AbstractGarbage::Error ConvertErrorCode(int code);

// Whether a result code counts as cleaned: removed, or no longer there.
bool IsCleanedCode(int code);

}  // namespace Varnex::Cleaner::Details
