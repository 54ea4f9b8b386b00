#include "Platform/DarwinUserCache.h"

#include <QDir>
#include <QtGlobal>

namespace Varnex::Platform {

QString DarwinUserCachePath() {
    const QString value = qEnvironmentVariable("KLARVIK_DARWIN_USER_CACHE");
    if (!value.startsWith(QLatin1Char('/'))) {
        return QString();
    }
    return QDir::cleanPath(value);
}

}  // namespace Varnex::Platform
