#include "CleanerFS/FSMountProbe.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

bool UseStatxMountId() {
    return probeLimit.load(std::memory_order_relaxed) == MountProbeLimit::NONE;
}

void LimitMountProbesForTests(MountProbeLimit limit) {
    probeLimit.store(limit);
}

}  // namespace Varnex::Cleaner::Details
