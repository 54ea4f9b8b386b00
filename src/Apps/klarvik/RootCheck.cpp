#include "RootCheck.h"

#include <sys/stat.h>

#include <QFile>
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

// One line of /proc/self/mountinfo: which folder of which file system is
// mounted where.
struct Mount {
    QString device;  // major:minor
    QString root;    // the folder of the file system mounted
    QString point;   // where it is mounted
};

// A mountinfo field: "\040" and the like stand for the byte they encode.
QString MountField(const QByteArray& field) {
    QByteArray bytes;
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                bytes.append(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        bytes.append(field[i]);
    }
    QString text;
    return Varnex::Platform::DecodePath(bytes.constData(), static_cast<std::size_t>(bytes.size()),
                                        &text)
               ? text
               : QString();
}

QList<Mount> ReadMounts() {
    QList<Mount> mounts;
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly)) {
        return mounts;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5) {
            continue;
        }
        Mount m{QString::fromLatin1(fields[2]), MountField(fields[3]), MountField(fields[4])};
        if (!m.root.isEmpty() && !m.point.isEmpty()) {
            mounts.append(m);
        }
    }
    return mounts;
}

// The part of `path` below `folder` ("" for the folder itself), which must
// hold it.
QString Below(const QString& path, const QString& folder) {
    return path.mid(folder == QLatin1String("/") ? 1 : folder.size() + 1);
}

QString Joined(const QString& folder, const QString& rest) {
    if (rest.isEmpty()) {
        return folder;
    }
    return folder.endsWith(QLatin1Char('/')) ? folder + rest : folder + QLatin1Char('/') + rest;
}

// The other paths that name the folder at `path` (links resolved) through
// the mounts: a bind mount of a folder shows it in two places, and what is
// protected in one is protected in the other.
QStringList MountAliases(const QString& path) {
    const QList<Mount> mounts = ReadMounts();
    const Mount* holder = nullptr;
    for (const Mount& m : mounts) {
        // The last mount on a point covers the earlier ones.
        if (IsSameOrInside(path, m.point) || m.point == QLatin1String("/")) {
            if (!holder || m.point.size() >= holder->point.size()) {
                holder = &m;
            }
        }
    }
    QStringList aliases;
    if (!holder) {
        return aliases;
    }
    const QString source = Joined(holder->root, Below(path, holder->point));
    for (const Mount& m : mounts) {
        if (m.device != holder->device ||
            !(IsSameOrInside(source, m.root) || m.root == QLatin1String("/"))) {
            continue;
        }
        const QString alias = Joined(m.point, Below(source, m.root));
        if (alias != path && !aliases.contains(alias)) {
            aliases.append(alias);
        }
    }
    return aliases;
}

}  // namespace

QString SystemFolderRefusal(const QString& path) {
    const QString normal = Varnex::Cleaner::NormalizeAbsolutePath(path);
    if (normal.isNull()) {
        return QStringLiteral("not a plain absolute path");
    }
    QStringList places{normal};
    // Its folder as the system names it (links resolved), and where that is
    // mounted from.
    const int slash = normal.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash <= 0 ? QStringLiteral("/") : normal.left(slash);
    std::string bytes;
    char* real = Varnex::Platform::EncodePath(folder, &bytes) ? ::realpath(bytes.c_str(), nullptr)
                                                              : nullptr;
    if (real) {
        QString resolved;
        if (Varnex::Platform::DecodePath(real, std::strlen(real), &resolved)) {
            places.append(resolved);
            places.append(MountAliases(resolved));
        }
        std::free(real);
    }
    for (const QString& place : places) {
        const QString system = SystemFolderHolding(place);
        if (!system.isEmpty()) {
            return QStringLiteral("it lies in the system's own folder \"%1\", where nothing is "
                                  "removed")
                .arg(Shown(system));
        }
    }
    return QString();
}

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
    // A folder mounted in a second place (a bind mount) is as good as the first.
    for (const QString& alias : MountAliases(resolved)) {
        refusal = ProtectionOf(alias, searching);
        if (!refusal.isEmpty()) {
            return QStringLiteral("it is mounted from \"%1\": %2").arg(Shown(alias), refusal);
        }
    }
    return QString();
}

}  // namespace Klarvik
