#pragma once

#include <string>

#include "CleanerFS/FSCleanerSupport.h"

namespace Varnex::Cleaner::Details {

// Taking an entry out of reach under its own folder before acting on it: the
// only way to remove exactly the entry that was examined, as an unlink by
// name takes whatever stands under the name at that moment (a file saved
// over it meanwhile, say).
//
// MoveAside renames `name` in dirFd to a fresh private name in the same
// folder (".klarvik-<purpose>.<pid>.<n>", never replacing anything) and
// checks that the entry now under the private name is the one `seen`
// (device, inode, type); if it is not, the entry gets its name back. Returns
// 0 with *privateName set, or the errno with *why: ESTALE, the entry was
// replaced since it was examined (refused), or what the rename answered (the
// rename takes the rights an unlink takes).
//
// PutBack gives the entry under `privateName` its name back; if another entry
// took that name meanwhile, it stays under the private one (logged).
int MoveAside(int dirFd, const std::string& name, const FSEntryInfo& seen, const char* purpose,
              std::string* privateName, std::string* why);
void PutBack(int dirFd, const std::string& privateName, const std::string& name);

}  // namespace Varnex::Cleaner::Details
