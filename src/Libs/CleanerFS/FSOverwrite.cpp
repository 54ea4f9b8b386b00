#include "CleanerFS/FSOverwrite.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "CleanerFS/FSCleanerFd.h"
#include "CleanerFS/FSMountProbe.h"
#include "CleanerFS/FSPrivateName.h"
#include "CleanerFS/FSSystemCalls.h"

namespace Varnex::Cleaner::Details {

namespace {

constexpr std::size_t chunkSize = 64 * 1024;
const char zeros[chunkSize] = {};

int WriteZeros(int fd, off_t from, off_t to) {
    while (from < to) {
        const std::size_t n = static_cast<std::size_t>(std::min<off_t>(to - from, chunkSize));
        const ssize_t written = FSSystemCalls::PWrite(fd, zeros, n, from);
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

namespace {

// Overwrites the open file's data (holes stay holes) and flushes it.
int OverwriteContents(int fd, off_t size, std::string* why) {
    off_t pos = 0;
    while (pos < size) {
        const off_t data = ::lseek(fd, pos, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // only a hole is left
            }
            // No hole support: overwrite everything.
            const int err = WriteZeros(fd, pos, size);
            if (err != 0) {
                *why = "cannot overwrite it: " + ErrnoText(err);
                return err;
            }
            break;
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) {
            hole = size;
        }
        const int err = WriteZeros(fd, data, std::min(hole, size));
        if (err != 0) {
            *why = "cannot overwrite it: " + ErrnoText(err);
            return err;
        }
        pos = hole;
    }
    // Without this the dirty pages of an unlinked file may simply be dropped
    // and the old contents stay on the disk.
    if (::fdatasync(fd) != 0) {
        const int err = errno;
        if (err != EINVAL && err != EROFS) {
            *why = "cannot flush the overwrite: " + ErrnoText(err);
            return err;
        }
    }
    return 0;
}

}  // namespace

int ShredFile(int dirFd, const std::string& name, const FSEntryInfo& seen, std::string* why) {
    if (!S_ISREG(seen.mode)) {
        *why = "it is not a regular file";
        return EINVAL;
    }
    if (seen.nlink != 1) {
        *why = HardLinkedText();
        return EMLINK;
    }
    if (IsMountedElsewhere(seen.dev, seen.ino)) {
        *why =
            "it is mounted elsewhere too (or that cannot be told), where its contents would "
            "stay readable";
        return EMLINK;
    }
    // A private name first: the rename needs the rights the unlink needs, so
    // nothing is written to a file that then could not be removed (a sticky
    // folder, another user's folder, an immutable one).
    std::string privateName;
    {
        const int err = MoveAside(dirFd, name, seen, "shred", &privateName, why);
        if (err != 0) {
            if (err != ESTALE) {
                *why = "it cannot be removed, so it is not overwritten: " + *why;
            }
            return err;
        }
    }
    int err = 0;
    FSCleanerFd fd;
    {
        fd.Reset(FSSystemCalls::OpenAt(dirFd, privateName.c_str(),
                                       O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!fd.IsValid()) {
            err = errno;
            *why = "cannot open it to overwrite: " + ErrnoText(err);
        }
    }
    struct stat st;
    if (err == 0 && ::fstat(fd.Get(), &st) != 0) {
        err = errno;
        *why = "cannot examine it to overwrite: " + ErrnoText(err);
    }
    if (err == 0 && (st.st_dev != seen.dev || st.st_ino != seen.ino || !S_ISREG(st.st_mode))) {
        *why = "it was replaced while it was examined";
        err = ESTALE;
    }
    if (err == 0 && st.st_nlink != 1) {
        *why = HardLinkedText();
        err = EMLINK;
    }
    // Bytes written meanwhile by another process are overwritten too; a file
    // that keeps growing is refused rather than reported shredded.
    for (int pass = 0; err == 0; ++pass) {
        const off_t size = st.st_size;
        err = OverwriteContents(fd.Get(), size, why);
        if (err == 0 && ::fstat(fd.Get(), &st) != 0) {
            err = errno;
            *why = "cannot examine it after overwriting: " + ErrnoText(err);
        }
        if (err != 0 || st.st_size <= size) {
            break;
        }
        if (pass == 2) {
            *why = "it is being written to while it is overwritten";
            err = EBUSY;
        }
    }
    // A link made while the contents were overwritten: they are gone under
    // that name too, but this name is not removed as if all went well.
    if (err == 0 && st.st_nlink != 1) {
        *why = "it got another hard link while it was overwritten";
        err = EMLINK;
    }
    // The private name must still be this file's: another process could have
    // moved something else onto it, which is then neither removed nor given
    // the planned name.
    FSEntryInfo under;
    if (StatEntry(dirFd, privateName.c_str(), &under) != 0 || under.dev != seen.dev ||
        under.ino != seen.ino) {
        *why = "another entry was put under its private name \"" + EscapeForLog(privateName) +
               "\" while it was overwritten; that one is left there";
        return ESTALE;
    }
    if (err == 0 && FSSystemCalls::UnlinkAt(dirFd, privateName.c_str(), 0) != 0) {
        err = errno;
        *why = "overwritten, but cannot be removed: " + ErrnoText(err);
    }
    if (err != 0) {
        PutBack(dirFd, privateName, name);
    }
    return err;
}

}  // namespace Varnex::Cleaner::Details
