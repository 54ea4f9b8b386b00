#include "CleanerFS/FSThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Varnex::Cleaner::Details {

namespace {

const int niceLimit = 19;

}  // namespace

void LowerThreadPriority(int steps) {
    // On Linux, PRIO_PROCESS with a thread id sets that one thread.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, tid);
    if (now == -1 && errno != 0) {
        return;
    }
    ::setpriority(PRIO_PROCESS, tid, std::min(now + steps, niceLimit));
}

}  // namespace Varnex::Cleaner::Details
