#include "Core/ApplicationInventory.h"

#include <dirent.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QDir>
#include <QHash>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "Platform/PathCodec.h"
#include "Platform/SearchPaths.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner {

namespace {

const QString bundleSuffix = QStringLiteral(".app");
const QString usersFolder = QStringLiteral("/Users");
const int maxSearchDepth = 7;
// How often a split looks at its stop predicate while the paths are computed.
const std::chrono::milliseconds splitPollInterval(10);

QSet<QString> InitSystemProtectedApplications() {
    QSet<QString> names;
    for (const char* name : {"Activity Monitor",
                             "AirPort Utility",
                             "App Store",
                             "Audio MIDI Setup",
                             "Automator",
                             "Bluetooth File Exchange",
                             "Boot Camp Assistant",
                             "Calculator",
                             "Calendar",
                             "Chess",
                             "ColorSync Utility",
                             "Console",
                             "Contacts",
                             "DVD Player",
                             "Dashboard",
                             "Dictionary",
                             "Digital Color Meter",
                             "Disk Utility",
                             "FaceTime",
                             "Font Book",
                             "Game Center",
                             "Grab",
                             "Grapher",
                             "Image Capture",
                             "Keychain Access",
                             "Launchpad",
                             "Mail",
                             "Maps",
                             "Messages",
                             "Migration Assistant",
                             "Mission Control",
                             "Notes",
                             "Photo Booth",
                             "Photos",
                             "Preview",
                             "QuickTime Player",
                             "Reminders",
                             "Safari",
                             "Script Editor",
                             "Stickies",
                             "System Information",
                             "System Preferences",
                             "Terminal",
                             "TextEdit",
                             "Time Machine",
                             "VoiceOver Utility"}) {
        names.insert(QString::fromLatin1(name));
    }
    return names;
}

QSet<QString> InitStandardApplications() {
    QSet<QString> names;
    for (const char* name : {"App Store",
                             "Automator",
                             "Calculator",
                             "Calendar",
                             "Chess",
                             "Console",
                             "Contacts",
                             "Dashboard",
                             "Dictionary",
                             "DigitalColor Meter",
                             "Disk Utility",
                             "DVD Player",
                             "FaceTime",
                             "Font Book",
                             "Game Center",
                             "iBooks",
                             "Image Capture",
                             "iTunes",
                             "Launchpad",
                             "Mail",
                             "Maps",
                             "Messages",
                             "Mission Control",
                             "Notes",
                             "Photo Booth",
                             "Preview",
                             "Reminders",
                             "Safari",
                             "Stickies",
                             "System Preferences",
                             "TextEdit",
                             "Time Machine",
                             "Activity Monitor",
                             "AirPort Utility",
                             "AppleScript Editor",
                             "Audio MIDI Setup",
                             "Bluetooth File Exchange",
                             "Boot Camp Assistant",
                             "ColorSync Utility",
                             "Grab",
                             "Grapher",
                             "Keychain Access",
                             "Migration Assistant",
                             "System Information",
                             "Terminal",
                             "VoiceOver Utility",
                             "X11",
                             "QuickTime Player",
                             "Photos"}) {
        names.insert(QString::fromLatin1(name));
    }
    return names;
}

QSet<QString> InitExcludedApplications(const QSet<QString>& protectedNames) {
    QSet<QString> names = protectedNames;
    for (const char* name :
         {"System Preferences", "Dashboard", "Launchpad", "Mission Control", "Calendar",
          "Font Book", "App Store", "Automator", "Time Machine", "Contacts", "Varnex Klarvik 2"}) {
        names.insert(QString::fromLatin1(name));
    }
    return names;
}

// One folder entry of a listing.
struct FolderEntry {
    QString path;
    bool isLink;
};

QString JoinPath(const QString& folder, const QString& name) {
    return folder == QLatin1String("/") ? folder + name : folder + QLatin1Char('/') + name;
}

// The folders in `folder`, links to folders included, as QDir lists them with
// AllDirs | NoDotAndDotDot: hidden names and dangling links left out, in the
// order the file system gives them. Names travel as bytes, so a name that is
// not UTF-8 is skipped (with a warning) instead of being turned into the path
// of something else. An unreadable folder simply has no entries.
std::vector<FolderEntry> ListFolders(const QString& folder) {
    std::vector<FolderEntry> entries;
    std::string bytes;
    if (!Platform::EncodePath(folder, &bytes)) {
        return entries;
    }
    DIR* dir = ::opendir(bytes.c_str());
    if (!dir) {
        return entries;
    }
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.') {
            continue;  // ".", ".." and hidden entries
        }
        bool isDir = entry->d_type == DT_DIR;
        bool isLink = entry->d_type == DT_LNK;
        struct stat st;
        if (entry->d_type == DT_UNKNOWN) {
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            isDir = S_ISDIR(st.st_mode);
            isLink = S_ISLNK(st.st_mode);
        }
        if (isLink) {
            isDir = ::fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        if (!isDir) {
            continue;
        }
        QString decoded;
        if (!Platform::DecodePath(name, std::strlen(name), &decoded)) {
            LOG(WARNING) << "Skipping a folder whose name is not UTF-8 in "
                         << Util::LogText(folder);
            continue;
        }
        entries.push_back({JoinPath(folder, decoded), isLink});
    }
    ::closedir(dir);
    return entries;
}

// The path with every link resolved, empty when it cannot be resolved.
QString CanonicalPath(const QString& path) {
    std::string bytes;
    if (!Platform::EncodePath(path, &bytes)) {
        return QString();
    }
    char* resolved = ::realpath(bytes.c_str(), nullptr);
    if (!resolved) {
        return QString();
    }
    QString result;
    Platform::DecodePath(resolved, std::strlen(resolved), &result);
    ::free(resolved);
    return result;
}

// lstat(): a folder that is not a link.
bool IsRealFolder(const QString& path) {
    std::string bytes;
    struct stat st;
    return Platform::EncodePath(path, &bytes) && ::lstat(bytes.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode);
}

bool IsInside(const QString& path, const QString& folder) {
    return path.startsWith(folder) &&
           (path.size() == folder.size() || path.at(folder.size()) == QLatin1Char('/'));
}

// Every domain's application folders except the per-user ones that the
// "/Users" root covers, then that root. A home folder elsewhere (as on this
// machine, where it need not lie in the system root) keeps its own entries:
// dropping them would lose the user's applications.
QStringList DefaultRoots() {
    const QString users = Platform::SystemPath(usersFolder);
    const QString usersPrefix = users + QLatin1Char('/');
    QStringList roots;
    for (const QString& folder : Platform::AllApplicationsDirectories()) {
        if (!folder.startsWith(usersPrefix)) {
            roots.append(folder);
        }
    }
    roots.append(users);
    return roots;
}

struct Found {
    QStringList paths;
    QHash<QString, bool> isLink;  // by path; the first occurrence decides the order
};

// false when stopped: the caller then drops everything.
bool Search(const std::function<bool()>& stop, const QString& root, int depth, Found* found) {
    if (stop()) {
        return false;
    }
    if (depth >= maxSearchDepth) {
        return true;
    }
    for (const FolderEntry& entry : ListFolders(root)) {
        if (stop()) {
            return false;
        }
        if (entry.path.endsWith(bundleSuffix)) {
            if (!systemProtectedApplications.contains(ExtractBundleName(entry.path)) &&
                !found->isLink.contains(entry.path)) {
                found->paths.append(entry.path);
                found->isLink.insert(entry.path, entry.isLink);
            }
        } else if (entry.isLink) {
            LOG(INFO) << "PASSING SYMLINK: " << Util::LogText(entry.path);
        } else if (!Search(stop, entry.path, depth + 1, found)) {
            return false;
        }
    }
    return true;
}

}  // namespace

const QSet<QString> systemProtectedApplications = InitSystemProtectedApplications();
const QSet<QString> standardApplications = InitStandardApplications();
const QSet<QString> excludedApplications = InitExcludedApplications(systemProtectedApplications);
const QStringList excludedPrefixes = {QStringLiteral("/Applications/Utilities")};

QStringList GetApplications(const std::function<bool()>& stop, const QStringList& roots,
                            int depth) {
    if (stop() || depth >= maxSearchDepth) {
        return {};
    }
    const QStringList searched = roots.isEmpty() ? DefaultRoots() : roots;
    Found found;
    for (const QString& root : searched) {
        // A relative or empty root would be taken against the current folder.
        if (!QDir::isAbsolutePath(root)) {
            LOG(WARNING) << "Not searching a relative folder for applications: "
                         << Util::LogText(root);
            continue;
        }
        if (!Search(stop, QDir::cleanPath(root), depth, &found)) {
            return {};
        }
    }
    if (stop()) {
        return {};
    }

    // Links to bundles that are listed by their own paths. The targets are
    // compared with the listed paths both as written and resolved, in case a
    // root itself lies behind a link.
    QSet<QString> targets;
    bool anyLink = false;
    for (const QString& path : found.paths) {
        if (found.isLink.value(path)) {
            anyLink = true;
        } else {
            targets.insert(path);
        }
    }
    if (!anyLink) {
        return found.paths;
    }
    for (const QString& path : found.paths) {
        if (stop()) {
            return {};
        }
        if (!found.isLink.value(path)) {
            const QString canonical = CanonicalPath(path);
            if (!canonical.isEmpty()) {
                targets.insert(canonical);
            }
        }
    }
    QStringList kept;
    for (const QString& path : found.paths) {
        if (stop()) {
            return {};
        }
        if (found.isLink.value(path)) {
            const QString target = CanonicalPath(path);
            if (!target.isEmpty() && targets.contains(target)) {
                LOG(INFO) << "PASSING SYMLINK: " << Util::LogText(path);
                continue;
            }
        }
        kept.append(path);
    }
    return kept;
}

QString ExtarctApplicationName(const QString& path) {
    const QString last = path.section(QLatin1Char('/'), -1);
    return last.section(QLatin1Char('.'), 0, 0);
}

bool IsAppExcluded(const QString& path) {
    if (excludedApplications.contains(ExtarctApplicationName(path))) {
        return true;
    }
    for (const QString& prefix : excludedPrefixes) {
        if (IsInside(path, Platform::SystemPath(prefix))) {
            return true;
        }
    }
    return false;
}

QString GetPathUserLibrary() {
    const QString library = Platform::UserLibraryDirectory();
    if (library.isEmpty()) {
        static std::once_flag once;
        std::call_once(once, [] {
            LOG(WARNING) << "The user's Library folder is unknown: HOME is not an absolute path";
        });
    }
    return library;
}

QStringList GetSandboxPaths(const QString& subFolder) {
    QStringList paths;
    if (subFolder.isEmpty() || QDir::isAbsolutePath(subFolder) ||
        subFolder.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        return paths;
    }
    const QString library = GetPathUserLibrary();
    if (library.isEmpty()) {
        return paths;
    }
    const QString containers = library + QStringLiteral("/Containers");
    for (const FolderEntry& entry : ListFolders(containers)) {
        if (entry.isLink) {
            continue;
        }
        const QString data = entry.path + QStringLiteral("/Data");
        const QString dataLibrary = data + QStringLiteral("/Library");
        const QString candidate = QDir::cleanPath(dataLibrary + QLatin1Char('/') + subFolder);
        if (IsRealFolder(data) && IsRealFolder(dataLibrary) && IsRealFolder(candidate)) {
            paths.append(candidate);
        }
    }
    return paths;
}

QStringList SplitApplications(const QStringList& paths, ApplicationGroup group) {
    QStringList kept;
    for (const QString& path : paths) {
        if (IsAppExcluded(path)) {
            continue;
        }
        const bool standard = standardApplications.contains(ExtarctApplicationName(path));
        if (standard == (group == ApplicationGroup::STANDARD)) {
            kept.append(path);
        }
    }
    return kept;
}

ApplicationPathsCache::Producer MakeApplicationPathsProducer() {
    return [](std::function<bool()> stop) { return GetApplications(stop, QStringList(), 0); };
}

ApplicationPathsCache::Producer MakeApplicationSplitProducer(
    std::shared_ptr<ApplicationPathsCache> paths, ApplicationGroup group) {
    return [paths = std::move(paths), group](std::function<bool()> stop) {
        // A snapshot: the paths cache may replace its future meanwhile.
        const ApplicationPathsCache::FuturePtr future = paths ? paths->GetFuture() : nullptr;
        if (!future) {
            throw std::runtime_error("the list of applications has not been computed");
        }
        // Waited for in steps, so that this run can be stopped while the
        // search goes on.
        while (future->IsRunning()) {
            if (stop()) {
                return QStringList();
            }
            std::this_thread::sleep_for(splitPollInterval);
        }
        bool ready = false;
        const QStringList all = future->GetValue(&ready);
        if (!ready) {
            if (stop()) {
                return QStringList();
            }
            throw std::runtime_error("the list of applications could not be computed");
        }
        return SplitApplications(all, group);
    };
}

namespace {

void LogOnReady(const std::shared_ptr<ApplicationPathsCache>& cache, const char* loaded) {
    ApplicationPathsCache* raw = cache.get();  // the connection dies with the cache
    cache->CallOnReady(nullptr, [raw, loaded] {
        if (raw->IsReady()) {
            LOG(INFO) << loaded;
        } else {
            LOG(WARNING) << "Not loaded: " << loaded;
        }
    });
}

}  // namespace

ApplicationCaches MakeApplicationCaches() {
    ApplicationCaches caches;
    caches.paths = std::make_shared<ApplicationPathsCache>();
    caches.paths->SetFunction(MakeApplicationPathsProducer());
    LogOnReady(caches.paths, "A list of all applications has been loaded");
    caches.paths->Refresh();

    caches.standard = std::make_shared<ApplicationPathsCache>();
    caches.standard->SetFunction(
        MakeApplicationSplitProducer(caches.paths, ApplicationGroup::STANDARD));
    LogOnReady(caches.standard, "A list of strandard applications has been loaded");
    caches.standard->Refresh();

    caches.other = std::make_shared<ApplicationPathsCache>();
    caches.other->SetFunction(MakeApplicationSplitProducer(caches.paths, ApplicationGroup::OTHER));
    LogOnReady(caches.other, "A list of third party applications has been loaded");
    caches.other->Refresh();
    return caches;
}

bool IsL10nOfProtectedApplication(const QString& path) {
    return systemProtectedApplications.contains(ExtractBundleName(path));
}

bool IsLargeAndOldExcluded(const QString& path) {
    if (!path.toLower().contains(QLatin1String("varnex"))) {
        return false;
    }
    const QString library = QDir(Platform::HomePath()).absoluteFilePath(QStringLiteral("Library"));
    return path.contains(bundleSuffix) || path.startsWith(library);
}

}  // namespace Varnex::Cleaner
