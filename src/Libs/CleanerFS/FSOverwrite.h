#pragma once

#include <string>

#include "CleanerFS/FSCleanerSupport.h"

namespace Varnex::Cleaner::Details {

// Overwrites the contents of the regular file `name` in dirFd before it is
// unlinked (flag 8), and makes the overwrite reach the disk. `seen` is what a
// stat of the entry told a moment ago.
//
// The file is opened with O_NOFOLLOW | O_NONBLOCK (a link or a FIFO put there
// meanwhile is never written through) and fstat must show the inode that was
// seen. Only a regular file with a single link is overwritten: with more links
// the contents belong to the other names too, and unlinking this one would
// leave them on the disk, so such a file is refused and left (EMLINK).
// Holes of sparse files are left as holes.
//
// Returns 0 when the entry may now be unlinked (overwritten, or not subject to
// overwriting: not a regular file), otherwise the errno; *why then tells what
// went wrong. ESTALE: the entry is no longer the one seen; EMLINK: it has other
// links. Both mean it must be left, and is refused.
int OverwriteBeforeUnlink(int dirFd, const std::string& name, const FSEntryInfo& seen,
                          std::string* why);

}  // namespace Varnex::Cleaner::Details
