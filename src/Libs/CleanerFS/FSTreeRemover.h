#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "CleanerCommon/ProtectedFolders.h"
#include "CleanerFS/FSCleanerSupport.h"

namespace Varnex::Cleaner::Details {

// Removes a folder with everything below it (flag 2) by file descriptor:
// openat(O_NOFOLLOW | O_DIRECTORY), getdents64 and unlinkat relative to the
// folder being emptied, so no path is ever resolved again and no link is ever
// followed (a link inside the tree is unlinked itself). The walk keeps its own
// stack of folders instead of recursing, so the depth of a tree does not
// matter; at most a bounded number of descriptors stays open, and a folder
// whose descriptor was dropped is reopened through ".." only if it is still
// the same folder (device and inode).
//
// A folder on another mount (another device, a mount root, another mount id:
// bind mounts too) is never entered; it makes the result REFUSED. Whatever
// could not be removed stays, and the result is then the code of the first
// failure: a partly removed tree never reports REMOVED. With `overwrite`, an
// entry on another mount (a file bind-mounted into the tree) is never opened
// for writing. The top is removed only while its name still leads to the
// folder the removal started on; a tree renamed away or replaced meanwhile is
// left as it is and fails (FAILED).
//
// Belongs to one worker thread; not thread-safe.
class FSTreeRemover {
public:
    FSTreeRemover();

    // Removes the folder `name` in parentFd. `top` is what a stat of it told
    // a moment ago; `overwrite` overwrites each single-link regular file first
    // (flag 8). Returns the result code; *why describes a failure.
    // A folder inside that is one of `protectedFolders` (the home folder
    // mounted into the tree, say) is refused and not entered. With
    // `keepChangedAfter` (ns since the epoch, 0: none), an entry whose status
    // changed later and a folder made later are kept (REFUSED); every entry
    // is examined then, and GetFreed() tells the blocks of the files whose
    // last name went. With `countFreed` (and no `overwrite`) every entry is
    // examined as well, and GetFreed() counts the folders' own blocks too.
    int Remove(int parentFd, const std::string& name, const FSEntryInfo& top, bool overwrite,
               const ProtectedFolders& protectedFolders, std::string* why,
               long long keepChangedAfter = 0, bool countFreed = false);
    // The bytes the last Remove() gave back to the disk: the blocks of the
    // files whose last name it removed. -1 when not known (entries were not
    // examined one by one).
    long long GetFreed() const { return m_freed; }
    // The lock of a run on several threads (FSEntryRemover::ShareLinkLock):
    // a file with other names is examined again and unlinked under it.
    void ShareLinkLock(std::mutex* lock) { m_linkLock = lock; }

    // Tests only: called on the worker thread when a tree has been emptied,
    // just before its top is checked and removed. Set it while no run is under
    // way; an empty function removes it.
    static void SetEmptiedHookForTests(std::function<void()> hook);

private:
    std::vector<char> m_buffer;
    long long m_freed = -1;
    std::mutex* m_linkLock = nullptr;
};

}  // namespace Varnex::Cleaner::Details
