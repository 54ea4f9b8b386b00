#include "CleanerFS/FSOverwrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "CleanerFS/FSCleanerFd.h"

namespace Varnex::Cleaner::Details {

namespace {

constexpr std::size_t chunkSize = 64 * 1024;
const char zeros[chunkSize] = {};

int WriteZeros(int fd, off_t from, off_t to) {
    while (from < to) {
        const std::size_t n = static_cast<std::size_t>(std::min<off_t>(to - from, chunkSize));
        const ssize_t written = ::pwrite(fd, zeros, n, from);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return EIO;
        }
        from += written;
    }
    return 0;
}

std::string HardLinkedText() {
    return "it has other hard links, which keep its contents: it is neither overwritten (that "
           "would destroy theirs) nor removed (that would not destroy its own)";
}

}  // namespace

int OverwriteBeforeUnlink(int dirFd, const std::string& name, const FSEntryInfo& seen,
                          std::string* why) {
    if (!S_ISREG(seen.mode)) {
        return 0;
    }
    if (seen.nlink != 1) {
        *why = HardLinkedText();
        return EMLINK;
    }
    FSCleanerFd fd(
        ::openat(dirFd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.IsValid()) {
        const int err = errno;
        if (err == ELOOP || err == ENXIO) {
            // A link or a FIFO where the regular file was seen: the entry was
            // replaced, and what is there now was never scanned.
            *why = "it was replaced while it was examined";
            return ESTALE;
        }
        *why = "cannot open it to overwrite: " + ErrnoText(err);
        return err;
    }
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0) {
        const int err = errno;
        *why = "cannot examine it to overwrite: " + ErrnoText(err);
        return err;
    }
    if (st.st_dev != seen.dev || st.st_ino != seen.ino) {
        *why = "it was replaced while it was examined";
        return ESTALE;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "it was replaced while it was examined";
        return ESTALE;
    }
    if (st.st_nlink != 1) {
        *why = HardLinkedText();
        return EMLINK;
    }
    const off_t size = st.st_size;
    off_t pos = 0;
    while (pos < size) {
        const off_t data = ::lseek(fd.Get(), pos, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // only a hole is left
            }
            // No hole support: overwrite everything.
            const int err = WriteZeros(fd.Get(), pos, size);
            if (err != 0) {
                *why = "cannot overwrite it: " + ErrnoText(err);
                return err;
            }
            break;
        }
        off_t hole = ::lseek(fd.Get(), data, SEEK_HOLE);
        if (hole < 0) {
            hole = size;
        }
        const int err = WriteZeros(fd.Get(), data, std::min(hole, size));
        if (err != 0) {
            *why = "cannot overwrite it: " + ErrnoText(err);
            return err;
        }
        pos = hole;
    }
    // Without this the dirty pages of an unlinked file may simply be dropped
    // and the old contents stay on the disk.
    if (::fdatasync(fd.Get()) != 0) {
        const int err = errno;
        if (err != EINVAL && err != EROFS) {
            *why = "cannot flush the overwrite: " + ErrnoText(err);
            return err;
        }
    }
    return 0;
}

}  // namespace Varnex::Cleaner::Details
