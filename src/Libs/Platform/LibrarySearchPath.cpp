#include "Platform/LibrarySearchPath.h"

namespace Varnex::Platform {

QString LibrarySearchVariable() {
#ifdef __APPLE__
    return QStringLiteral("DYLD_LIBRARY_PATH");
#else
    return QStringLiteral("LD_LIBRARY_PATH");
#endif
}

QString PrependLibraryFolders(const QStringList& folders, const QString& previous) {
    QStringList entries;
    for (const QString& folder : folders) {
        if (!folder.isEmpty() && !entries.contains(folder)) {
            entries << folder;
        }
    }
    for (const QString& entry : previous.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (!entries.contains(entry)) {
            entries << entry;
        }
    }
    return entries.join(QLatin1Char(':'));
}

}  // namespace Varnex::Platform
