#pragma once

#include "Commands.h"

namespace Klarvik {

// `klarvik scan|clean --kind antivirus [--select PATH]... PATH...`: the files
// below the paths that the installed ClamAV engine finds infected, largest
// first, with the virus name. Cleaning removes the selected findings (all of
// them unless --select names some), each only once a scan of that file alone
// confirms it; the others stay and count as not removed.
// Main thread; returns an exit code of Commands.h.
int RunAntiVirusScan(const Options& options);

// `klarvik antivirus status`: the installed engine and databases, what the
// configured locations offer and what is behind.
// `klarvik antivirus update`: brings them up to date from those locations,
// with progress on a terminal; Ctrl-C cancels.
// The locations come from the environment: KLARVIK_CLAMAV_ENGINE_URL (the
// engine's "info" document and archives), KLARVIK_CLAMAV_MIRRORS (signature
// mirrors, separated by blanks) and KLARVIK_CLAMAV_MIRROR_HOST (written into
// freshclam's configuration).
int RunAntiVirus(const QString& action, bool json);

}  // namespace Klarvik
