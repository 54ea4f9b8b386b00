#include "CleanerFS/FSSystemCalls.h"

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

namespace Varnex::Cleaner::Details {

namespace {

int RealOpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    return ::openat(dirFd, name, flags, mode);
}

int RealStatx(int dirFd, const char* name, int flags, unsigned int mask, struct statx* out) {
    return ::statx(dirFd, name, flags, mask, out);
}

int RealUnlinkAt(int dirFd, const char* name, int flags) {
    return ::unlinkat(dirFd, name, flags);
}

ssize_t RealGetDents(int fd, void* buffer, size_t size) {
    return ::getdents64(fd, buffer, size);
}

int RealRenameAt2(int fromFd, const char* from, int toFd, const char* to, unsigned int flags) {
    return ::renameat2(fromFd, from, toFd, to, flags);
}

ssize_t RealPWrite(int fd, const void* data, size_t size, off_t offset) {
    return ::pwrite(fd, data, size, offset);
}

#ifdef KLARVIK_FAULT_SEAM
// Read by the removal threads, written by a test between runs.
std::atomic<decltype(&RealOpenAt)> openAtCall{&RealOpenAt};
std::atomic<decltype(&RealStatx)> statxCall{&RealStatx};
std::atomic<decltype(&RealUnlinkAt)> unlinkAtCall{&RealUnlinkAt};
std::atomic<decltype(&RealGetDents)> getDentsCall{&RealGetDents};
std::atomic<decltype(&RealRenameAt2)> renameAt2Call{&RealRenameAt2};
std::atomic<decltype(&RealPWrite)> pWriteCall{&RealPWrite};
#define KLARVIK_SYSTEM_CALL(seam, real) seam##Call.load()
#else
#define KLARVIK_SYSTEM_CALL(seam, real) (&real)
#endif

}  // namespace

int FSSystemCalls::OpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    return KLARVIK_SYSTEM_CALL(openAt, RealOpenAt)(dirFd, name, flags, mode);
}

int FSSystemCalls::Statx(int dirFd, const char* name, int flags, unsigned int mask,
                         struct statx* out) {
    return KLARVIK_SYSTEM_CALL(statx, RealStatx)(dirFd, name, flags, mask, out);
}

int FSSystemCalls::UnlinkAt(int dirFd, const char* name, int flags) {
    return KLARVIK_SYSTEM_CALL(unlinkAt, RealUnlinkAt)(dirFd, name, flags);
}

ssize_t FSSystemCalls::GetDents(int fd, void* buffer, size_t size) {
    return KLARVIK_SYSTEM_CALL(getDents, RealGetDents)(fd, buffer, size);
}

int FSSystemCalls::RenameAt2(int fromFd, const char* from, int toFd, const char* to,
                             unsigned int flags) {
    return KLARVIK_SYSTEM_CALL(renameAt2, RealRenameAt2)(fromFd, from, toFd, to, flags);
}

ssize_t FSSystemCalls::PWrite(int fd, const void* data, size_t size, off_t offset) {
    return KLARVIK_SYSTEM_CALL(pWrite, RealPWrite)(fd, data, size, offset);
}

#ifdef KLARVIK_FAULT_SEAM
void FSSystemCalls::SetForTests(const Table& table) {
    openAtCall = table.openAt;
    statxCall = table.statx;
    unlinkAtCall = table.unlinkAt;
    getDentsCall = table.getDents;
    renameAt2Call = table.renameAt2;
    pWriteCall = table.pWrite;
}

FSSystemCalls::Table FSSystemCalls::Real() {
    return Table{&RealOpenAt, &RealStatx, &RealUnlinkAt, &RealGetDents, &RealRenameAt2,
                 &RealPWrite};
}
#endif

}  // namespace Varnex::Cleaner::Details
