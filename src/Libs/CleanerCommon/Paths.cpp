#include "CleanerCommon/Paths.h"

#include <QHash>
#include <QSet>
#include <climits>
#include <cstdlib>
#include <memory>

#include "CleanerCommon/CurrentUser.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner {

namespace {

const QLatin1String bundleSuffix(".app");
const QLatin1String lprojSuffix(".lproj");
const QLatin1String schemeMark("://");
const char* const libraryRootFolders[] = {"Caches", "Preferences", "Saved Application State",
                                          "Containers"};

// One non-empty component of a path: [begin, end) in the path's text.
struct Component {
    int begin;
    int end;
};

QVector<Component> Components(const QString& path) {
    QVector<Component> result;
    const int size = path.size();
    int begin = 0;
    while (begin < size) {
        while (begin < size && path.at(begin) == QLatin1Char('/')) {
            ++begin;
        }
        int end = begin;
        while (end < size && path.at(end) != QLatin1Char('/')) {
            ++end;
        }
        if (end > begin) {
            result.append({begin, end});
        }
        begin = end;
    }
    return result;
}

QStringRef Text(const QString& path, const Component& c) {
    return path.midRef(c.begin, c.end - c.begin);
}

bool HasNamedSuffix(const QStringRef& name, const QLatin1String& suffix) {
    return name.size() > suffix.size() && name.endsWith(suffix);
}

// `path` without trailing slashes and with runs of slashes made single, so
// that equal paths compare equal; "/" stays "/".
QString Normalised(const QString& path) {
    // Most paths (all the scanner's) are already normalised: no copy then.
    if (!path.contains(QLatin1String("//")) &&
        (path.size() <= 1 || !path.endsWith(QLatin1Char('/')))) {
        return path;
    }
    QString result;
    result.reserve(path.size());
    for (const QChar c : path) {
        if (c == QLatin1Char('/') && result.endsWith(QLatin1Char('/'))) {
            continue;
        }
        result.append(c);
    }
    if (result.size() > 1 && result.endsWith(QLatin1Char('/'))) {
        result.chop(1);
    }
    return result;
}

// The length of a leading "scheme://" ("iPhoto://", "language://"), else 0. A
// file name may hold "://" (Finder shows '/' in names as ':'), so the scheme
// must open the path and be a plain word.
int SchemeLength(const QString& path) {
    const int mark = path.indexOf(schemeMark);
    if (mark <= 0) {
        return 0;
    }
    for (int i = 0; i < mark; ++i) {
        const QChar c = path.at(i);
        const bool letter = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                            (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
        if (!letter) {
            return 0;
        }
    }
    return mark + schemeMark.size();
}

bool IsLibraryRootFolder(const QStringRef& name) {
    for (const char* folder : libraryRootFolders) {
        if (name == QLatin1String(folder)) {
            return true;
        }
    }
    return false;
}

// The first component of `path` strictly below `folder`, or empty.
QString FirstComponentBelow(const QString& path, const QString& folder) {
    const QString p = Normalised(path);
    const QString f = Normalised(folder);
    if (f.isEmpty()) {
        return QString();
    }
    const QString prefix = f.endsWith(QLatin1Char('/')) ? f : f + QLatin1Char('/');
    if (!p.startsWith(prefix) || p.size() == prefix.size()) {
        return QString();
    }
    return p.mid(prefix.size()).section(QLatin1Char('/'), 0, 0);
}

}  // namespace

QString ExtractBundlePath(const QString& path) {
    for (const Component& c : Components(path)) {
        if (HasNamedSuffix(Text(path, c), bundleSuffix)) {
            return path.left(c.end);
        }
    }
    return QString();
}

QString ExtractBundleName(const QString& path) {
    for (const Component& c : Components(path)) {
        const QStringRef name = Text(path, c);
        if (HasNamedSuffix(name, bundleSuffix)) {
            return name.left(name.size() - bundleSuffix.size()).toString();
        }
    }
    return QString();
}

QString ExtractBundleIdentifier(const QString& path) {
    const QString darwinCache = GetDarwinUserCachePath();
    if (!darwinCache.isEmpty()) {
        const QString id = FirstComponentBelow(path, darwinCache);
        if (!id.isEmpty()) {
            return id;
        }
    }
    const QVector<Component> parts = Components(path);
    for (int i = 0; i + 2 < parts.size(); ++i) {
        if (Text(path, parts[i]) == QLatin1String("Library") &&
            IsLibraryRootFolder(Text(path, parts[i + 1]))) {
            return Text(path, parts[i + 2]).toString();
        }
    }
    return QString();
}

QString ExtractBundleIdentifierLast(const QString& path) {
    if (ExtractBundleIdentifier(path).isEmpty()) {
        return QString();
    }
    return ExtractFileName(path);
}

QString ExtractLProjPath(const QString& path) {
    const QVector<Component> parts = Components(path);
    for (int i = parts.size() - 1; i >= 0; --i) {
        if (HasNamedSuffix(Text(path, parts[i]), lprojSuffix)) {
            return path.left(parts[i].end);
        }
    }
    return QString();
}

QString ExtractLProjName(const QString& path) {
    const QVector<Component> parts = Components(path);
    for (int i = parts.size() - 1; i >= 0; --i) {
        const QStringRef name = Text(path, parts[i]);
        if (HasNamedSuffix(name, lprojSuffix)) {
            return name.left(name.size() - lprojSuffix.size()).toString();
        }
    }
    return QString();
}

QString ExtractBasicLangCode(const QString& lprojName) {
    for (int i = 0; i < lprojName.size(); ++i) {
        if (lprojName.at(i) == QLatin1Char('_') || lprojName.at(i) == QLatin1Char('-')) {
            return lprojName.left(i);
        }
    }
    return lprojName;
}

QString NormalizeAbsolutePath(const QString& path) {
    if (!path.startsWith(QLatin1Char('/'))) {
        return QString();
    }
    QString out;
    out.reserve(path.size());
    const QChar* p = path.constData();
    const int n = path.size();
    int i = 0;
    while (i < n) {
        while (i < n && p[i] == QLatin1Char('/')) {
            ++i;
        }
        int end = i;
        while (end < n && p[end] != QLatin1Char('/')) {
            ++end;
        }
        const int length = end - i;
        if (length == 0 || (length == 1 && p[i] == QLatin1Char('.'))) {
            i = end;
            continue;
        }
        if (length == 2 && p[i] == QLatin1Char('.') && p[i + 1] == QLatin1Char('.')) {
            return QString();
        }
        out.append(QLatin1Char('/'));
        out.append(p + i, length);
        i = end;
    }
    return out.isEmpty() ? QStringLiteral("/") : out;
}

QString ExtractParentPath(const QString& path) {
    const int rootEnd = SchemeLength(path);
    const QString rest = Normalised(path.mid(rootEnd));
    const int slash = rest.lastIndexOf(QLatin1Char('/'));
    if (rootEnd > 0) {
        return slash > 0 ? path.left(rootEnd) + rest.left(slash) : QString();
    }
    if (rest == QLatin1String("/") || slash < 0) {
        return QString();
    }
    return slash == 0 ? QStringLiteral("/") : rest.left(slash);
}

QString ExtractFileName(const QString& path) {
    if (!path.endsWith(QLatin1Char('/'))) {
        return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    }
    const QVector<Component> parts = Components(path);
    return parts.isEmpty() ? QString() : Text(path, parts.last()).toString();
}

QStringList FilterSubDirs(const QStringList& paths) {
    QSet<QString> all;
    for (const QString& p : paths) {
        if (!p.isEmpty()) {
            all.insert(Normalised(p));
        }
    }
    const bool hasRoot = all.contains(QStringLiteral("/"));
    QStringList result;
    QSet<QString> taken;
    for (const QString& p : paths) {
        if (p.isEmpty()) {
            continue;
        }
        const QString key = Normalised(p);
        if (taken.contains(key)) {
            continue;
        }
        bool inside = hasRoot && key.startsWith(QLatin1Char('/')) && key.size() > 1;
        // Every proper ancestor by whole components: the text before each '/'.
        for (int slash = key.indexOf(QLatin1Char('/'), 1); !inside && slash > 0;
             slash = key.indexOf(QLatin1Char('/'), slash + 1)) {
            inside = all.contains(key.left(slash));
        }
        if (!inside) {
            taken.insert(key);
            result.append(p);
        }
    }
    return result;
}

QStringList GetSystemLibraryPrefixes() {
    return {Platform::SystemPath(QStringLiteral("/System/Library")),
            Platform::SystemPath(QStringLiteral("/Library"))};
}

bool IsInTrashFolder(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < parts.size(); ++i) {
        const QString& part = parts.at(i);
        if (part == QLatin1String(".Trash") || part.startsWith(QLatin1String(".Trash-"))) {
            return true;
        }
    }
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty() || !data.startsWith(QLatin1Char('/'))) {
        const QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty()) {
            return false;
        }
        data = home + QStringLiteral("/.local/share");
    }
    const QString trash = NormalizeAbsolutePath(data + QStringLiteral("/Trash"));
    return !trash.isNull() && path.startsWith(trash + QLatin1Char('/'));
}

std::string ResolveLinks(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

std::uint32_t PathHash(const QString& path) {
    const std::uint32_t h = qHash(path) * 0x9E3779B1u;
    return h ^ (h >> 15);
}

}  // namespace Varnex::Cleaner
