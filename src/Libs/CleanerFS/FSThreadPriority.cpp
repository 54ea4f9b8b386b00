#include "CleanerFS/FSThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Varnex::Cleaner::Details {

namespace {

// Weight 335 against the main thread's 1024 at the default niceness: the main
// thread wins a core at once when it wakes, without starving the workers
// when it is busy.
const int niceSteps = 5;
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
