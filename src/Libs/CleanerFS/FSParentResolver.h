#pragma once

#include <sys/types.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "CleanerFS/FSCleanerFd.h"
#include "CleanerFS/FSCleanerSupport.h"

namespace Varnex::Cleaner::Details {

// Opens the parent folder of each planned path, one component at a time from
// "/", with openat(O_PATH | O_DIRECTORY | O_NOFOLLOW), so that the removal
// happens in the folder the path names and nowhere else.
//
// A symbolic link met on the way is followed only when it is there by design:
//  - a link of the system: owned by root and lying in a folder that is owned by
//    root and writable by nobody else (/tmp, /var and /etc on a Mac, a linked
//    /home). Such a link cannot have been planted by a user. Its target is
//    resolved by the same rules. The links of /proc never are (/proc/self,
//    /proc/<pid>/root, cwd, fd/N lead anywhere).
//  - a trusted link of the context: the link through which a scan root was
//    configured (FSCleanerServer::AddTrustedLink). It is matched by the path
//    as planned (the components before it as written) and followed only while
//    it still leads to the folder it led to when it was registered (same device
//    and inode).
// Any other link, for instance a parent folder that was swapped for a link
// after the scan, refuses the path (code 5). Because the process may run as
// root, ownership alone is not enough: the folder holding a root-owned link
// must itself be root's and closed to others.
//
// Consecutive planned paths usually share their parent: the descriptors of the
// last resolved folder and its ancestors are kept, and a new parent is resolved
// from the longest common prefix, so a folder is checked once per run and not
// once per path. At most a bounded number of descriptors stays open (deep
// trees); a dropped ancestor is reopened from "/" when needed again.
//
// Belongs to one worker thread; not thread-safe.
class FSParentResolver {
public:
    // Identity of the folder a trusted link led to when it was registered.
    struct LinkTarget {
        dev_t dev = 0;
        ino_t ino = 0;
    };
    // Keyed by the link's absolute path, as bytes.
    using TrustedLinks = std::unordered_map<std::string, LinkTarget>;

    FSParentResolver(FSCleanerFd root, TrustedLinks trustedLinks);

    // Opens the folder `parent` (absolute, normalised bytes). On success *fd
    // is an O_PATH descriptor valid until the next call and *info describes
    // the folder. Otherwise false, with the result code in *code and the
    // reason in *why.
    bool Resolve(const std::string& parent, int* fd, const FSEntryInfo** info, int* code,
                 std::string* why);

    // Forgets every cached folder (after a folder on the cached chain was
    // removed or renamed).
    void Forget();

private:
    struct Level {
        std::string name;
        FSCleanerFd fd;
        FSEntryInfo info;
    };

    int OpenComponent(int dirFd, const std::string& name, const std::string* lexicalPath,
                      int* linkBudget, int* code, std::string* why);
    int FollowTrusted(int dirFd, const std::string& name, const std::string& target,
                      const LinkTarget& expected, int* code, std::string* why);
    int FollowSystemLink(int dirFd, const std::string& target, int* linkBudget, int* code,
                         std::string* why);
    void Truncate(std::size_t size);
    void LimitOpenDescriptors();

    std::vector<Level> m_chain;  // m_chain[0] is "/"
    std::size_t m_open = 0;      // open descriptors in m_chain, "/" excluded
    TrustedLinks m_trusted;
    std::string m_lastParent;  // what the whole chain stands for, when m_lastValid
    bool m_lastValid = false;
};

}  // namespace Varnex::Cleaner::Details
