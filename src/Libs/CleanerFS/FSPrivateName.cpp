#include "CleanerFS/FSPrivateName.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "CleanerFS/FSSystemCalls.h"

namespace Varnex::Cleaner::Details {

namespace {

std::string PrivateName(const char* purpose) {
    static std::atomic<unsigned long> counter{0};
    // The process id is read once (it is a system call, and this runs once per
    // entry removed). A forked child shares it with its parent: a name both
    // pick is refused by RENAME_NOREPLACE and the next one is tried.
    static const std::string process = std::to_string(::getpid());
    return std::string(".klarvik-") + purpose + "." + process + "." + std::to_string(++counter);
}

}  // namespace

int MoveAside(int dirFd, const std::string& name, const FSEntryInfo& seen, const char* purpose,
              std::string* privateName, std::string* why) {
    for (int attempt = 0;; ++attempt) {
        *privateName = PrivateName(purpose);
        if (FSSystemCalls::RenameAt2(dirFd, name.c_str(), dirFd, privateName->c_str(),
                                     RENAME_NOREPLACE) == 0) {
            break;
        }
        const int err = errno;
        if (err != EEXIST || attempt >= 100) {
            *why = ErrnoText(err);
            return err;
        }
    }
    FSEntryInfo moved;
    if (StatEntry(dirFd, privateName->c_str(), &moved) != 0 || moved.dev != seen.dev ||
        moved.ino != seen.ino || (moved.mode & S_IFMT) != (seen.mode & S_IFMT)) {
        // What was moved is not what was examined: it goes back untouched.
        *why = "it was replaced while it was examined";
        PutBack(dirFd, *privateName, name);
        return ESTALE;
    }
    return 0;
}

void PutBack(int dirFd, const std::string& privateName, const std::string& name) {
    if (FSSystemCalls::RenameAt2(dirFd, privateName.c_str(), dirFd, name.c_str(),
                                 RENAME_NOREPLACE) != 0) {
        LOG(WARNING) << "Cannot give \"" << EscapeForLog(name)
                     << "\" its name back: " << ErrnoText(errno) << "; it is kept as \""
                     << EscapeForLog(privateName) << "\" in the same folder";
    }
}

}  // namespace Varnex::Cleaner::Details
