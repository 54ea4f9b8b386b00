#pragma once

#include <QStringList>

#include "Commands.h"

namespace Klarvik {

// `klarvik scan|clean --kind apps|third-party-apps|leftovers`: the standard
// or the other vendors' applications (found as `klarvik apps` finds them),
// each with its groups of leftovers in the user's Library folder, or the
// leftovers of applications the database recorded that are gone. Nothing is
// selected by default; `--select PATH` (repeatable) selects an application
// by its bundle path, to remove it with its leftovers, and for leftovers also
// a single leftover by its path. Takes no paths.
// Main thread; returns an exit code of Commands.h.
int RunApplications(const Options& options);

}  // namespace Klarvik
