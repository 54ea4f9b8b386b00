#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "CleanerFS/FSCleanerFd.h"
#include "CleanerFS/FSCleanerSupport.h"

namespace Varnex::Cleaner::Details {

// Moves entries to the freedesktop.org Trash of their volume (flag 4):
//  - on the volume of the home trash, $XDG_DATA_HOME/Trash (an absolute
//    XDG_DATA_HOME only; otherwise $HOME/.local/share/Trash), created when
//    missing; the .trashinfo names the original path absolutely. An
//    XDG_DATA_HOME that is not valid UTF-8 leaves every entry where it is;
//  - on any other volume, "$topdir/.Trash-$uid" at the top of its mount,
//    created when missing (mode 0700) and accepted only when it is a real
//    folder of the current user; the .trashinfo names the path relative to
//    the top of the mount.
// The .trashinfo is written first, created with O_EXCL (the name gets ".2",
// ".3", ... when taken, shortened to fit the name length limit), then the entry
// is renamed into files/ with RENAME_NOREPLACE, relative to the descriptor of
// its parent folder. When anything fails the .trashinfo is removed again and
// the entry stays where it was: nothing is ever deleted instead.
//
// One per run; belongs to the worker thread.
class FSTrashMover {
public:
    FSTrashMover();
    ~FSTrashMover();

    // Moves `name` in parentFd (`info` its stat) to the trash. `plannedPath` is
    // its absolute path as planned, in bytes. Returns the result code; *why
    // describes a failure.
    int Move(int parentFd, const std::string& name, const std::string& plannedPath,
             const FSEntryInfo& info, std::string* why);

private:
    struct Trash {
        FSCleanerFd files;
        FSCleanerFd info;
        bool home = false;
        std::string top;  // the mount's top folder, for relative paths
        FSEntryInfo id;   // of files/
        bool usable = false;
        int code = 0;  // when unusable: the result code and its reason
        std::string why;
    };

    const Trash& HomeTrash();
    const Trash& VolumeTrash(int parentFd);
    int MoveInto(const Trash& trash, int parentFd, const std::string& name,
                 const FSEntryInfo& seen,
                 const std::string& trashInfoPath, std::string* why);

    std::string m_dataHome;
    std::string m_noHomeTrash;  // why no trash may be used at all
    bool m_homeOpened = false;
    Trash m_home;
    Trash m_unreachable;  // the answer when a volume's top cannot be found
    std::map<std::uint64_t, std::unique_ptr<Trash>> m_volumes;  // by mount id or device
};

}  // namespace Varnex::Cleaner::Details
