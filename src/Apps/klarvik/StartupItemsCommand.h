#pragma once

#include "Commands.h"

namespace Klarvik {

// `klarvik scan|clean --kind launch-agents|login-items [--enable PATH]...
// [--disable PATH]... [--select PATH]...`: what starts with the session or
// the machine, each item with whether it is on.
//  - launch-agents: the launchd job files of $HOME/Library/LaunchAgents and
//    of /Library/LaunchAgents and /Library/LaunchDaemons (below the system
//    root); on means launchd has the job loaded (`launchctl list`).
//  - login-items: the applications of the user's login list, with those
//    switched off earlier.
// `--enable` / `--disable` switch the named items on or off after the scan
// (`launchctl load -w` / `unload -w`; into or out of the login list), with
// either command. `clean` takes the items named by `--select` (nothing is
// selected by default): a launch agent is unloaded and its job file removed,
// but only once its job is no longer loaded; a login item is taken out of
// the login list and forgotten. No paths.
// Main thread; returns an exit code of Commands.h.
int RunStartupItems(const Options& options);

}  // namespace Klarvik
