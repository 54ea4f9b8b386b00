#include "RootCheck.h"

#include <sys/stat.h>

#include <QStringList>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/Paths.h"
#include "Platform/PathCodec.h"
#include "Platform/SearchPaths.h"
#include "Platform/SystemRoot.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Platform::SystemPath;

namespace {

// The system's own folders: nothing inside them is the user's to clean.
const char* const systemFolders[] = {"/usr",  "/etc",     "/bin",    "/sbin",
                                     "/boot", "/var/lib", "/System", "/private/etc"};

bool IsSameOrInside(const QString& path, const QString& folder) {
    return path == folder || (path.startsWith(folder) && path.size() > folder.size() &&
                              path.at(folder.size()) == QLatin1Char('/'));
}

// The system folder that holds `path` (or is it), empty when none does.
QString SystemFolderHolding(const QString& path) {
    for (const QString& base : {QStringLiteral("/"), SystemPath(QStringLiteral("/"))}) {
        const QString prefix = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
        if (!path.startsWith(prefix)) {
            continue;
        }
        // "/lib", "/lib32", "/lib64", "/libx32", "/libexec", ...
        const QString top = path.mid(prefix.size()).section(QLatin1Char('/'), 0, 0);
        if (top.startsWith(QLatin1String("lib"))) {
            return prefix + top;
        }
    }
    for (const char* folder : systemFolders) {
        for (const QString& spelled :
             {QString::fromLatin1(folder), SystemPath(QString::fromLatin1(folder))}) {
            if (IsSameOrInside(path, spelled)) {
                return spelled;
            }
        }
    }
    return QString();
}

// Why a root at `path` (normalised) is not to be cleaned; empty when it may be.
QString ProtectionOf(const QString& path, bool searching) {
    const bool ownHome = searching && path == Varnex::Platform::UsableHomePath();
    if (!ownHome && !Varnex::Cleaner::IsPathSafe(path)) {
        return path == QLatin1String("/")
                   ? QStringLiteral("the file-system root is never cleaned as a whole")
                   : QStringLiteral(
                         "a protected folder (a system folder, a home folder or one that holds "
                         "them) is never cleaned as a whole");
    }
    const QString system = SystemFolderHolding(path);
    if (!system.isEmpty()) {
        return QStringLiteral("it lies in the system's own folder \"%1\", where nothing is cleaned")
            .arg(Shown(system));
    }
    return QString();
}

}  // namespace

QString RootRefusal(const QString& path, bool removing, bool searching) {
    if (path.isEmpty()) {
        return QStringLiteral("an empty path");
    }
    if (!path.startsWith(QLatin1Char('/'))) {
        return QStringLiteral("not an absolute path (give it from \"/\")");
    }
    const QString normal = Varnex::Cleaner::NormalizeAbsolutePath(path);
    if (normal.isNull()) {
        return QStringLiteral(
            "a path with \"..\" is not taken (what it names depends on links); "
            "give it without");
    }
    std::string bytes;
    if (!Varnex::Platform::EncodePath(normal, &bytes)) {
        return QStringLiteral("it cannot be written as UTF-8");
    }
    struct stat st;
    if (::stat(bytes.c_str(), &st) != 0) {
        return errno == ENOENT ? QStringLiteral("it does not exist")
                               : QString::fromLocal8Bit(std::strerror(errno));
    }
    if (!removing) {
        return QString();
    }
    QString refusal = ProtectionOf(normal, searching);
    if (!refusal.isEmpty()) {
        return refusal;
    }
    // A link, or a link on the way, to a protected place is as good as its target.
    char* real = ::realpath(bytes.c_str(), nullptr);
    if (!real) {
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    QString resolved;
    const bool decoded = Varnex::Platform::DecodePath(real, std::strlen(real), &resolved);
    std::free(real);
    if (!decoded) {
        return QStringLiteral("the place it leads to is not named in UTF-8");
    }
    if (resolved != normal) {
        refusal = ProtectionOf(resolved, searching);
        if (!refusal.isEmpty()) {
            return QStringLiteral("it leads to \"%1\": %2").arg(Shown(resolved), refusal);
        }
    }
    return QString();
}

}  // namespace Klarvik
