#include "CleanerFS/FSTreeRemover.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "CleanerFS/FSCleanerFd.h"
#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSOverwrite.h"
#include "CleanerFS/FSSystemCalls.h"

namespace Varnex::Cleaner::Details {

namespace {

constexpr std::size_t bufferSize = 64 * 1024;
constexpr std::size_t maxOpenLevels = 64;
constexpr int readDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::function<void()> emptiedHook;

struct Level {
    FSCleanerFd fd;
    FSEntryInfo info;
    std::string name;
    std::vector<std::string> folders;  // subfolders still to empty
};

// The outcome of one tree: the first failure decides the code.
class Failures {
public:
    void Add(int code, const std::vector<Level>& stack, const std::string& name,
             const std::string& text) {
        ++m_count;
        if (m_count > 1) {
            return;
        }
        // A partly removed tree is a failure whatever the first cause was.
        m_code =
            (code == FSCleaner::REMOVED || code == FSCleaner::NOT_FOUND) ? FSCleaner::FAILED : code;
        std::string where;
        for (std::size_t i = 1; i < stack.size(); ++i) {
            where += stack[i].name;
            where += '/';
        }
        where += name;
        if (!where.empty() && where.back() == '/') {
            where.pop_back();
        }
        m_why = where.empty() ? text : "\"" + EscapeForLog(where) + "\" inside the tree: " + text;
    }
    bool Any() const { return m_count > 0; }
    int Code() const { return m_code; }
    std::string Why() const {
        return m_count > 1 ? m_why + " (and " + std::to_string(m_count - 1) + " more failures)"
                           : m_why;
    }

private:
    int m_count = 0;
    int m_code = FSCleaner::FAILED;
    std::string m_why;
};

// What a removal of one tree goes by.
struct TreeRules {
    bool overwrite = false;
    long long keepChangedAfter = 0;
    // Sum of the blocks freed; every entry is examined when it is set.
    long long* freed = nullptr;
    // Shared by the threads of a run, for files with several names.
    std::mutex* linkLock = nullptr;
};

void RemoveEntry(int dirFd, const std::string& name, const TreeRules& rules, Level& level,
                 const std::vector<Level>& stack, Failures* failures) {
    const bool overwrite = rules.overwrite;
    FSEntryInfo examined;  // nlink 0: not examined
    if (overwrite || rules.keepChangedAfter > 0 || rules.freed) {
        FSEntryInfo& info = examined;
        const int statErr = StatEntry(dirFd, name.c_str(), &info);
        if (statErr == ENOENT) {
            return;
        }
        if (statErr != 0) {
            failures->Add(CodeFromErrno(statErr, false), stack, name, ErrnoText(statErr));
            return;
        }
        if (S_ISDIR(info.mode)) {
            level.folders.push_back(name);
            return;
        }
        if (rules.keepChangedAfter > 0 && info.change > rules.keepChangedAfter) {
            failures->Add(FSCleaner::REFUSED, stack, name, "changed since the scan, kept");
            return;
        }
        if (overwrite) {
            // A file mounted onto an entry of the tree is not the tree's to
            // overwrite: the checks come before any open for writing.
            if (IsOtherMount(stack.front().info, info)) {
                failures->Add(FSCleaner::REFUSED, stack, name, "a mount point, not overwritten");
                return;
            }
            if (S_ISREG(info.mode)) {
                std::string why;
                const int err = ShredFile(dirFd, name, info, &why);
                if (err != 0 && err != ENOENT) {
                    failures->Add(CodeFromErrno(err, false), stack, name, why);
                }
                return;
            }
        }
    }
    std::unique_lock<std::mutex> linkLock;
    if (examined.nlink > 1 && rules.freed && rules.linkLock) {
        // Another thread may be taking another of its names: examined again
        // under the lock they share, the last name to go tells the blocks.
        linkLock = std::unique_lock<std::mutex>(*rules.linkLock);
        FSEntryInfo now;
        if (StatEntry(dirFd, name.c_str(), &now) == 0 && now.dev == examined.dev &&
            now.ino == examined.ino) {
            examined.nlink = now.nlink;
        }
    }
    if (FSSystemCalls::UnlinkAt(dirFd, name.c_str(), 0) == 0) {
        if (examined.nlink == 1 && rules.freed) {
            *rules.freed += static_cast<long long>(examined.blocks) * 512;
        }
        return;
    }
    const int err = errno;
    if (err == ENOENT) {
        return;
    }
    if (err == EISDIR) {
        level.folders.push_back(name);  // a folder now: emptied like the others
        return;
    }
    failures->Add(CodeFromErrno(err, false), stack, name, ErrnoText(err));
}

// Reads the whole folder on top of the stack: other entries are removed at
// once, subfolders are noted for later.
void EmptyFiles(std::vector<Level>& stack, std::vector<char>& buffer, const TreeRules& rules,
                Failures* failures) {
    Level& level = stack.back();
    const int fd = level.fd.Get();
    for (;;) {
        const ssize_t n = FSSystemCalls::GetDents(fd, buffer.data(), buffer.size());
        if (n == 0) {
            return;
        }
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) {
                continue;
            }
            failures->Add(CodeFromErrno(err, false), stack, "", "cannot read: " + ErrnoText(err));
            return;
        }
        for (ssize_t pos = 0; pos < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + pos);
            pos += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                FSEntryInfo info;
                if (StatEntry(fd, name, &info) == 0 && S_ISDIR(info.mode)) {
                    type = DT_DIR;
                }
            }
            if (type == DT_DIR) {
                level.folders.emplace_back(name);
            } else {
                RemoveEntry(fd, name, rules, level, stack, failures);
            }
        }
    }
}

}  // namespace

FSTreeRemover::FSTreeRemover() : m_buffer(bufferSize) {}

void FSTreeRemover::SetEmptiedHookForTests(std::function<void()> hook) {
    emptiedHook = std::move(hook);
}

int FSTreeRemover::Remove(int parentFd, const std::string& name, const FSEntryInfo& top,
                          bool overwrite, const ProtectedFolders& protectedFolders,
                          std::string* why, long long keepChangedAfter, bool countFreed) {
    m_freed = (keepChangedAfter > 0 || countFreed) && !overwrite ? 0 : -1;
    // A folder's blocks go with its only name.
    const auto folderFreed = [this, countFreed](const FSEntryInfo& info) {
        if (countFreed && m_freed >= 0) {
            m_freed += static_cast<long long>(info.blocks) * 512;
        }
    };
    const TreeRules rules{overwrite, keepChangedAfter, m_freed >= 0 ? &m_freed : nullptr,
                          m_linkLock};
    FSCleanerFd topFd(FSSystemCalls::OpenAt(parentFd, name.c_str(), readDirFlags));
    if (!topFd.IsValid()) {
        const int err = errno;
        *why = ErrnoText(err);
        return CodeFromErrno(err, false);
    }
    FSEntryInfo topInfo;
    const int statErr = StatEntry(topFd.Get(), "", &topInfo);
    if (statErr != 0) {
        *why = ErrnoText(statErr);
        return CodeFromErrno(statErr, false);
    }
    if (topInfo.dev != top.dev || topInfo.ino != top.ino) {
        // Not the folder examined: refused, as any entry that is not.
        *why = "it was replaced while it was examined";
        return FSCleaner::REFUSED;
    }

    Failures failures;
    std::vector<Level> stack;
    stack.push_back(Level{std::move(topFd), topInfo, name, {}});
    EmptyFiles(stack, m_buffer, rules, &failures);

    while (stack.size() > 1 || !stack.back().folders.empty()) {
        Level& current = stack.back();
        if (!current.folders.empty()) {
            const std::string child = std::move(current.folders.back());
            current.folders.pop_back();
            FSCleanerFd childFd(
                FSSystemCalls::OpenAt(current.fd.Get(), child.c_str(), readDirFlags));
            if (!childFd.IsValid()) {
                const int err = errno;
                if (err == ENOTDIR || err == ELOOP) {
                    RemoveEntry(current.fd.Get(), child, rules, current, stack, &failures);
                } else if (err != ENOENT) {
                    failures.Add(CodeFromErrno(err, false), stack, child, ErrnoText(err));
                }
                continue;
            }
            FSEntryInfo childInfo;
            const int err = StatEntry(childFd.Get(), "", &childInfo);
            if (err != 0) {
                failures.Add(CodeFromErrno(err, false), stack, child, ErrnoText(err));
                continue;
            }
            if (IsOtherMount(topInfo, childInfo)) {
                failures.Add(FSCleaner::REFUSED, stack, child, "a mount point, not entered");
                continue;
            }
            if (protectedFolders.Contains(childInfo.dev, childInfo.ino)) {
                failures.Add(FSCleaner::REFUSED, stack, child,
                             "a protected folder (the home folder, the system root, a system "
                             "folder or one above them), not entered");
                continue;
            }
            stack.push_back(Level{std::move(childFd), childInfo, child, {}});
            if (stack.size() > maxOpenLevels + 1) {
                stack[stack.size() - 1 - maxOpenLevels].fd.Reset();
            }
            EmptyFiles(stack, m_buffer, rules, &failures);
            continue;
        }
        // `current` is empty now, as far as it could be emptied.
        Level& parent = stack[stack.size() - 2];
        if (!parent.fd.IsValid()) {
            FSCleanerFd up(FSSystemCalls::OpenAt(current.fd.Get(), "..", readDirFlags));
            FSEntryInfo upInfo;
            if (!up.IsValid() || StatEntry(up.Get(), "", &upInfo) != 0 ||
                upInfo.dev != parent.info.dev || upInfo.ino != parent.info.ino) {
                // Someone moved a part of the tree: stop rather than guess.
                stack.pop_back();
                failures.Add(FSCleaner::FAILED, stack, "",
                             "the tree was moved while it was being removed");
                *why = failures.Why();
                return failures.Code();
            }
            parent.fd = std::move(up);
        }
        const std::string childName = std::move(current.name);
        const bool madeLater = keepChangedAfter > 0 && current.info.birth > keepChangedAfter;
        const FSEntryInfo childInfo = current.info;
        stack.pop_back();
        if (madeLater) {
            failures.Add(FSCleaner::REFUSED, stack, childName, "made since the scan, kept");
            continue;
        }
        if (FSSystemCalls::UnlinkAt(stack.back().fd.Get(), childName.c_str(), AT_REMOVEDIR) == 0) {
            folderFreed(childInfo);
        } else {
            const int err = errno;
            // A folder that kept something after a failure below is not
            // reported again.
            if (err != ENOENT && !((err == ENOTEMPTY || err == EEXIST) && failures.Any())) {
                failures.Add(CodeFromErrno(err, true), stack, childName, ErrnoText(err));
            }
        }
    }
    stack.clear();
    if (emptiedHook) {
        emptiedHook();
    }
    // Only the folder the removal started on may go, and only it makes the
    // tree removed: one renamed away meanwhile or put in its place is left.
    FSEntryInfo now;
    const int nowErr = StatEntry(parentFd, name.c_str(), &now);
    if (nowErr != 0 || now.dev != topInfo.dev || now.ino != topInfo.ino) {
        failures.Add(FSCleaner::FAILED, stack, "",
                     nowErr == ENOENT ? "the tree was moved away while it was being removed"
                                      : "the tree was replaced while it was being removed");
        *why = failures.Why();
        return failures.Code();
    }
    if (FSSystemCalls::UnlinkAt(parentFd, name.c_str(), AT_REMOVEDIR) == 0) {
        folderFreed(topInfo);
    } else {
        const int err = errno;
        if (err != ENOENT && !((err == ENOTEMPTY || err == EEXIST) && failures.Any())) {
            failures.Add(CodeFromErrno(err, true), stack, "", ErrnoText(err));
        }
    }
    if (failures.Any()) {
        *why = failures.Why();
        return failures.Code();
    }
    return FSCleaner::REMOVED;
}

}  // namespace Varnex::Cleaner::Details
