#include "CleanerCommon/CurrentUser.h"

#include <unistd.h>

#include "Platform/DarwinUserCache.h"

namespace Varnex::Cleaner {

QString GetUserIdString() {
    return QString::number(static_cast<qulonglong>(::getuid()));
}

QString GetDarwinUserCachePath() {
    return Platform::DarwinUserCachePath();
}

}  // namespace Varnex::Cleaner
