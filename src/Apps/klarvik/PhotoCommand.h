#pragma once

#include "Commands.h"

namespace Klarvik {

// `klarvik scan|clean --kind photo-vacuum [--yes|--dry-run]`: the photo
// library's main database (the library the photo application's preferences
// name below $HOME), and for clean its compaction (SQLite's VACUUM), after a
// confirmation; refused while the photo application runs. No paths.
// Main thread; returns an exit code of Commands.h.
int RunPhotoVacuum(const Options& options);

// `klarvik scan|clean --kind photo-trash [--select PATH]... [--yes|--dry-run]`:
// the photo library's trash (its deleted images, albums and folders of
// albums), and for clean its emptying by the photo application, which takes
// the trash whole: every item must be selected (all are without --select).
// The files the application lets go are then removed from the file-system
// trash, each only when it is the very file the library held. No paths.
// Main thread; returns an exit code of Commands.h.
int RunPhotoTrash(const Options& options);

}  // namespace Klarvik
