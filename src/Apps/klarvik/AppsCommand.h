#pragma once

namespace Klarvik {

// `klarvik apps`: lists the installed application bundles the way the
// application's scopes get them: the background search of the application
// folders below the system root and the home folder, split into standard and
// other vendors' applications, each with its name, identifier, last-use date
// (`mdls`, read in the background with a time limit per bundle; the creation
// time without it) and what the applications database recorded of its size
// (bundles are not measured here): the size, "stale" for a record marked dirty
// (a localization went since it was measured, so the size is shown as pending
// re-measure and left out of the total), "not measured yet", or "unavailable"
// when the database could not be read (locked by another program, say).
// Main thread; runs the event loop until the lists are ready. Returns an exit
// code of Commands.h: EXIT_FAILED when a list could not be computed or the
// recorded sizes are unavailable (the list is printed all the same, finished
// "failed", with a line on standard error saying why).
int RunApps(bool json);

}  // namespace Klarvik
