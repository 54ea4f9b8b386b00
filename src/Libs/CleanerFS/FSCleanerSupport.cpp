#include "CleanerFS/FSCleanerSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <system_error>

#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSMountProbe.h"
#include "CleanerFS/FSSystemCalls.h"

namespace Varnex::Cleaner::Details {

int StatEntry(int dirFd, const char* name, FSEntryInfo* out) {
    struct statx stx;
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    if (FSSystemCalls::Statx(dirFd, name, flags,
                             STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO | STATX_NLINK |
                                 STATX_SIZE | STATX_BLOCKS | STATX_BTIME | STATX_CTIME |
                                 STATX_MNT_ID,
                             &stx) != 0) {
        return errno;
    }
    out->mode = stx.stx_mode;
    out->uid = stx.stx_uid;
    out->dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    out->ino = stx.stx_ino;
    out->nlink = stx.stx_nlink;
    out->size = static_cast<long long>(stx.stx_size);
    out->blocks = stx.stx_blocks;
    out->birth = BirthOf(stx);
    out->change =
        static_cast<long long>(stx.stx_ctime.tv_sec) * 1000000000LL + stx.stx_ctime.tv_nsec;
    if ((stx.stx_mask & STATX_MNT_ID) && UseStatxMountId()) {
        out->mountId = stx.stx_mnt_id;
        out->mountRoot = (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
                         (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    } else {
        // An older kernel: only the mount id can tell a bind mount.
        out->mountId = ProbeMountId(dirFd, name);
        out->mountRoot = false;
    }
    return 0;
}

bool IsOtherMount(const FSEntryInfo& parent, const FSEntryInfo& child) {
    // A bind mount of the same file system keeps the device: the mount root
    // attribute and the mount id catch it. When no mount id is known, the
    // entry is not taken to be on the same mount.
    return child.dev != parent.dev || child.mountRoot || parent.mountId == 0 ||
           child.mountId == 0 || parent.mountId != child.mountId;
}

int CodeFromErrno(int err, bool removingFolder) {
    switch (err) {
        case ENOENT:
            return FSCleaner::NOT_FOUND;
        case EACCES:
        case EPERM:
            return FSCleaner::PERMISSION_DENIED;
        case ENOTEMPTY:
        case EEXIST:
            return removingFolder ? FSCleaner::NOT_EMPTY : FSCleaner::FAILED;
        case EBUSY:   // a mount point
        case ESTALE:  // not the entry that was examined any more
        case EMLINK:  // other hard links keep what was to be overwritten
            return FSCleaner::REFUSED;
        default:
            return FSCleaner::FAILED;
    }
}

std::string ErrnoText(int err) {
    return std::system_category().message(err);
}

std::string EscapeForLog(const std::string& bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() + 8);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char ch = bytes[i];
        const auto c = static_cast<unsigned char>(ch);
        // Unicode's own line breaks: NEL (C2 85), LS and PS (E2 80 A8/A9).
        if (c == 0xC2 && i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) == 0x85) {
            out += "\\u0085";
            ++i;
            continue;
        }
        if (c == 0xE2 && i + 2 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(bytes[i + 2]) & 0xFE) == 0xA8) {
            out += bytes[i + 2] == static_cast<char>(0xA8) ? "\\u2028" : "\\u2029";
            i += 2;
            continue;
        }
        if (c == '\\' || c == '"') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string ShownPath(const QString& path) {
    std::string out;
    QString run;
    const auto flush = [&] {
        out += EscapeForLog(run.toStdString());
        run.clear();
    };
    for (int i = 0; i < path.size(); ++i) {
        const QChar c = path.at(i);
        if (c.isHighSurrogate() && i + 1 < path.size() && path.at(i + 1).isLowSurrogate()) {
            run += c;
            run += path.at(++i);
        } else if (c.isSurrogate()) {
            flush();
            static const char hex[] = "0123456789ABCDEF";
            const ushort u = c.unicode();
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out += hex[(u >> shift) & 0xf];
            }
        } else {
            run += c;
        }
    }
    flush();
    return out;
}

}  // namespace Varnex::Cleaner::Details
