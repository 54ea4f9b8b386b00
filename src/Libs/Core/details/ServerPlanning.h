#pragma once

#include <functional>

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

class FSCleanerServerContext;

// Walks an item tree in planning order and hands every path to plan (path,
// flags); the rules are those of PlanToRemoveOnServer below. Used for plans
// and for showing what a plan would be.
void ForEachPlannedPath(AbstractGarbage* item, int extraFlags,
                        const std::function<void(const QString& path, int flags)>& plan);

// Plans an item tree on the removal server: the contents of a folder before
// the folder, files and folders only when ShouldBeRemoved(); each path carries
// extraFlags, plus 16 when the item needs administrator rights. Adds the number
// of planned paths to *count. Folders are walked without recursion.
void PlanToRemoveOnServer(FSCleanerServerContext* context, AbstractGarbage* item, long long* count,
                          int extraFlags = 0);

// The item error for a result code of the server: 1 (removed) gives OK; codes
// outside 0 to 5 give UNKNOWN.
AbstractGarbage::Error ConvertErrorCode(int code);

// Whether a result code counts as cleaned: removed, or no longer there.
bool IsCleanedCode(int code);

}  // namespace Varnex::Cleaner::Details
