#pragma once

#include <QString>
#include <QStringList>

namespace Varnex::Cleaner {

// False for paths the library must never touch as a whole:
//  - empty, relative or not normalised paths ("." or ".." components, "//",
//    a trailing '/'), and paths that cannot cross to bytes losslessly;
//  - the file-system root and the top-level system folders of Linux and of
//    macOS themselves (/bin, /etc, /usr, /System, /Library, /Applications,
//    /private, /private/var, ...), the same folders below the system root
//    (KLARVIK_SYSROOT), the system root itself and its ancestors;
//  - the home folder, its ancestors, and every user's home folder itself.
// Paths inside those folders are safe here: the scopes judge them.
bool IsPathSafe(const QString& path);

// The folders IsPathSafe() refuses by name, as written: "/", the system
// folders (also below the system root), the system root, the home folder and
// every folder above them. Users' home folders are not listed: the folders
// holding them are, in UserFolderParents().
QStringList ProtectedFolderPaths();

// Folders whose direct subfolders are users' home folders.
QStringList UserFolderParents();

// Whether the current user may remove the entry at path: its parent folder is
// writable and searchable, and, when the parent is sticky, the user owns the
// entry or the parent (or is root). A path that does not exist is judged by its
// parent alone.
bool CanRemove(const QString& path);

// Whether the current user may write to path itself.
bool CanWrite(const QString& path);

}  // namespace Varnex::Cleaner
