#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Varnex::Cleaner {

// The folders IsPathSafe() protects by name, known by what they are (device
// and inode) rather than by how a path spells them: the file-system root, the
// system folders, the system root, the home folder, every folder above those
// two (also above the folders their links lead to) and each user's home
// folder. A link, a bind mount or /proc/self/root reaching one of them yields
// the same identity, so a scan root or a removal that reaches one in any
// spelling is caught.
//
// A snapshot: worked out once per scan or removal run (a few dozen stat
// calls), then read by any thread.
class ProtectedFolders {
public:
    ProtectedFolders() = default;

    static ProtectedFolders Current();

    bool Contains(dev_t device, ino_t inode) const;
    bool IsEmpty() const { return m_ids.empty(); }

private:
    void Add(const std::string& path);
    void AddWithAncestors(const std::string& path);

    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_ids;  // sorted
};

}  // namespace Varnex::Cleaner
