#include "CleanerFS/FSParentResolver.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSSystemCalls.h"

namespace Varnex::Cleaner::Details {

namespace {

// Deep trees are planned deepest first: keeping the deepest folders open makes
// climbing back cheap while the process stays far from its descriptor limit.
constexpr std::size_t maxOpenLevels = 64;
// Links followed while resolving one parent, as the kernel counts them.
constexpr int maxLinks = 40;
constexpr int dirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string> SplitComponents(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.emplace_back(path, start, end - start);
        }
        start = end + 1;
    }
    return parts;
}

bool ReadLink(int dirFd, const std::string& name, std::string* target, int* err) {
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlinkat(dirFd, name.c_str(), buffer, sizeof(buffer));
    if (n < 0) {
        *err = errno;
        return false;
    }
    if (n == 0 || static_cast<std::size_t>(n) >= sizeof(buffer)) {
        *err = ENAMETOOLONG;
        return false;
    }
    target->assign(buffer, static_cast<std::size_t>(n));
    return true;
}

// A link the system put there: root's, in a folder only root can change. The
// links of /proc are not: /proc/self/root, cwd and fd/N lead anywhere, past
// every check made on the way.
bool IsSystemLink(int dirFd, const FSEntryInfo& link) {
    struct statfs fs;
    if (link.uid != 0 || ::fstatfs(dirFd, &fs) != 0 || fs.f_type == PROC_SUPER_MAGIC) {
        return false;
    }
    FSEntryInfo folder;
    if (StatEntry(dirFd, "", &folder) != 0) {
        return false;
    }
    return folder.uid == 0 && (folder.mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

FSParentResolver::FSParentResolver(FSCleanerFd root, TrustedLinks trustedLinks)
    : m_trusted(std::move(trustedLinks)) {
    Level top;
    top.fd = std::move(root);
    StatEntry(top.fd.Get(), "", &top.info);
    m_chain.push_back(std::move(top));
}

void FSParentResolver::Forget() {
    Truncate(1);
}

void FSParentResolver::Truncate(std::size_t size) {
    m_lastValid = false;
    while (m_chain.size() > size) {
        if (m_chain.back().fd.IsValid()) {
            --m_open;
        }
        m_chain.pop_back();
    }
}

void FSParentResolver::LimitOpenDescriptors() {
    for (std::size_t i = 1; m_open > maxOpenLevels && i < m_chain.size(); ++i) {
        if (m_chain[i].fd.IsValid()) {
            m_chain[i].fd.Reset();
            --m_open;
        }
    }
}

bool FSParentResolver::Resolve(const std::string& parent, int* fd, const FSEntryInfo** info,
                               int* code, std::string* why) {
    if (m_lastValid && parent == m_lastParent) {
        // Siblings: the folder was opened and checked for the previous path.
        *fd = m_chain.back().fd.Get();
        *info = &m_chain.back().info;
        return true;
    }
    m_lastValid = false;
    const std::vector<std::string> parts = SplitComponents(parent);
    std::size_t common = 0;
    while (common < parts.size() && common + 1 < m_chain.size() &&
           m_chain[common + 1].name == parts[common]) {
        ++common;
    }
    Truncate(common + 1);
    // Resume below the deepest folder still open.
    std::size_t from = common;
    while (from > 0 && !m_chain[from].fd.IsValid()) {
        --from;
    }
    std::string lexical;
    for (std::size_t i = 0; i < from; ++i) {
        lexical += '/';
        lexical += parts[i];
    }
    int linkBudget = maxLinks;
    for (std::size_t i = from; i < parts.size(); ++i) {
        lexical += '/';
        lexical += parts[i];
        const int next =
            OpenComponent(m_chain[i].fd.Get(), parts[i], &lexical, &linkBudget, code, why);
        if (next < 0) {
            Truncate(i + 1);
            return false;
        }
        if (i + 1 < m_chain.size()) {
            m_chain[i + 1].fd.Reset(next);
        } else {
            Level level;
            level.name = parts[i];
            level.fd.Reset(next);
            m_chain.push_back(std::move(level));
        }
        ++m_open;
        const int err = StatEntry(next, "", &m_chain[i + 1].info);
        if (err != 0) {
            *code = CodeFromErrno(err, false);
            *why = ErrnoText(err);
            Truncate(i + 1);
            return false;
        }
        LimitOpenDescriptors();
    }
    // The last level is never evicted: LimitOpenDescriptors keeps the deepest.
    m_lastParent = parent;
    m_lastValid = true;
    *fd = m_chain.back().fd.Get();
    *info = &m_chain.back().info;
    return true;
}

int FSParentResolver::OpenComponent(int dirFd, const std::string& name,
                                    const std::string* lexicalPath, int* linkBudget, int* code,
                                    std::string* why) {
    const int fd = FSSystemCalls::OpenAt(dirFd, name.c_str(), dirFlags);
    if (fd >= 0) {
        return fd;
    }
    const int err = errno;
    if (err != ENOTDIR && err != ELOOP) {
        *code = CodeFromErrno(err, false);
        *why = ErrnoText(err);
        return -1;
    }
    FSEntryInfo entry;
    const int statErr = StatEntry(dirFd, name.c_str(), &entry);
    if (statErr != 0) {
        *code = CodeFromErrno(statErr, false);
        *why = ErrnoText(statErr);
        return -1;
    }
    if (!S_ISLNK(entry.mode)) {
        // Something other than a folder where a folder was: the planned path
        // cannot exist.
        *code = FSCleaner::NOT_FOUND;
        *why = ErrnoText(ENOTDIR);
        return -1;
    }
    if (--*linkBudget < 0) {
        *code = FSCleaner::REFUSED;
        *why = ErrnoText(ELOOP);
        return -1;
    }
    std::string target;
    int linkErr = 0;
    if (!ReadLink(dirFd, name, &target, &linkErr)) {
        *code = CodeFromErrno(linkErr, false);
        *why = ErrnoText(linkErr);
        return -1;
    }
    if (lexicalPath) {
        const auto trusted = m_trusted.find(*lexicalPath);
        if (trusted != m_trusted.end()) {
            return FollowTrusted(dirFd, name, target, trusted->second, code, why);
        }
    }
    if (IsSystemLink(dirFd, entry)) {
        return FollowSystemLink(dirFd, target, linkBudget, code, why);
    }
    *code = FSCleaner::REFUSED;
    *why = "a symbolic link on the way that is neither the system's nor a configured root";
    return -1;
}

int FSParentResolver::FollowTrusted(int dirFd, const std::string& name, const std::string& target,
                                    const LinkTarget& expected, int* code, std::string* why) {
    // Wherever the link leads, only the folder it led to when the root was
    // configured is accepted, so the links inside its target may be followed
    // freely.
    const int fd = FSSystemCalls::OpenAt(target[0] == '/' ? AT_FDCWD : dirFd, target.c_str(),
                                         O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        *code = CodeFromErrno(err == ENOTDIR ? ENOENT : err, false);
        *why = ErrnoText(err);
        return -1;
    }
    FSEntryInfo info;
    if (StatEntry(fd, "", &info) != 0 || info.dev != expected.dev || info.ino != expected.ino) {
        ::close(fd);
        *code = FSCleaner::REFUSED;
        *why = "the configured root link \"" + EscapeForLog(name) + "\" leads elsewhere now";
        return -1;
    }
    return fd;
}

int FSParentResolver::FollowSystemLink(int dirFd, const std::string& target, int* linkBudget,
                                       int* code, std::string* why) {
    FSCleanerFd current(target[0] == '/'
                            ? ::dup(m_chain[0].fd.Get())
                            : FSSystemCalls::OpenAt(dirFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current.IsValid()) {
        const int err = errno;
        *code = CodeFromErrno(err, false);
        *why = ErrnoText(err);
        return -1;
    }
    for (const std::string& part : SplitComponents(target)) {
        if (part == ".") {
            continue;
        }
        int next;
        if (part == "..") {
            next = FSSystemCalls::OpenAt(current.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (next < 0) {
                const int err = errno;
                *code = CodeFromErrno(err, false);
                *why = ErrnoText(err);
            }
        } else {
            // Links inside a system link's target get no trust from the
            // configured roots: those match planned paths only.
            next = OpenComponent(current.Get(), part, nullptr, linkBudget, code, why);
        }
        if (next < 0) {
            return -1;
        }
        current.Reset(next);
    }
    return current.Release();
}

}  // namespace Varnex::Cleaner::Details
