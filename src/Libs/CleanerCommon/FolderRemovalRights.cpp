#include "CleanerCommon/FolderRemovalRights.h"

#include <sys/stat.h>
#include <unistd.h>

#include "Platform/PathCodec.h"

namespace Varnex::Cleaner {

FolderRemovalRights::FolderRemovalRights(const QString& folder) {
    std::string bytes;
    if (!Platform::EncodePath(folder, &bytes) || bytes.empty() || bytes[0] != '/') {
        return;
    }
    struct stat st;
    if (::access(bytes.c_str(), W_OK | X_OK) != 0 || ::stat(bytes.c_str(), &st) != 0) {
        return;
    }
    const uid_t uid = ::geteuid();
    m_writable = true;
    m_sticky = (st.st_mode & S_ISVTX) != 0;
    m_ownFolder = uid == 0 || st.st_uid == uid;
}

bool FolderRemovalRights::CanRemoveEntryOwnedBy(uid_t entryOwner) const {
    if (!m_writable) {
        return false;
    }
    return !m_sticky || m_ownFolder || entryOwner == ::geteuid();
}

bool FolderRemovalRights::CanRemoveEntry(const QString& entryPath) const {
    if (!m_writable) {
        return false;
    }
    if (!m_sticky || m_ownFolder) {
        return true;
    }
    std::string bytes;
    struct stat st;
    if (!Platform::EncodePath(entryPath, &bytes) || ::lstat(bytes.c_str(), &st) != 0) {
        return true;  // nothing there: only the folder's rights matter
    }
    return CanRemoveEntryOwnedBy(st.st_uid);
}

}  // namespace Varnex::Cleaner
