#include "CleanerCommon/ProtectedFolders.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/Paths.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner {

ProtectedFolders ProtectedFolders::Current() {
    ProtectedFolders out;
    for (const QString& path : ProtectedFolderPaths()) {
        std::string bytes;
        if (Platform::EncodePath(path, &bytes)) {
            out.AddWithAncestors(bytes);
        }
    }
    // Each user's home folder: whatever lies directly in /home, /Users and the
    // system root's /Users and leads to a folder.
    for (const QString& users : UserFolderParents()) {
        std::string bytes;
        if (!Platform::EncodePath(users, &bytes)) {
            continue;
        }
        DIR* dir = ::opendir(bytes.c_str());
        if (!dir) {
            continue;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                out.Add(bytes + "/" + name);
            }
        }
        ::closedir(dir);
    }
    std::sort(out.m_ids.begin(), out.m_ids.end());
    out.m_ids.erase(std::unique(out.m_ids.begin(), out.m_ids.end()), out.m_ids.end());
    return out;
}

bool ProtectedFolders::Contains(dev_t device, ino_t inode) const {
    return std::binary_search(
        m_ids.begin(), m_ids.end(),
        std::make_pair(static_cast<std::uint64_t>(device), static_cast<std::uint64_t>(inode)));
}

void ProtectedFolders::Add(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        m_ids.emplace_back(static_cast<std::uint64_t>(st.st_dev),
                           static_cast<std::uint64_t>(st.st_ino));
    }
}

void ProtectedFolders::AddWithAncestors(const std::string& path) {
    Add(path);
    // The folders above where its links lead: a home folder reached through a
    // link has other ancestors than its spelling says.
    std::string real = ResolveLinks(path);
    while (!real.empty() && real != "/") {
        Add(real);
        const std::size_t slash = real.rfind('/');
        real = slash == 0 ? std::string("/") : real.substr(0, slash);
    }
    Add("/");
}

}  // namespace Varnex::Cleaner
