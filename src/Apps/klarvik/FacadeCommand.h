#pragma once

#include "Commands.h"

namespace Klarvik {

// The whole product on one Cleaner, as the application drives it:
//   klarvik scopes [--json]                    every scope, its state and sizes
//   klarvik scan [SCOPE...] [--json]           all scopes by default, in parallel
//   klarvik clean SCOPE... [--yes|--dry-run] [--select PATH]...
// `args` are the scope names (ScopeNames()).
int RunFacade(const Options& options, const QStringList& args);

// The names `scan` and `clean` take, in the facade's order.
QStringList ScopeNames();

}  // namespace Klarvik
