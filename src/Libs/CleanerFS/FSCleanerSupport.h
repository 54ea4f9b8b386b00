#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <QString>
#include <cstdint>
#include <string>

// Small helpers shared by the parts of the removal server.
namespace Varnex::Cleaner::Details {

// What the removal server needs to know about one entry, read without
// following a final symbolic link.
struct FSEntryInfo {
    mode_t mode = 0;
    uid_t uid = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    nlink_t nlink = 0;
    long long size = 0;
    unsigned long long blocks = 0;  // 512-byte units
    long long birth = 0;        // ns since the epoch; 0 when the file system keeps none
    long long change = 0;       // status change time, ns since the epoch
    std::uint64_t mountId = 0;  // 0 when nothing tells (see FSMountProbe.h)
    bool mountRoot = false;     // the root of a mount, when the kernel tells
};

// The birth time statx reported, in ns since the epoch; 0 when none.
inline long long BirthOf(const struct statx& stx) {
    if ((stx.stx_mask & STATX_BTIME) == 0) {
        return 0;
    }
    return static_cast<long long>(stx.stx_btime.tv_sec) * 1000000000LL + stx.stx_btime.tv_nsec;
}

// statx(dirFd, name, AT_SYMLINK_NOFOLLOW); an empty name describes dirFd
// itself. Returns 0 or the errno.
int StatEntry(int dirFd, const char* name, FSEntryInfo* out);

// True when `child` lies on another mount than `parent` (another device, a
// mount root, or another mount id), and when either mount id is unknown.
bool IsOtherMount(const FSEntryInfo& parent, const FSEntryInfo& child);

// The result code (FSCleaner::Error) for the errno of a failed step.
// `removingFolder`: ENOTEMPTY and EEXIST then mean "not empty".
int CodeFromErrno(int err, bool removingFolder);

// The errno's text, thread-safe.
std::string ErrnoText(int err);

// A path for a log line: bytes kept, but control characters, DEL, '\\' and '"'
// escaped (\n, \t, \xHH), and Unicode's line breaks NEL, LS and PS written as
// \u0085, \u2028, \u2029, so that a name can neither forge nor split a line.
std::string EscapeForLog(const std::string& bytes);

// A planned path for a log line, even one that cannot cross to bytes: a lone
// surrogate shows as \uXXXX, everything else as EscapeForLog shows it.
std::string ShownPath(const QString& path);

}  // namespace Varnex::Cleaner::Details
