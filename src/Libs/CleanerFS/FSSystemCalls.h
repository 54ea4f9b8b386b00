#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace Varnex::Cleaner::Details {

// The system calls through which the removal server opens, examines, reads,
// overwrites and removes entries. Each answers as the call it stands for: -1 (or the
// errno, for Statx) with errno set on failure.
//
// In the library these are the system calls themselves. The test-only copy
// of the library (CleanerFSFaultSeam, never the product) lets a test put its
// own functions in their place, to make any step fail with any errno during a
// real run: only it defines SetForTests() and Real().
class FSSystemCalls {
public:
    // openat(2); `mode` only with O_CREAT.
    static int OpenAt(int dirFd, const char* name, int flags, mode_t mode = 0);
    // statx(2); returns 0 or -1 with errno set.
    static int Statx(int dirFd, const char* name, int flags, unsigned int mask, struct statx* out);
    static int UnlinkAt(int dirFd, const char* name, int flags);
    static ssize_t GetDents(int fd, void* buffer, size_t size);
    static int RenameAt2(int fromFd, const char* from, int toFd, const char* to,
                         unsigned int flags);
    // pwrite(2).
    static ssize_t PWrite(int fd, const void* data, size_t size, off_t offset);

    struct Table {
        int (*openAt)(int, const char*, int, mode_t);
        int (*statx)(int, const char*, int, unsigned int, struct statx*);
        int (*unlinkAt)(int, const char*, int);
        ssize_t (*getDents)(int, void*, size_t);
        int (*renameAt2)(int, const char*, int, const char*, unsigned int);
        ssize_t (*pWrite)(int, const void*, size_t, off_t);
    };
    // The functions the system calls go to; Real() gives the system's own.
    // Set it only while no removal runs.
    static void SetForTests(const Table& table);
    static Table Real();
};

}  // namespace Varnex::Cleaner::Details
