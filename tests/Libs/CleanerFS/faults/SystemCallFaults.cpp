#include "SystemCallFaults.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

#include "CleanerFS/FSSystemCalls.h"

using Varnex::Cleaner::Details::FSSystemCalls;

namespace Varnex::Test {

namespace {

struct Active {
    std::mutex mutex;
    std::vector<SystemCallFaults::Rule> rules;
    std::vector<int> seen;
    int injected = 0;
};

Active& State() {
    static Active state;
    return state;
}

bool Matches(const std::string& pattern, const char* name) {
    if (pattern.empty()) {
        return true;
    }
    if (pattern.back() == '*') {
        return std::string(name).compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) ==
               0;
    }
    return pattern == name;
}

// The errno to fail this call with, or 0 to let it through (after the
// rule's action, run outside the lock: it may make system calls of its own).
// *after: what to run once the call has returned.
int Decide(SystemCallFaults::Call call, const char* name, std::function<void()>* after) {
    std::function<void()> before;
    int err = 0;
    {
        Active& state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        for (std::size_t i = 0; i < state.rules.size(); ++i) {
            const SystemCallFaults::Rule& rule = state.rules[i];
            if (rule.call != call || !Matches(rule.name, name)) {
                continue;
            }
            const int count = ++state.seen[i];
            if (count == rule.nth || (rule.fromNthOn && count > rule.nth)) {
                ++state.injected;
                before = rule.before;
                *after = rule.after;
                err = rule.err;
                break;
            }
        }
    }
    if (before) {
        before();
    }
    return err;
}

std::string EntryName(int fd) {
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0) {
        return {};
    }
    const std::string path(target, static_cast<std::size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

// A call as the rules decide: failed, or made, with the rule's `after` then.
template <typename Real, typename... Args>
auto Through(SystemCallFaults::Call call, const char* name, Real real, Args... args)
    -> decltype(real(args...)) {
    std::function<void()> after;
    if (const int err = Decide(call, name, &after)) {
        errno = err;
        return -1;
    }
    const auto result = real(args...);
    if (after) {
        const int err = errno;
        after();
        errno = err;
    }
    return result;
}

int OpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    return Through(SystemCallFaults::OPEN_AT, name, FSSystemCalls::Real().openAt, dirFd, name,
                   flags, mode);
}

int Statx(int dirFd, const char* name, int flags, unsigned int mask, struct statx* out) {
    return Through(SystemCallFaults::STATX, name, FSSystemCalls::Real().statx, dirFd, name, flags,
                   mask, out);
}

int UnlinkAt(int dirFd, const char* name, int flags) {
    const auto call =
        (flags & AT_REMOVEDIR) ? SystemCallFaults::REMOVE_DIR : SystemCallFaults::UNLINK_AT;
    return Through(call, name, FSSystemCalls::Real().unlinkAt, dirFd, name, flags);
}

ssize_t GetDents(int fd, void* buffer, size_t size) {
    return Through(SystemCallFaults::GET_DENTS, EntryName(fd).c_str(),
                   FSSystemCalls::Real().getDents, fd, buffer, size);
}

int RenameAt2(int fromFd, const char* from, int toFd, const char* to, unsigned int flags) {
    return Through(SystemCallFaults::RENAME, from, FSSystemCalls::Real().renameAt2, fromFd, from,
                   toFd, to, flags);
}

ssize_t PWrite(int fd, const void* data, size_t size, off_t offset) {
    return Through(SystemCallFaults::WRITE, EntryName(fd).c_str(), FSSystemCalls::Real().pWrite, fd,
                   data, size, offset);
}

}  // namespace

SystemCallFaults::SystemCallFaults(std::vector<Rule> rules) {
    Active& state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.seen.assign(rules.size(), 0);
        state.rules = std::move(rules);
        state.injected = 0;
    }
    FSSystemCalls::SetForTests({&OpenAt, &Statx, &UnlinkAt, &GetDents, &RenameAt2, &PWrite});
}

SystemCallFaults::~SystemCallFaults() {
    FSSystemCalls::SetForTests(FSSystemCalls::Real());
    Active& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.rules.clear();
    state.seen.clear();
}

int SystemCallFaults::Injected() const {
    Active& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.injected;
}

}  // namespace Varnex::Test
