#pragma once

#include "Commands.h"

namespace Klarvik {

// `klarvik scan|clean --kind duplicates [--keep newest|oldest] [--delete]
// [--gentle] [--select PATH]... PATH...`: files with identical contents below
// the paths, one group per content with its copies. Every group keeps one
// copy (the newest by default); `--select` picks the copies to remove instead,
// and one that would take every copy of a group is refused before anything
// moves. Cleaning moves the copies to the Trash unless `--delete`. The scan
// runs at full speed unless `--gentle` (a pause before every entry, as a
// background scan of the application does).
// Main thread; returns an exit code of Commands.h.
int RunDuplicates(const Options& options);

}  // namespace Klarvik
