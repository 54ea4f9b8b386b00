#pragma once

#include "Commands.h"

namespace Klarvik {

// `klarvik scan|clean --kind photo-vacuum [--yes|--dry-run]`: the photo
// library's main database (the library the photo application's preferences
// name below $HOME), and for clean its compaction (SQLite's VACUUM), after a
// confirmation; refused while the photo application runs. No paths.
// Main thread; returns an exit code of Commands.h.
int RunPhotoVacuum(const Options& options);

}  // namespace Klarvik
