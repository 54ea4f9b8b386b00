#pragma once

#include <QString>

// Facts about the user the process runs as. Any thread.
namespace Varnex::Cleaner {

// The real user id in decimal ("501"), as volume trash folders name it
// (".Trashes/501").
QString GetUserIdString();

// The user's private cache folder (macOS keeps it below /private/var/folders).
// Empty unless the platform layer has one configured (see
// Platform/DarwinUserCache.h); callers then leave that root out.
QString GetDarwinUserCachePath();

}  // namespace Varnex::Cleaner
