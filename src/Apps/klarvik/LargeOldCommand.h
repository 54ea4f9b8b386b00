#pragma once

#include "Commands.h"

namespace Klarvik {

// `klarvik scan|clean --kind large-old [--select PATH]... PATH...`: files of
// ten million bytes or more below the paths (a package such as an
// application or a photo library as one item), largest first, each with its
// size, last-used date (the creation date when none is known) and kind.
// Nothing is selected by default: cleaning removes exactly the items named
// with --select, after a confirmation (--yes, --dry-run as for the other
// kinds), a package as a whole.
// Main thread; returns an exit code of Commands.h.
int RunLargeOld(const Options& options);

}  // namespace Klarvik
