#include "Platform/DesktopFolders.h"

#include <sys/stat.h>

#include "Platform/PathCodec.h"
#include "Platform/SearchPaths.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Platform {

namespace {

bool IsFolder(const QString& path) {
    std::string bytes;
    struct stat st {};
    return EncodePath(path, &bytes) && ::lstat(bytes.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A variable naming a folder, else home + fallback; empty when neither serves.
QString XdgFolder(const char* variable, const QString& fallback) {
    QString value;
    switch (ReadPathVariable(variable, &value)) {
    case PathVariable::VALID:
        // "/cache/" names the folder a link "/cache" leads to: the slashes go.
        while (value.size() > 1 && value.endsWith(QLatin1Char('/'))) {
            value.chop(1);
        }
        return value;
    case PathVariable::UNDECODABLE:
        return QString();
    case PathVariable::UNSET:
        break;
    }
    const QString home = UsableHomePath();
    return home.isEmpty() ? QString() : home + fallback;
}

// Components below /var/cache and /var/log that are never offered.
const QStringList& KeptVarCache() {
    static const QStringList names = {
        QStringLiteral("apt"),    QStringLiteral("debconf"), QStringLiteral("dnf"),
        QStringLiteral("yum"),    QStringLiteral("pacman"),  QStringLiteral("zypp"),
        QStringLiteral("PackageKit"), QStringLiteral("ldconfig"), QStringLiteral("app-info"),
        QStringLiteral("swcatalog"),
        QStringLiteral("snapd"),  QStringLiteral("flatpak"), QStringLiteral("private"),
        QStringLiteral("cracklib"), QStringLiteral("dictionaries-common")};
    return names;
}
const QStringList& KeptVarLog() {
    static const QStringList names = {
        QStringLiteral("apt"),      QStringLiteral("dpkg.log"), QStringLiteral("alternatives.log"),
        QStringLiteral("installer"), QStringLiteral("journal"), QStringLiteral("private"),
        QStringLiteral("wtmp"),     QStringLiteral("btmp"),     QStringLiteral("lastlog"),
        QStringLiteral("faillog"),  QStringLiteral("audit"),    QStringLiteral("dnf.log"),
        QStringLiteral("pacman.log")};
    return names;
}

bool FirstComponentIn(const QString& path, const QString& top, const QStringList& names) {
    if (!path.startsWith(top + QLatin1Char('/'))) {
        return false;
    }
    const QString rest = path.mid(top.size() + 1);
    return names.contains(rest.section(QLatin1Char('/'), 0, 0));
}

}  // namespace

QString UserCacheDirectory() {
    return XdgFolder("XDG_CACHE_HOME", QStringLiteral("/.cache"));
}

QStringList HomeTrashDirectories() {
    const QString data = XdgFolder("XDG_DATA_HOME", QStringLiteral("/.local/share"));
    if (data.isEmpty()) {
        return {};
    }
    return {data + QStringLiteral("/Trash/files"), data + QStringLiteral("/Trash/info")};
}

QStringList VolumeTrashDirectories(const QString& mountPath, const QString& uid) {
    if (mountPath.isEmpty() || uid.isEmpty()) {
        return {};
    }
    const QString top = mountPath.endsWith(QLatin1Char('/')) ? mountPath.chopped(1) : mountPath;
    const QStringList candidates = {
        top + QStringLiteral("/.Trashes/") + uid,
        top + QStringLiteral("/.Trash-") + uid + QStringLiteral("/files"),
        top + QStringLiteral("/.Trash-") + uid + QStringLiteral("/info"),
        top + QStringLiteral("/.Trash/") + uid + QStringLiteral("/files"),
        top + QStringLiteral("/.Trash/") + uid + QStringLiteral("/info"),
    };
    QStringList found;
    for (const QString& path : candidates) {
        if (IsFolder(path)) {
            found.append(path);
        }
    }
    return found;
}

bool IsPackageManagerOrRecordPath(const QString& path) {
    return FirstComponentIn(path, SystemPath(QStringLiteral("/var/cache")), KeptVarCache()) ||
           FirstComponentIn(path, SystemPath(QStringLiteral("/var/log")), KeptVarLog());
}

}  // namespace Varnex::Platform
