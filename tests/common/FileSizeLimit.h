#pragma once

#include <sys/resource.h>

#include <csignal>

namespace Varnex::Test {

// A full disk, for the whole process while it lives: no file may grow past
// `bytes` (RLIMIT_FSIZE), and since SIGXFSZ is ignored meanwhile a write past
// the limit fails with EFBIG instead of killing the process. Files already
// larger stay readable; only writes beyond the limit fail.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit m_old {};
    struct sigaction m_oldAction {};
};

}  // namespace Varnex::Test
