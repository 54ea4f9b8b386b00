#include "Core/DatabaseContext.h"

#include <glog/logging.h>

#include "CleanerCommon/LogText.h"

namespace Varnex::Cleaner {

DatabaseContext::DatabaseContext(const QString& name, const QString& mirror) : name(name) {
    UpdateUrl(mirror);
}

void DatabaseContext::UpdateUrl(const QString& mirror) {
    url.clear();
    if (IsNull()) {
        return;
    }
    QString base = mirror.trimmed();
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    const QUrl candidate(base + QLatin1Char('/') + name + QStringLiteral(".cvd"), QUrl::StrictMode);
    if (base.isEmpty() || !candidate.isValid() || candidate.isRelative() ||
        candidate.host().isEmpty()) {
        LOG(WARNING) << "No valid address for the " << Util::LogText(name)
                     << " database at the mirror \"" << Util::LogText(mirror) << "\"";
        return;
    }
    url = candidate;
}

}  // namespace Varnex::Cleaner
