#include "CleanerCommon/Checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QSet>
#include <QStringList>
#include <string>

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
    "/System/Library", "/Users", "/Users/Shared", "/Volumes", "/cores", "/private", "/private/etc",
    "/private/tmp", "/private/var", "/private/var/folders"};

bool IsNormalisedAbsolute(const QString& path) {
    const int n = path.size();
    if (n == 0 || path.at(0) != QLatin1Char('/')) {
        return false;
    }
    if (n == 1) {
        return true;
    }
    if (path.at(n - 1) == QLatin1Char('/')) {
        return false;
    }
    // Every component between two '/' must be a name: not empty, ".", "..".
    int start = 1;
    for (int i = 1; i <= n; ++i) {
        if (i < n && path.at(i) == QChar(0)) {
            return false;
        }
        if (i == n || path.at(i) == QLatin1Char('/')) {
            const int length = i - start;
            if (length == 0 || (length == 1 && path.at(start) == QLatin1Char('.')) ||
                (length == 2 && path.at(start) == QLatin1Char('.') &&
                 path.at(start + 1) == QLatin1Char('.'))) {
                return false;
            }
            start = i + 1;
        }
    }
    return true;
}

// A QString crosses to UTF-8 losslessly unless it holds a lone surrogate.
bool IsEncodable(const QString& path) {
    const int n = path.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = path.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= n || !path.at(i + 1).isLowSurrogate()) {
                return false;
            }
            ++i;
        } else if (c.isLowSurrogate()) {
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

// What IsPathSafe compares against, worked out again only when the system root
// or the home folder changes. Per thread: scanner and removal threads ask too.
struct Anchors {
    bool built = false;
    bool undecodable = false;  // HOME or the system root does not decode
    std::string rawRoot;
    std::string rawHome;
    QSet<QString> folders;    // never to be removed themselves
    QString root;             // cleaned; empty for "/"
    QString home;             // cleaned
    QStringList userFolders;  // folders whose direct children are home folders
};

const Anchors& CurrentAnchors() {
    thread_local Anchors anchors;
    const char* rawRoot = Platform::PathVariableBytes("KLARVIK_SYSROOT");
    const char* rawHome = Platform::PathVariableBytes("HOME");
    const std::string root = rawRoot ? rawRoot : "";
    const std::string home = rawHome ? rawHome : "";
    if (anchors.built && anchors.rawRoot == root && anchors.rawHome == home) {
        return anchors;
    }
    anchors = Anchors();
    anchors.built = true;
    anchors.rawRoot = root;
    anchors.rawHome = home;
    anchors.undecodable = Platform::UndecodablePathVariable() != nullptr;
    const QString systemRoot = Platform::SystemRoot();
    for (const char* folder : systemFolders) {
        const QString f = QLatin1String(folder);
        anchors.folders.insert(f);
        if (!systemRoot.isEmpty()) {
            anchors.folders.insert(systemRoot + f);
        }
    }
    anchors.root = CleanAbsolute(systemRoot);
    anchors.home = CleanAbsolute(Platform::HomePath());
    anchors.userFolders << Platform::SystemPath(QStringLiteral("/Users")) + QLatin1Char('/')
                        << QStringLiteral("/Users/") << QStringLiteral("/home/");
    return anchors;
}

}  // namespace

bool IsPathSafe(const QString& path) {
    if (!IsNormalisedAbsolute(path) || path == QLatin1String("/") || !IsEncodable(path)) {
        return false;
    }
    const Anchors& anchors = CurrentAnchors();
    // Without knowing where home and the system are, nothing is safe.
    if (anchors.undecodable || anchors.folders.contains(path)) {
        return false;
    }
    // The system root, the home folder, and the folders above them.
    if ((!anchors.root.isEmpty() && IsSameOrAncestor(path, anchors.root)) ||
        (!anchors.home.isEmpty() && IsSameOrAncestor(path, anchors.home))) {
        return false;
    }
    // Any user's home folder itself: /Users/<name> and /home/<name>.
    for (const QString& users : anchors.userFolders) {
        if (path.startsWith(users) && path.indexOf(QLatin1Char('/'), users.size()) < 0) {
            return false;
        }
    }
    return true;
}

QStringList ProtectedFolderPaths() {
    const Anchors& anchors = CurrentAnchors();
    QStringList out(anchors.folders.begin(), anchors.folders.end());
    for (const QString& anchor : {anchors.root, anchors.home}) {
        QString path = anchor;
        while (!path.isEmpty()) {
            out.append(path);
            const int slash = path.lastIndexOf(QLatin1Char('/'));
            path = slash <= 0 ? QString() : path.left(slash);
        }
    }
    out.append(QStringLiteral("/"));
    return out;
}

QStringList UserFolderParents() {
    QStringList out;
    for (QString users : CurrentAnchors().userFolders) {
        users.chop(1);
        out.append(users);
    }
    return out;
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
