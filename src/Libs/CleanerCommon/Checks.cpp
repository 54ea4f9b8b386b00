#include "CleanerCommon/Checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QStringList>

#include "CleanerCommon/FolderRemovalRights.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner {

namespace {

// Top-level folders of Linux and of macOS, never to be removed themselves.
const char* const systemFolders[] = {
    "/bin", "/boot", "/dev", "/etc", "/home", "/lib", "/lib32", "/lib64", "/libx32", "/lost+found",
    "/media", "/mnt", "/opt", "/proc", "/root", "/run", "/sbin", "/snap", "/srv", "/sys", "/tmp",
    "/usr", "/var",
    // macOS
    "/Applications", "/Applications/Utilities", "/Library", "/Network", "/System",
    "/System/Library", "/Users", "/Users/Shared", "/Volumes", "/cores", "/private",
    "/private/etc", "/private/tmp", "/private/var", "/private/var/folders"};

bool IsNormalisedAbsolute(const QString& path) {
    if (path.isEmpty() || path.at(0) != QLatin1Char('/')) {
        return false;
    }
    if (path.size() == 1) {
        return true;
    }
    if (path.endsWith(QLatin1Char('/')) || path.contains(QLatin1String("//")) ||
        path.contains(QChar(0))) {
        return false;
    }
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String("..")) {
            return false;
        }
    }
    return true;
}

// True when `ancestor` is `path` or one of its ancestors, by whole components.
bool IsSameOrAncestor(const QString& ancestor, const QString& path) {
    if (ancestor == QLatin1String("/")) {
        return true;
    }
    return path == ancestor ||
           (path.startsWith(ancestor) && path.at(ancestor.size()) == QLatin1Char('/'));
}

QString CleanAbsolute(const QString& path) {
    if (path.isEmpty() || !path.startsWith(QLatin1Char('/'))) {
        return QString();
    }
    return QDir::cleanPath(path);
}

}  // namespace

bool IsPathSafe(const QString& path) {
    if (!IsNormalisedAbsolute(path) || path == QLatin1String("/")) {
        return false;
    }
    std::string bytes;
    if (!Platform::EncodePath(path, &bytes)) {
        return false;
    }
    const QString root = Platform::SystemRoot();
    for (const char* folder : systemFolders) {
        const QString f = QLatin1String(folder);
        if (path == f || (!root.isEmpty() && path == root + f)) {
            return false;
        }
    }
    // The system root itself and the folders above it.
    const QString cleanRoot = CleanAbsolute(root);
    if (!cleanRoot.isEmpty() && IsSameOrAncestor(path, cleanRoot)) {
        return false;
    }
    // The home folder and the folders above it.
    const QString home = CleanAbsolute(Platform::HomePath());
    if (!home.isEmpty() && IsSameOrAncestor(path, home)) {
        return false;
    }
    // Any user's home folder itself: /Users/<name> and /home/<name>.
    for (const QString& users :
         {Platform::SystemPath(QStringLiteral("/Users")), QStringLiteral("/Users"),
          QStringLiteral("/home")}) {
        if (path.startsWith(users + QLatin1Char('/')) &&
            path.indexOf(QLatin1Char('/'), users.size() + 1) < 0) {
            return false;
        }
    }
    return true;
}

bool CanRemove(const QString& path) {
    std::string bytes;
    if (!path.startsWith(QLatin1Char('/')) || path == QLatin1String("/") ||
        !Platform::EncodePath(path, &bytes)) {
        return false;
    }
    QString entry = path;
    while (entry.size() > 1 && entry.endsWith(QLatin1Char('/'))) {
        entry.chop(1);
    }
    const int slash = entry.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash == 0 ? QStringLiteral("/") : entry.left(slash);
    return FolderRemovalRights(parent).CanRemoveEntry(entry);
}

bool CanWrite(const QString& path) {
    std::string bytes;
    if (!Platform::EncodePath(path, &bytes) || bytes.empty()) {
        return false;
    }
    return ::access(bytes.c_str(), W_OK) == 0;
}

}  // namespace Varnex::Cleaner
