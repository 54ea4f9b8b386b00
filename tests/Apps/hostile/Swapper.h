#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Varnex::Test {

// One swap the second process makes again and again at a place inside a root.
struct Swap {
    enum Kind { ParentToLink, FolderToFile, FileToHardLink } kind;
    std::string place;    // the entry swapped
    std::string outside;  // the link's target / the hard link's source
};

// A second process that, until killed, swaps things at the places given with
// tiny random pauses between steps; what it was doing when killed stays so
// (nothing is put back). Only raw system calls after fork(). With
// `startWhen`, it begins once something is at that path. Its links are an
// ordinary user's: when the tests run as root, they belong to "nobody", as a
// link another process of the user planted would.
class Swapper {
public:
    Swapper(std::vector<Swap> swaps, uint64_t seed, const std::string& startWhen = {});
    ~Swapper();
    Swapper(const Swapper&) = delete;
    Swapper& operator=(const Swapper&) = delete;
    void Stop();

private:
    pid_t m_pid = -1;
};

// The seeds every swapping case is run with.
extern const uint64_t kSeeds[4];

}  // namespace Varnex::Test
