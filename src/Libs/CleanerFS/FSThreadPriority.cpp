#include "CleanerFS/FSThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Varnex::Cleaner::Details {

namespace {

// Weight 110 against the main thread's 1024 at the default niceness. On a
// machine with fewer cores than busy threads a worker that shares the main
// thread's core keeps it for a whole scheduler tick (4 ms at 250 Hz) each time
// it runs there. At this weight that happens about once in 40 ms, so a 20 ms
// turn of the main thread holds one such pause at most; at weight 335 it came
// about every 16 ms, and a turn could hold two. Alone on the machine the
// workers run at full speed all the same.
const int niceSteps = 10;
const int niceLimit = 19;

}  // namespace

void LowerThreadPriority() {
    // On Linux, PRIO_PROCESS with a thread id sets that one thread.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, tid);
    if (now == -1 && errno != 0) {
        return;
    }
    ::setpriority(PRIO_PROCESS, tid, std::min(now + niceSteps, niceLimit));
}

}  // namespace Varnex::Cleaner::Details
