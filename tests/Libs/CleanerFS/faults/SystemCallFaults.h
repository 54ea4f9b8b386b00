#pragma once

#include <functional>
#include <string>
#include <vector>

namespace Varnex::Test {

// Makes chosen system calls of the removal server fail while it lives (the
// test-only build of CleanerFS, FSSystemCalls.h). A rule picks the calls of
// one kind on one entry name ("" for any, a trailing '*' for a prefix; for
// GET_DENTS and WRITE the name of the folder read or the file written) and
// fails the nth of them, or every one from the nth on, with its errno; or,
// with `before` and no errno, runs `before` (another process's doing, say)
// and lets the call through, then runs `after` once it returned. Everything
// else reaches the system.
// One instance at a time; install it only while no removal runs.
class SystemCallFaults {
public:
    enum Call { OPEN_AT, STATX, UNLINK_AT, REMOVE_DIR, GET_DENTS, RENAME, WRITE };
    struct Rule {
        Call call;
        std::string name;
        int nth = 1;
        int err = 0;
        bool fromNthOn = false;
        std::function<void()> before = nullptr;
        // Run once the struck call has returned (its errno kept).
        std::function<void()> after = nullptr;
    };

    explicit SystemCallFaults(std::vector<Rule> rules);
    ~SystemCallFaults();
    SystemCallFaults(const SystemCallFaults&) = delete;
    SystemCallFaults& operator=(const SystemCallFaults&) = delete;

    // How many calls the rules struck.
    int Injected() const;
};

}  // namespace Varnex::Test
