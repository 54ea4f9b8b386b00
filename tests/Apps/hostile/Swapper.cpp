#include "Swapper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace Varnex::Test {

const uint64_t kSeeds[4] = {1, 7, 42, 1234567};

namespace {

// The owner of the links the swapper makes when the tests run as root: any
// user but root.
constexpr uid_t nobody = 65534;

}  // namespace

namespace {

void Nap(uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    timespec ts{0, static_cast<long>((state >> 33) % 300000)};  // up to 0.3 ms
    ::nanosleep(&ts, nullptr);
}

}  // namespace

Swapper::Swapper(std::vector<Swap> swaps, uint64_t seed, const std::string& startWhen) {
    m_pid = ::fork();
    if (m_pid != 0) {
        return;
    }
    uint64_t state = seed;
    const bool asRoot = ::geteuid() == 0;
    struct stat waited {};
    while (!startWhen.empty() && ::lstat(startWhen.c_str(), &waited) != 0) {
        Nap(state);
    }
    for (;;) {
        for (const Swap& s : swaps) {
            const std::string away = s.place + ".away";
            Nap(state);
            if (::rename(s.place.c_str(), away.c_str()) != 0) {
                continue;
            }
            if (s.kind == Swap::ParentToLink) {
                // Made aside and renamed in, so the place never holds a link
                // of root's: run by root, the program follows a root's link
                // in a folder closed to others as one the system put there.
                const std::string link = s.place + ".link";
                if (::symlink(s.outside.c_str(), link.c_str()) == 0 &&
                    (!asRoot || ::lchown(link.c_str(), nobody, nobody) == 0)) {
                    (void)::rename(link.c_str(), s.place.c_str());
                }
                (void)::unlink(link.c_str());
            } else if (s.kind == Swap::FolderToFile) {
                const int fd =
                    ::open(s.place.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
                if (fd >= 0) {
                    (void)::write(fd, "swapped", 7);
                    ::close(fd);
                }
            } else {
                (void)::link(s.outside.c_str(), s.place.c_str());
            }
            Nap(state);
            struct stat st {};
            if (::lstat(s.place.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
                ::unlink(s.place.c_str());
            }
            (void)::rename(away.c_str(), s.place.c_str());
        }
    }
}

Swapper::~Swapper() {
    Stop();
}

void Swapper::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
}

}  // namespace Varnex::Test
