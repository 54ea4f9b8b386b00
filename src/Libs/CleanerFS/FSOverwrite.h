#pragma once

#include <string>

#include "CleanerFS/FSCleanerSupport.h"

namespace Varnex::Cleaner::Details {

// Overwrites the contents of the regular file `name` in dirFd and unlinks it
// (flag 8), making the overwrite reach the disk first. `seen` is what a stat
// of the entry told a moment ago.
//
// Nothing is written unless the file will go and its contents go with it:
//  - it must have a single link and be mounted nowhere else (other names
//    would keep the contents, and lose them to the overwrite);
//  - it is first renamed to a private name in its folder, which takes the
//    rights an unlink takes, and the entry under that name must be the one
//    seen; it is opened with O_NOFOLLOW | O_NONBLOCK (a link or FIFO put
//    there meanwhile is never written through);
//  - a link gained while it was overwritten keeps it from being removed.
// On any failure the file gets its name back. Holes of sparse files are left
// as holes.
//
// Returns 0 when the file was overwritten and unlinked, otherwise the errno,
// with *why telling what went wrong: ESTALE, the entry is not the one seen;
// EMLINK, other names or mounts hold its contents. Both mean it was left and
// is refused.
int ShredFile(int dirFd, const std::string& name, const FSEntryInfo& seen, std::string* why);

}  // namespace Varnex::Cleaner::Details
