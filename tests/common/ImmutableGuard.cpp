#include "common/ImmutableGuard.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Varnex::Test {

bool ImmutableGuard::Set(const QString& path) {
    m_fd = ::open(path.toStdString().c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (m_fd < 0 || ::ioctl(m_fd, FS_IOC_GETFLAGS, &flags) != 0) {
        return false;
    }
    flags |= FS_IMMUTABLE_FL;
    return ::ioctl(m_fd, FS_IOC_SETFLAGS, &flags) == 0;
}

ImmutableGuard::~ImmutableGuard() {
    int flags = 0;
    if (m_fd >= 0 && ::ioctl(m_fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(m_fd, FS_IOC_SETFLAGS, &flags);
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

}  // namespace Varnex::Test
