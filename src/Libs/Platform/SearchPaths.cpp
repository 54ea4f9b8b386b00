#include "Platform/SearchPaths.h"

#include <QDir>

#include "Platform/SystemRoot.h"

namespace Varnex::Platform {

namespace {

// The application folders of one domain, in the order Cocoa lists them.
const char* const applicationFolders[] = {"/Applications", "/Applications/Utilities",
                                          "/Developer/Applications", "/Applications/Demos"};

// The domains below the system root: local, network, system.
const char* const systemDomains[] = {"", "/Network", "/System"};

}  // namespace

QString UsableHomePath() {
    const QString home = HomePath();
    if (!QDir::isAbsolutePath(home)) {
        return QString();
    }
    const QString clean = QDir::cleanPath(home);
    if (clean == QLatin1String("/")) {
        return QString();
    }
    return clean;
}

QStringList UserApplicationsDirectories() {
    QStringList folders;
    const QString home = UsableHomePath();
    if (home.isEmpty()) {
        return folders;
    }
    for (const char* folder : applicationFolders) {
        folders.append(home + QLatin1String(folder));
    }
    return folders;
}

QStringList AllApplicationsDirectories() {
    QStringList folders = UserApplicationsDirectories();
    for (const char* domain : systemDomains) {
        for (const char* folder : applicationFolders) {
            folders.append(SystemPath(QLatin1String(domain) + QLatin1String(folder)));
        }
    }
    return folders;
}

QString UserLibraryDirectory() {
    const QString home = UsableHomePath();
    return home.isEmpty() ? QString() : home + QStringLiteral("/Library");
}

}  // namespace Varnex::Platform
