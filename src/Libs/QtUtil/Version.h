#pragma once

#include <QString>

namespace Varnex::Util {

// A "major.minor.patch" version number, ordered part by part. Plain value.
class Version {
public:
    Version() = default;
    Version(int major, int minor = 0, int patch = 0);
    // Reads the leading "N", "N.N" or "N.N.N" of `text` (blanks before it are
    // skipped; what follows is ignored: "10.15.7 (19H2)", "6.1.0-13-amd64").
    // Missing parts are 0. Text that does not start with a number gives an
    // invalid version (0.0.0, IsValid() false).
    explicit Version(const QString& text);

    bool IsValid() const { return m_valid; }
    int GetMajor() const { return m_major; }
    int GetMinor() const { return m_minor; }
    int GetPatch() const { return m_patch; }
    QString ToString() const;  // "10.15.7"

    friend bool operator==(const Version& a, const Version& b) { return a.Compare(b) == 0; }
    friend bool operator!=(const Version& a, const Version& b) { return a.Compare(b) != 0; }
    friend bool operator<(const Version& a, const Version& b) { return a.Compare(b) < 0; }
    friend bool operator<=(const Version& a, const Version& b) { return a.Compare(b) <= 0; }
    friend bool operator>(const Version& a, const Version& b) { return a.Compare(b) > 0; }
    friend bool operator>=(const Version& a, const Version& b) { return a.Compare(b) >= 0; }

private:
    int Compare(const Version& other) const;

    int m_major = 0;
    int m_minor = 0;
    int m_patch = 0;
    bool m_valid = false;
};

// The version of the system the library runs on, macOS-style: see
// Platform/SystemVersion.h for where it comes from on this platform
// ($KLARVIK_SYSTEM_VERSION, the system root's SystemVersion.plist, the kernel
// release). Any thread.
Version GetSystemVersion();

}  // namespace Varnex::Util
