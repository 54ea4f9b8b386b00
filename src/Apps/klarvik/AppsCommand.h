#pragma once

namespace Klarvik {

// `klarvik apps`: lists the installed application bundles the way the
// application's scopes get them: the background search of the application
// folders below the system root and the home folder, split into standard and
// other vendors' applications, each with its name, identifier, last-use date
// (`mdls`, the creation time without it) and the size the applications
// database recorded for it, if any (bundles are not measured here).
// Main thread; runs the event loop until the lists are ready. Returns an exit
// code of Commands.h: EXIT_FAILED when a list could not be computed.
int RunApps(bool json);

}  // namespace Klarvik
