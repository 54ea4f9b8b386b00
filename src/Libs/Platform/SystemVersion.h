#pragma once

#include <QString>

namespace Varnex::Platform {

// The version of the operating system as macOS would state it ("10.15.7"),
// taken from the first source that gives a non-empty text:
//  1. the environment variable KLARVIK_SYSTEM_VERSION;
//  2. "ProductVersion" of /System/Library/CoreServices/SystemVersion.plist below
//     the system root (XML or binary property list);
//  3. the kernel release (uname), e.g. "6.1.0-13-amd64".
// Callers parse the leading numbers. Read on every call; any thread.
QString SystemVersionText();

// Step 2 alone, for a given property list file: empty when it is missing,
// unreadable, not a dictionary or without a string "ProductVersion".
QString ReadProductVersion(const QString& plistPath);

}  // namespace Varnex::Platform
