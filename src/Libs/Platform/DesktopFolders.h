#pragma once

#include <QString>
#include <QStringList>

// Where a freedesktop (Linux) session keeps what the cleaner takes on this
// machine beside the Mac's folders: the user cache, the trash folders, the
// system's caches and logs. Answers are paths, whether or not they exist,
// except where a function says it tests. Any thread.
namespace Varnex::Platform {

// $XDG_CACHE_HOME, else $HOME/.cache; empty without a usable home or when
// XDG_CACHE_HOME does not decode (a folder beside the intended one is never
// taken for it).
QString UserCacheDirectory();

// The home trash's two halves, "files" and "info", of $XDG_DATA_HOME/Trash
// (else $HOME/.local/share/Trash); empty without a usable home.
QStringList HomeTrashDirectories();

// The trash folders of the user `uid` on the volume mounted at `mountPath`
// that exist as folders (not links): the Mac's ".Trashes/<uid>", the
// freedesktop ".Trash-<uid>/files" and ".Trash-<uid>/info", and
// ".Trash/<uid>/files" and ".Trash/<uid>/info" (the shared form).
QStringList VolumeTrashDirectories(const QString& mountPath, const QString& uid);

// Folders of /var/cache and /var/log (below the system root) that belong to a
// package manager or keep the system's records: never offered.
bool IsPackageManagerOrRecordPath(const QString& path);

}  // namespace Varnex::Platform
