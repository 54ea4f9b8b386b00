#include "CleanerFS/FSMountProbe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CleanerFS/FSCleanerFd.h"

namespace Varnex::Cleaner::Details {

namespace {

std::atomic<MountProbeLimit> probeLimit{MountProbeLimit::NONE};

// The id comes with the handle; a handle too small for anything still gets it
// (EOVERFLOW), so no handle needs to be stored.
std::uint64_t FromFileHandle(int dirFd, const char* name) {
    struct file_handle handle {};
    handle.handle_bytes = 0;
    int mountId = 0;
    const int flags = name[0] == '\0' ? AT_EMPTY_PATH : 0;
    if (::name_to_handle_at(dirFd, name, &handle, &mountId, flags) != 0 && errno != EOVERFLOW) {
        return 0;
    }
    return mountId > 0 ? static_cast<std::uint64_t>(mountId) : 0;
}

// The kernel lists the mount id of every open descriptor (Linux 3.15 on).
std::uint64_t FromFdInfo(int dirFd, const char* name) {
    FSCleanerFd own;
    int fd = dirFd;
    if (name[0] != '\0') {
        own.Reset(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!own.IsValid()) {
            return 0;
        }
        fd = own.Get();
    }
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/self/fdinfo/%d", fd);
    FSCleanerFd info(::open(path, O_RDONLY | O_CLOEXEC));
    if (!info.IsValid()) {
        return 0;
    }
    char text[4096];
    ssize_t n;
    do {
        n = ::read(info.Get(), text, sizeof(text) - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return 0;
    }
    text[n] = '\0';
    const char* line = std::strstr(text, "\nmnt_id:");
    if (!line) {
        return 0;
    }
    return std::strtoull(line + std::strlen("\nmnt_id:"), nullptr, 10);
}

}  // namespace

std::uint64_t ProbeMountId(int dirFd, const char* name) {
    if (probeLimit.load(std::memory_order_relaxed) != MountProbeLimit::FDINFO_ONLY) {
        if (const std::uint64_t id = FromFileHandle(dirFd, name)) {
            return id;
        }
    }
    return FromFdInfo(dirFd, name);
}

namespace {

// A mountinfo field with its octal escapes (\040 for a space, ...) undone.
std::string Unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool ReadAll(const char* path, std::string* out) {
    FSCleanerFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.IsValid()) {
        return false;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out->append(buffer, static_cast<std::size_t>(n));
    }
}

// Calls `visit(device, mount point)` for each line of /proc/self/mountinfo
// until it returns true; false when the table cannot be read.
template <class Visit>
bool ForEachMount(Visit visit) {
    std::string table;
    if (!ReadAll("/proc/self/mountinfo", &table) || table.empty()) {
        return false;
    }
    std::size_t lineStart = 0;
    while (lineStart < table.size()) {
        std::size_t lineEnd = table.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = table.size();
        }
        // Fields: id, parent id, major:minor, root, mount point, ...
        std::size_t fields[5] = {lineStart, 0, 0, 0, 0};
        std::size_t pos = lineStart;
        for (int field = 1; field < 5 && pos < lineEnd; ++field) {
            pos = table.find(' ', pos);
            pos = pos == std::string::npos || pos >= lineEnd ? lineEnd : pos + 1;
            fields[field] = pos;
        }
        std::size_t end = table.find(' ', fields[4]);
        end = end == std::string::npos || end > lineEnd ? lineEnd : end;
        unsigned int major = 0;
        unsigned int minor = 0;
        const std::string numbers = table.substr(fields[2], fields[3] - fields[2]);
        if (std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) == 2 &&
            visit(makedev(major, minor), Unescape(table.substr(fields[4], end - fields[4])))) {
            return true;
        }
        lineStart = lineEnd + 1;
    }
    return true;
}

}  // namespace

bool HoldsMountPoint(int folderFd) {
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", folderFd);
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlink(link, buffer, sizeof(buffer));
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(buffer) || buffer[0] != '/') {
        return true;
    }
    std::string folder(buffer, static_cast<std::size_t>(n));
    if (folder != "/") {
        folder += '/';
    }
    bool inside = false;
    const bool read = ForEachMount([&](dev_t, const std::string& point) {
        inside = point.size() > folder.size() && point.compare(0, folder.size(), folder) == 0;
        return inside;
    });
    return !read || inside;
}

bool IsMountedElsewhere(dev_t device, ino_t inode) {
    bool mounted = false;
    const bool read = ForEachMount([&](dev_t mountDevice, const std::string& point) {
        struct stat st;
        mounted = mountDevice == device && ::stat(point.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                  st.st_dev == device && st.st_ino == inode;
        return mounted;
    });
    return !read || mounted;
}

bool UseStatxMountId() {
    return probeLimit.load(std::memory_order_relaxed) == MountProbeLimit::NONE;
}

void LimitMountProbesForTests(MountProbeLimit limit) {
    probeLimit.store(limit);
}

namespace {

// The mount an entry lies on, by statx, never following a final link; 0
// when the kernel does not tell.
std::uint64_t MountOf(const std::string& path) {
    struct statx sx;
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &sx) !=
            0 ||
        (sx.stx_mask & STATX_MNT_ID) == 0) {
        return 0;
    }
    return sx.stx_mnt_id;
}

}  // namespace

bool StaysOnMountOf(const std::string& top, const std::string& path) {
    const std::uint64_t mount = MountOf(top);
    if (mount == 0) {
        return false;
    }
    for (std::size_t at = top.size(); at < path.size();) {
        const std::size_t next = path.find('/', at + 1);
        const std::string entry = path.substr(0, next == std::string::npos ? path.size() : next);
        if (MountOf(entry) != mount) {
            return false;
        }
        at = entry.size();
    }
    return true;
}

}  // namespace Varnex::Cleaner::Details
