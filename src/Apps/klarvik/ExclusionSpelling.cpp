#include "ExclusionSpelling.h"

#include <sys/stat.h>

#include "CleanerCommon/Paths.h"
#include "Platform/PathCodec.h"

namespace Klarvik {

namespace {

bool Identity(const std::string& path, struct stat* st) {
    return !path.empty() && ::stat(path.c_str(), st) == 0;
}

}  // namespace

QStringList ExclusionSpellings(const QString& exclusion, const QStringList& roots) {
    QStringList out{exclusion};
    std::string bytes;
    if (!Varnex::Platform::EncodePath(exclusion, &bytes)) {
        return out;
    }
    // Where the entry really is; a missing one is kept as given.
    std::string real = Varnex::Cleaner::ResolveLinks(bytes);
    if (real.empty()) {
        real = bytes;
    }
    for (const QString& root : roots) {
        std::string rootBytes;
        struct stat rootId;
        if (!Varnex::Platform::EncodePath(Varnex::Cleaner::NormalizeAbsolutePath(root),
                                          &rootBytes) ||
            !Identity(rootBytes, &rootId) || !S_ISDIR(rootId.st_mode)) {
            continue;
        }
        // The entry's folders from itself up to "/": one of them may be the
        // root's folder under another name.
        for (std::string folder = real; !folder.empty();) {
            struct stat id;
            if (Identity(folder, &id) && id.st_dev == rootId.st_dev && id.st_ino == rootId.st_ino) {
                const std::string rest = folder == "/" ? real : real.substr(folder.size());
                const QString spelled = Varnex::Platform::DecodePathOrNull(
                    rootBytes == "/" ? rest : rootBytes + (rest == "/" ? "" : rest));
                if (!spelled.isNull() && !out.contains(spelled)) {
                    out.append(spelled);
                }
                break;
            }
            const std::size_t slash = folder.rfind('/');
            folder = folder == "/" ? std::string() : slash == 0 ? "/" : folder.substr(0, slash);
        }
    }
    return out;
}

bool IsUsableRelativeExclusion(const QString& exclusion) {
    if (!exclusion.contains(QLatin1Char('/'))) {
        return true;
    }
    const QStringList parts = exclusion.split(QLatin1Char('/'));
    for (int i = 0; i < parts.size(); ++i) {
        const QString& part = parts.at(i);
        // A leading or trailing '/' only anchors the text to a whole name.
        const bool edge = part.isEmpty() && (i == 0 || i == parts.size() - 1);
        if ((part.isEmpty() && !edge) || part == QLatin1String(".") ||
            part == QLatin1String("..")) {
            return false;
        }
    }
    return true;
}

}  // namespace Klarvik
