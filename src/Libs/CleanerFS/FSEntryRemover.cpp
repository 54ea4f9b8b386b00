#include "CleanerFS/FSEntryRemover.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "CleanerCommon/Checks.h"
#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSOverwrite.h"
#include "CleanerFS/FSPrivateName.h"
#include "CleanerFS/FSSystemCalls.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

FSEntryRemover::FSEntryRemover(FSCleanerFd root, FSParentResolver::TrustedLinks trustedLinks)
    : m_resolver(std::move(root), std::move(trustedLinks)),
      m_protected(ProtectedFolders::Current()) {}

namespace {

// FSCleaner::REMOVED when the entry is the one the scan saw, otherwise the
// refusal with its reason.
int CheckIdentity(const FSCleanerServer::Expected& expected, const FSEntryInfo& found,
                  std::string* why) {
    const bool isFolder = S_ISDIR(found.mode);
    if (expected.isDirectory != isFolder) {
        *why = isFolder ? "a folder is there now, where the scan saw a file"
                        : "something else than a folder is there now, where the scan saw one";
        return FSCleaner::REFUSED;
    }
    if (expected.inode != 0 && (expected.device != static_cast<unsigned long long>(found.dev) ||
                                expected.inode != static_cast<unsigned long long>(found.ino))) {
        *why = "another entry is there now than the one the scan saw";
        return FSCleaner::REFUSED;
    }
    if (expected.birth != 0 && found.birth != 0 && expected.birth != found.birth) {
        *why = "another entry is there now than the one the scan saw (made since, on its inode)";
        return FSCleaner::REFUSED;
    }
    return FSCleaner::REMOVED;
}

}  // namespace

int FSEntryRemover::Remove(const QString& path, int flags,
                           const FSCleanerServer::Expected* expected) {
    std::string bytes;
    std::string why;
    int code;
    m_freed = -1;
    if (!IsPathSafe(path) || !Platform::EncodePath(path, &bytes)) {
        code = FSCleaner::REFUSED;
        why =
            "the path is not safe to remove (relative, not normalised, not valid Unicode or a "
            "protected folder)";
    } else {
        code = Process(bytes, flags, expected, &why);
    }
    if (code == FSCleaner::NOT_FOUND && (flags & FSCleanerServer::FLAG_SHRED)) {
        // Not overwritten: its bytes may still be on the disk, or elsewhere
        // (its folder moved away or swapped for a file).
        code = FSCleaner::FAILED;
        why = "it was gone before it could be overwritten (its folder may have moved)";
    }
    if (code != FSCleaner::REMOVED && code != FSCleaner::NOT_FOUND) {
        LOG(WARNING) << "Cannot remove \"" << ShownPath(path) << "\": " << why << " (code " << code
                     << ")";
    }
    return code;
}

int FSEntryRemover::Process(const std::string& bytes, int flags,
                            const FSCleanerServer::Expected* expected, std::string* why) {
    const std::size_t slash = bytes.rfind('/');
    const std::string parent = slash == 0 ? std::string("/") : bytes.substr(0, slash);
    const std::string name = bytes.substr(slash + 1);
    int parentFd = -1;
    const FSEntryInfo* parentInfo = nullptr;
    int code = FSCleaner::FAILED;
    if (!m_resolver.Resolve(parent, &parentFd, &parentInfo, &code, why)) {
        *why = "its folder cannot be opened safely: " + *why;
        return code;
    }
    if (!expected && (flags & (FSCleanerServer::FLAG_TRASH | FSCleanerServer::FLAG_SHRED)) == 0) {
        // Nothing to compare with, and most planned entries are files: unlink
        // at once, without examining them first. The kernel refuses a mount
        // point (EBUSY) and a folder (EISDIR); only folders go the long way.
        if (FSSystemCalls::UnlinkAt(parentFd, name.c_str(), 0) == 0) {
            return FSCleaner::REMOVED;
        }
        const int err = errno;
        if (err != EISDIR) {
            *why = err == EBUSY ? std::string("it is busy (a mount point, or in use)")
                                : ErrnoText(err);
            return CodeFromErrno(err, false);
        }
    }
    FSEntryInfo info;
    const int err = StatEntry(parentFd, name.c_str(), &info);
    if (err != 0) {
        *why = ErrnoText(err);
        return CodeFromErrno(err, false);
    }
    if (expected) {
        const int code = CheckIdentity(*expected, info, why);
        if (code != FSCleaner::REMOVED) {
            return code;
        }
        if (expected->unchangedSince > 0 && !S_ISDIR(info.mode) &&
            info.change > expected->unchangedSince) {
            *why = "it changed after it was judged (its status change time is later)";
            return FSCleaner::REFUSED;
        }
    }
    if (S_ISDIR(info.mode) && m_protected.Contains(info.dev, info.ino)) {
        *why =
            "it is a protected folder (the home folder, the system root, a system folder or one "
            "above them) reached through a link or a mount";
        return FSCleaner::REFUSED;
    }
    if (IsOtherMount(*parentInfo, info)) {
        *why = "it is a mount point (or its mount cannot be told)";
        return FSCleaner::REFUSED;
    }
    return RemoveOne(parentFd, name, bytes, info, flags, expected && !expected->isDirectory,
                     expected != nullptr, why, expected ? expected->unchangedSince : 0);
}

int FSEntryRemover::RemoveOne(int parentFd, const std::string& name, const std::string& bytes,
                              const FSEntryInfo& info, int flags, bool plannedAsFile,
                              bool identityKnown, std::string* why, long long unchangedSince) {
    if (flags & FSCleanerServer::FLAG_TRASH) {
        return m_trash.Move(parentFd, name, bytes, info, why);
    }
    const bool overwrite = (flags & FSCleanerServer::FLAG_SHRED) != 0;
    if (S_ISDIR(info.mode)) {
        if (flags & FSCleanerServer::FLAG_RECURSIVE) {
            const int code =
                m_tree.Remove(parentFd, name, info, overwrite, m_protected, why, unchangedSince,
                              (flags & FSCleanerServer::FLAG_FOLDER_BLOCKS) != 0);
            m_freed = m_tree.GetFreed();
            return code;
        }
        // Never recursive: whatever the scan kept inside makes this fail.
        if (FSSystemCalls::UnlinkAt(parentFd, name.c_str(), AT_REMOVEDIR) == 0) {
            return FSCleaner::REMOVED;
        }
        const int err = errno;
        *why = ErrnoText(err);
        return CodeFromErrno(err, true);
    }
    // Blocks come back only with a file's last name (examined just now).
    const long long blocks =
        static_cast<long long>(std::min<unsigned long long>(
                                   info.blocks, static_cast<unsigned long long>(LLONG_MAX / 512)) *
                               512);
    long long freed = info.nlink > 1 ? 0 : blocks;
    if (overwrite && S_ISREG(info.mode)) {
        const int err = ShredFile(parentFd, name, info, why);
        if (err == 0) {
            m_freed = freed;
        }
        return err == 0 ? FSCleaner::REMOVED : CodeFromErrno(err, false);
    }
    if (identityKnown) {
        // Between the check and an unlink by name, a file saved over this one
        // would take its place and go instead: only the entry examined is
        // taken aside, and that one goes.
        std::string aside;
        const int movedErr = MoveAside(parentFd, name, info, "rm", &aside, why);
        if (movedErr != 0) {
            return movedErr == ESTALE ? FSCleaner::REFUSED : CodeFromErrno(movedErr, false);
        }
        std::unique_lock<std::mutex> linkLock;
        if (info.nlink > 1 && m_linkLock) {
            // Another thread may have taken another of its names since.
            linkLock = std::unique_lock<std::mutex>(*m_linkLock);
            FSEntryInfo now;
            if (StatEntry(parentFd, aside.c_str(), &now) == 0 && now.nlink == 1) {
                freed = blocks;
            }
        }
        if (FSSystemCalls::UnlinkAt(parentFd, aside.c_str(), 0) == 0) {
            m_freed = freed;
            return FSCleaner::REMOVED;
        }
        const int err = errno;
        *why = ErrnoText(err);
        PutBack(parentFd, aside, name);
        return CodeFromErrno(err, false);
    }
    if (FSSystemCalls::UnlinkAt(parentFd, name.c_str(), 0) == 0) {
        m_freed = freed;
        return FSCleaner::REMOVED;
    }
    int err = errno;
    if (err == EISDIR && plannedAsFile) {
        *why = "a folder is there now, where the scan saw a file";
        return FSCleaner::REFUSED;
    }
    if (err == EISDIR) {
        // It became a folder since it was examined: only an empty one goes.
        if (FSSystemCalls::UnlinkAt(parentFd, name.c_str(), AT_REMOVEDIR) == 0) {
            return FSCleaner::REMOVED;
        }
        err = errno;
        *why = ErrnoText(err);
        return CodeFromErrno(err, true);
    }
    *why = ErrnoText(err);
    return CodeFromErrno(err, false);
}

}  // namespace Varnex::Cleaner::Details
