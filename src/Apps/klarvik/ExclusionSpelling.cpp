#include "ExclusionSpelling.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include "CleanerCommon/Paths.h"
#include "Platform/PathCodec.h"

namespace Klarvik {

namespace {

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity& other) const {
        return device == other.device && inode == other.inode;
    }
};

// lstat: the entry a path names, a link as itself.
bool IdentityOf(const std::string& path, Identity* id) {
    struct stat st;
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    *id = Identity{st.st_dev, st.st_ino};
    return true;
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// Where a path lies with the links of its folders resolved, its last name
// kept as it is (an excluded link is the link, not what it leads to).
std::string RealSpelling(const std::string& path) {
    if (path == "/") {
        return path;
    }
    const std::string parent = Varnex::Cleaner::ResolveLinks(Parent(path));
    if (parent.empty()) {
        return path;
    }
    const std::string name = path.substr(path.rfind('/') + 1);
    return parent == "/" ? "/" + name : parent + "/" + name;
}

// The folders of a path from itself up to "/".
std::vector<std::string> SelfAndAncestors(const std::string& path) {
    std::vector<std::string> out;
    for (std::string at = path; !at.empty(); at = at == "/" ? std::string() : Parent(at)) {
        out.push_back(at);
    }
    return out;
}

void AppendSpelling(const std::string& bytes, QStringList* out) {
    const QString spelled = Varnex::Platform::DecodePathOrNull(bytes);
    if (!spelled.isNull() && !out->contains(spelled)) {
        out->append(spelled);
    }
}

}  // namespace

QStringList ExclusionSpellings(const QString& exclusion, const QStringList& roots) {
    QStringList out{exclusion};
    std::string bytes;
    Identity excluded;
    if (!Varnex::Platform::EncodePath(exclusion, &bytes)) {
        return out;
    }
    const std::string real = RealSpelling(bytes);
    const bool known = IdentityOf(real, &excluded);
    for (const QString& root : roots) {
        std::string rootBytes;
        Identity rootId;
        if (!Varnex::Platform::EncodePath(Varnex::Cleaner::NormalizeAbsolutePath(root),
                                          &rootBytes)) {
            continue;
        }
        // A root is scanned through its links: it is what it leads to.
        struct stat st;
        if (::stat(rootBytes.c_str(), &st) != 0) {
            continue;
        }
        rootId = Identity{st.st_dev, st.st_ino};
        // The excluded entry inside the root (or the root itself), reached by
        // another spelling: the root followed by the rest of its path.
        bool inside = false;
        for (const std::string& folder : SelfAndAncestors(real)) {
            Identity id;
            if (IdentityOf(folder, &id) && id == rootId) {
                const std::string rest = folder == "/" ? real : real.substr(folder.size());
                AppendSpelling(rootBytes == "/" ? (rest.empty() ? "/" : rest)
                                                : rootBytes + (rest == "/" ? "" : rest),
                               &out);
                inside = true;
                break;
            }
        }
        // The root inside the excluded folder, however reached: all of it.
        if (!inside && known) {
            const std::string rootReal = Varnex::Cleaner::ResolveLinks(rootBytes);
            for (const std::string& folder : SelfAndAncestors(rootReal)) {
                Identity id;
                if (IdentityOf(folder, &id) && id == excluded) {
                    AppendSpelling(rootBytes, &out);
                    break;
                }
            }
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
