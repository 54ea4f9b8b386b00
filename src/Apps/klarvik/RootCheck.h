#pragma once

#include <QString>

namespace Klarvik {

// Why `path`, given on the command line, cannot be a root of this run, in a
// few words for a line on standard error; empty when it can. Refused: an
// empty or relative path, one with a ".." component (what it names depends on
// links), one that does not exist or cannot be looked at. When `removing` (a
// run that may remove: every run but a disk-usage scan, which only looks),
// also a protected folder itself (the file-system root, the system's top
// folders, a home folder and the folders that hold one; see IsPathSafe()) and
// anything inside the system's own folders (/usr, /etc, /bin, /sbin, /lib*,
// /boot, /var/lib, /System; the same below the system root), whether named
// so or reached through a link. With `searching` (a folder searched for files
// that may go one by one, never itself, such as big files or duplicates) the
// user's own home folder is taken as well.
QString RootRefusal(const QString& path, bool removing, bool searching = false);

// Why the entry at `path` (absolute) may not be removed on its own: it lies
// in the system's own folders, named so, through a link on the way or a
// mount. Empty when it may. For kinds whose items are files found below a
// search folder (the search folder may hold a system folder: a home at /var).
QString SystemFolderRefusal(const QString& path);

}  // namespace Klarvik
