#pragma once

#include <QString>

namespace Varnex::Platform {

// The per-user private cache folder that macOS keeps below /private/var/folders
// (what confstr(_CS_DARWIN_USER_CACHE_DIR) answers there). Linux has no such
// folder, so it is configured: the environment variable
// KLARVIK_DARWIN_USER_CACHE, when it holds an absolute path, gives it (cleaned
// of "." and ".." components and a trailing '/'); otherwise the answer is empty
// and callers leave that cache root out. The value is taken as it stands: it is
// not placed below the system root. Read on every call; any thread.
QString DarwinUserCachePath();

}  // namespace Varnex::Platform
