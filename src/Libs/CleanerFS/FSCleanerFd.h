#pragma once

#include <unistd.h>

namespace Varnex::Cleaner::Details {

// Owns one file descriptor of the removal server and closes it once.
class FSCleanerFd {
public:
    FSCleanerFd() = default;
    explicit FSCleanerFd(int fd) : m_fd(fd) {}
    ~FSCleanerFd() { Reset(); }
    FSCleanerFd(FSCleanerFd&& other) noexcept : m_fd(other.Release()) {}
    FSCleanerFd& operator=(FSCleanerFd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    FSCleanerFd(const FSCleanerFd&) = delete;
    FSCleanerFd& operator=(const FSCleanerFd&) = delete;

    int Get() const { return m_fd; }
    bool IsValid() const { return m_fd >= 0; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

}  // namespace Varnex::Cleaner::Details
