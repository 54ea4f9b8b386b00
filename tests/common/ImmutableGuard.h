#pragma once

#include <QString>

namespace Varnex::Test {

// Makes a file or folder immutable while it lives: even root may neither
// write, rename nor unlink it (EPERM). Set() is false where the file system
// has no such flag.
class ImmutableGuard {
public:
    ImmutableGuard() = default;
    ~ImmutableGuard();
    ImmutableGuard(const ImmutableGuard&) = delete;
    ImmutableGuard& operator=(const ImmutableGuard&) = delete;

    bool Set(const QString& path);

private:
    int m_fd = -1;
};

}  // namespace Varnex::Test
