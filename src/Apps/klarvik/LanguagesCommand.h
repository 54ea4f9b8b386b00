#pragma once

#include "Commands.h"

namespace Klarvik {

// `klarvik scan|clean --kind app-languages|system-languages`: the unused
// localizations of the installed applications (found as `klarvik apps` finds
// them) or of the system library folders, grouped by language, with the
// applications database as their cache. Nothing is selected by default;
// `--select language://NAME` selects a language (repeatable). Takes no paths.
// Main thread; returns an exit code of Commands.h.
int RunLanguages(const Options& options);

// The folders those scans look below (the home folder, the system root's
// application and library folders): an --exclude is spelled below each.
QStringList LanguageSearchRoots();

}  // namespace Klarvik
