#include "common/FileSizeLimit.h"

#include <gtest/gtest.h>

namespace Varnex::Test {

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    EXPECT_EQ(::sigaction(SIGXFSZ, &ignore, &m_oldAction), 0);
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &m_old), 0);
    struct rlimit limited = m_old;
    limited.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
}

FileSizeLimit::~FileSizeLimit() {
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &m_old), 0);
    EXPECT_EQ(::sigaction(SIGXFSZ, &m_oldAction, nullptr), 0);
}

}  // namespace Varnex::Test
