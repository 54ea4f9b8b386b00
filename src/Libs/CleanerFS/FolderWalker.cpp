#include "CleanerFS/FolderWalker.h"

#include <dirent.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <linux/limits.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "CleanerCommon/Checks.h"
#include "CleanerFS/FSCleanerSupport.h"
#include "CleanerFS/FSMountProbe.h"
#include "CleanerFS/ResultQueue.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

// Large enough for a few thousand names per call.
constexpr std::size_t bufferSize = 128 * 1024;

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

std::string ErrorText(int error) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not be in buffer.
    return ::strerror_r(error, buffer, sizeof(buffer));
}

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// open() of a folder whose path may be longer than PATH_MAX (deep trees): the
// path is then resolved in pieces, each below the limit. Links on the way are
// followed as a single open() would follow them; the last component is
// followed only when `followLast` is set.
int OpenFolder(const std::string& path, bool followLast) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLast ? 0 : O_NOFOLLOW);
    if (path.size() < PATH_MAX) {
        return ::open(path.c_str(), flags);
    }
    int dirFd = AT_FDCWD;
    std::size_t pos = 0;
    std::string piece;
    for (;;) {
        if (path.size() - pos < PATH_MAX) {
            const int fd = ::openat(dirFd, path.c_str() + pos, flags);
            const int saved = errno;
            if (dirFd != AT_FDCWD) {
                ::close(dirFd);
            }
            errno = saved;
            return fd;
        }
        const std::size_t cut = path.rfind('/', pos + PATH_MAX - 2);
        if (cut == std::string::npos || cut <= pos) {
            if (dirFd != AT_FDCWD) {
                ::close(dirFd);
            }
            errno = ENAMETOOLONG;
            return -1;
        }
        piece.assign(path, pos, cut - pos);
        const int next = ::openat(dirFd, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int saved = errno;
        if (dirFd != AT_FDCWD) {
            ::close(dirFd);
        }
        if (next < 0) {
            errno = saved;
            return -1;
        }
        dirFd = next;
        pos = cut + 1;
    }
}

FSScanner::Result FolderRecord(const FolderTask& task, const std::string& error, int kept) {
    FSScanner::Result r;
    r.path = task.path;
    r.isDirectory = true;
    r.error = error;
    r.kept = kept;
    r.adminRightsRequired = task.adminRightsRequired;
    r.device = task.device;
    r.inode = task.inode;
    r.birth = task.birth;
    r.diskSize = task.diskSize;
    return r;
}

// The mount of an opened root, for the kernels whose statx names no mount root.
std::uint64_t MountIdOf(int fd) {
    struct statx sx;
    if (UseStatxMountId() && ::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0 &&
        (sx.stx_mask & STATX_MNT_ID)) {
        return sx.stx_mnt_id;
    }
    return ProbeMountId(fd, "");
}

}  // namespace

void WalkSettings::AddSkippedRoot(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_rootsMutex);
    m_skippedRoots.insert(path);
    m_hasSkippedRoots.store(true);
}

void WalkSettings::AddRootIdentity(dev_t device, ino_t inode) {
    std::lock_guard<std::mutex> lock(m_rootsMutex);
    m_rootIds.emplace_back(device, inode);
    m_hasSkippedRoots.store(m_rootIds.size() > 1 || !m_skippedRoots.empty());
}

void WalkSettings::ClearSkippedRoots() {
    std::lock_guard<std::mutex> lock(m_rootsMutex);
    m_skippedRoots.clear();
    m_rootIds.clear();
    m_hasSkippedRoots.store(false);
}

bool WalkSettings::IsOtherRoot(const std::string& path, dev_t device, ino_t inode) const {
    std::lock_guard<std::mutex> lock(m_rootsMutex);
    return m_skippedRoots.count(path) != 0 ||
           std::find(m_rootIds.begin(), m_rootIds.end(), std::make_pair(device, inode)) !=
               m_rootIds.end();
}

bool WalkSettings::IsFirstName(dev_t device, ino_t inode) const {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    return m_linkedFiles.emplace(device, inode).second;
}

void WalkSettings::ClearNames() {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    m_linkedFiles.clear();
}

bool WalkSettings::Accepts(const std::string& path) const {
    for (const FSScanner::Filter& filter : filters) {
        if (!filter(path)) {
            return false;
        }
    }
    return true;
}

FolderWalker::FolderWalker(const WalkSettings& settings, FolderQueue* folders, ResultQueue* results)
    : m_settings(settings),
      m_folders(folders),
      m_results(results),
      m_buffer(new char[bufferSize]) {}

FolderWalker::~FolderWalker() = default;

void FolderWalker::Run(unsigned int epoch) {
    FolderTask task;
    while (m_folders->Pop(epoch, &task)) {
        Walk(&task);
    }
}

void FolderWalker::Walk(FolderTask* task) {
    int fd = -1;
    struct stat st;
    if (Open(task, &fd, &st)) {
        List(fd, *task, st);
        ::close(fd);
    }
    if (m_settings.decodePaths.load(std::memory_order_relaxed)) {
        for (FSScanner::Result& result : m_batch) {
            result.text = Platform::DecodePathOrNull(result.path);
            std::string().swap(result.path);
        }
    }
    const bool delivered = m_batch.empty() || m_results->Push(&m_batch);
    double weightDone = task->weight;
    if (delivered && !m_children.empty()) {
        const double share = task->weight / static_cast<double>(m_children.size());
        for (FolderTask& child : m_children) {
            child.weight = share;
        }
        weightDone = 0;
        m_folders->Push(&m_children);
    }
    m_children.clear();
    m_folders->Finished(weightDone);
}

long long FolderWalker::DiskSizeOf(unsigned long long blocks, nlink_t links, dev_t device,
                                   ino_t inode) const {
    if (links > 1 && !m_settings.IsFirstName(device, inode)) {
        return 0;
    }
    // st_blocks counts 512-byte units whatever the file system's block size.
    return blocks > static_cast<unsigned long long>(LLONG_MAX / 512)
               ? LLONG_MAX
               : static_cast<long long>(blocks * 512);
}

bool FolderWalker::Open(FolderTask* task, int* fd, struct stat* st) {
    if (task->isRoot) {
        // A root is scanned through a link: it is what the caller configured.
        if (::stat(task->path.c_str(), st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                LOG(WARNING) << "Cannot scan \"" << EscapeForLog(task->path)
                             << "\": " << ErrorText(errno);
            }
            return false;
        }
        task->device = st->st_dev;
        task->inode = st->st_ino;
        if (!m_settings.Accepts(task->path)) {
            return false;
        }
        task->adminRightsRequired = !CanRemove(Platform::DecodePathOrNull(task->path));
        if (S_ISREG(st->st_mode)) {
            FSScanner::Result r;
            r.path = task->path;
            r.size = st->st_size;
            r.diskSize = DiskSizeOf(static_cast<unsigned long long>(st->st_blocks), st->st_nlink,
                                    task->device, task->inode);
            r.adminRightsRequired = task->adminRightsRequired;
            r.device = task->device;
            r.inode = task->inode;
            // Its birth, so that a new file on a freed inode is told apart.
            struct statx sx;
            if (::statx(AT_FDCWD, task->path.c_str(), AT_NO_AUTOMOUNT, STATX_INO | STATX_BTIME,
                        &sx) == 0 &&
                sx.stx_ino == task->inode) {
                r.birth = BirthOf(sx);
            }
            m_batch.push_back(std::move(r));
            return false;
        }
        if (!S_ISDIR(st->st_mode)) {
            LOG(WARNING) << "Not scanning \"" << EscapeForLog(task->path)
                         << "\": not a file or a folder";
            return false;
        }
        *fd = OpenFolder(task->path, true);
        if (*fd < 0 || ::fstat(*fd, st) != 0) {
            m_batch.push_back(FolderRecord(*task, ErrorText(errno), 1));
            if (*fd >= 0) {
                ::close(*fd);
            }
            return false;
        }
        // What was opened is what the record names.
        task->device = st->st_dev;
        task->inode = st->st_ino;
        task->diskSize = DiskSizeOf(static_cast<unsigned long long>(st->st_blocks), 1,
                                    st->st_dev, st->st_ino);
        if (!m_settings.scanUnsafe.load(std::memory_order_relaxed) &&
            m_settings.protectedFolders.Contains(st->st_dev, st->st_ino)) {
            LOG(WARNING) << "Not scanning \"" << EscapeForLog(task->path)
                         << "\": it is a protected folder (the home folder, the system root, a "
                            "system folder or one above them) reached through a link or a mount";
            ::close(*fd);
            *fd = -1;
            return false;
        }
        task->mountId = MountIdOf(*fd);
        return true;
    }

    // A counted subfolder always gets its record. One that vanished is
    // reported empty (its removal then finds nothing); one that cannot be read
    // or was swapped for something else keeps a count so that it is never
    // removed itself.
    *fd = OpenFolder(task->path, false);
    if (*fd < 0) {
        if (errno == ENOENT) {
            m_batch.push_back(FolderRecord(*task, std::string(), 0));
        } else {
            m_batch.push_back(FolderRecord(*task, ErrorText(errno), 1));
        }
        return false;
    }
    if (::fstat(*fd, st) != 0) {
        m_batch.push_back(FolderRecord(*task, ErrorText(errno), 1));
        ::close(*fd);
        return false;
    }
    if (st->st_dev != task->device || st->st_ino != task->inode) {
        m_batch.push_back(FolderRecord(*task, "Replaced while it was scanned", 1));
        ::close(*fd);
        return false;
    }
    task->diskSize =
        DiskSizeOf(static_cast<unsigned long long>(st->st_blocks), 1, st->st_dev, st->st_ino);
    return true;
}

void FolderWalker::List(int fd, const FolderTask& task, const struct stat& st) {
    const std::size_t selfIndex = m_batch.size();
    m_batch.emplace_back();
    int required = 0;
    int kept = 0;
    int badNames = 0;
    std::string error;

    // Whether an entry may be removed depends on this folder's writability for
    // all of them, and for a sticky folder on the entry's owner as well.
    const uid_t euid = m_settings.euid;
    const bool writable = ::faccessat(fd, ".", W_OK | X_OK, 0) == 0;
    const bool stickyRule =
        writable && (st.st_mode & S_ISVTX) != 0 && euid != 0 && st.st_uid != euid;
    const bool checkUnsafe = !m_settings.scanUnsafe.load(std::memory_order_relaxed) &&
                             task.depth + 1 <= m_settings.unsafeDepth;
    const bool checkProtected = !m_settings.scanUnsafe.load(std::memory_order_relaxed);
    const bool checkRoots = m_settings.HasSkippedRoots();
    const bool statxMountRoot = UseStatxMountId();
    const unsigned int mask = STATX_TYPE | STATX_SIZE | STATX_BLOCKS | STATX_NLINK | STATX_INO |
                              STATX_BTIME | (stickyRule ? STATX_UID : 0u);

    m_path = task.path;
    if (m_path != "/") {
        m_path += '/';
    }
    const std::size_t prefix = m_path.size();

    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, m_buffer.get(), bufferSize);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            // The rest of the folder is unknown: counted as one kept entry.
            error = ErrorText(errno);
            ++kept;
            break;
        }
        if (n == 0) {
            break;
        }
        for (long offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(m_buffer.get() + offset);
            offset += entry->d_reclen;
            const char* name = entry->d_name;
            if (IsDotOrDotDot(name)) {
                continue;
            }
            const std::size_t length = std::strlen(name);
            if (!Platform::IsValidUtf8(name, length)) {
                ++kept;
                ++badNames;
                continue;
            }
            switch (entry->d_type) {
                case DT_FIFO:
                case DT_SOCK:
                case DT_CHR:
                case DT_BLK:
                    ++kept;
                    continue;
                default:
                    break;
            }
            m_path.resize(prefix);
            m_path.append(name, length);
            if (checkUnsafe && !IsPathSafe(Platform::DecodePathOrNull(m_path))) {
                ++kept;
                continue;
            }
            struct statx sx;
            if (::statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, mask, &sx) != 0) {
                if (errno == ENOENT) {
                    continue;  // gone before it was counted
                }
                if (error.empty()) {
                    error = ErrorText(errno);
                }
                ++kept;
                continue;
            }
            const dev_t device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
            if (device != task.device) {
                ++kept;
                continue;
            }
            const mode_t type = sx.stx_mode & S_IFMT;
            if (statxMountRoot && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
                if ((sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
                    ++kept;
                    continue;
                }
            } else if (type != S_IFLNK) {
                // An older kernel: a bind mount keeps the device, only its
                // mount id differs. Unknown counts as another mount.
                const std::uint64_t mountId = ProbeMountId(fd, name);
                if (mountId == 0 || mountId != task.mountId) {
                    ++kept;
                    continue;
                }
            }
            const bool admin = !writable || (stickyRule && sx.stx_uid != euid);
            if (type == S_IFDIR) {
                if ((checkProtected && m_settings.protectedFolders.Contains(device, sx.stx_ino)) ||
                    (checkRoots && m_settings.IsOtherRoot(m_path, device, sx.stx_ino)) ||
                    !m_settings.Accepts(m_path)) {
                    ++kept;
                    continue;
                }
                ++required;
                FolderTask child;
                child.path = m_path;
                child.device = task.device;
                child.inode = sx.stx_ino;
                child.birth = BirthOf(sx);
                child.mountId = task.mountId;
                child.depth = task.depth + 1;
                child.adminRightsRequired = admin;
                m_children.push_back(std::move(child));
            } else if (type == S_IFREG || type == S_IFLNK) {
                if (!m_settings.Accepts(m_path)) {
                    ++kept;
                    continue;
                }
                ++required;
                FSScanner::Result r;
                r.path = m_path;
                r.size = static_cast<long long>(sx.stx_size);
                r.diskSize = DiskSizeOf(sx.stx_blocks, sx.stx_nlink, device, sx.stx_ino);
                r.adminRightsRequired = admin;
                r.device = device;
                r.inode = sx.stx_ino;
                r.birth = BirthOf(sx);
                m_batch.push_back(std::move(r));
            } else {
                ++kept;
            }
        }
    }
    if (badNames > 0) {
        LOG(WARNING) << "Skipped " << badNames << " names that are not valid UTF-8 in \""
                     << EscapeForLog(task.path) << "\"";
    }
    FSScanner::Result& self = m_batch[selfIndex];
    self = FolderRecord(task, error, kept);
    self.required = required;
}

}  // namespace Varnex::Cleaner::Details
