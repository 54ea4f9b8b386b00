#include "Core/Cleaner.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QPointer>
#include <QTimer>

#include "CleanerCommon/CurrentUser.h"
#include "CleanerCommon/Disks.h"
#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "CleanerFS/FSCleanerServer.h"
#include "Core/ApplicationInventory.h"
#include "Core/ProxyCleaningWatcher.h"
#include "Core/SystemInfo.h"
#include "Core/details/AntiVirusScope.h"
#include "Core/details/AppsDBCache.h"
#include "Core/details/ApplicationGarbageScope.h"
#include "Core/details/DuplicatesGarbageScope.h"
#include "Core/details/L10nGarbageScope.h"
#include "Core/details/LargeAndOldGarbageScope.h"
#include "Core/details/LaunchAgentGarbageScope.h"
#include "Core/details/LoginItemGarbageScope.h"
#include "Core/details/SystemGarbageScope.h"
#include "Core/details/iPhotoGarbageScope.h"
#include "Core/details/iPhotoVacuumScope.h"
#include "Platform/DarwinUserCache.h"
#include "Platform/DesktopFolders.h"
#include "Platform/PathCodec.h"
#include "Platform/SearchPaths.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner {

using namespace Details;

namespace {

const int refreshIntervalMs = 1000;
// How long a quit waits for stopped scopes to finish.
const int quitWaitMs = 60000;
const int quitPollMs = 20;

bool IsFolder(const QString& path) {
    std::string bytes;
    struct stat st {};
    return !path.isEmpty() && Platform::EncodePath(path, &bytes) &&
           ::stat(bytes.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder itself, not a link to one: a root the scan empties is taken only
// where it is, never where a link (or a trailing slash after one) leads.
bool IsRealFolder(const QString& path) {
    std::string bytes;
    struct stat st {};
    if (path.isEmpty() || path.endsWith(QLatin1Char('/')) ||
        !Platform::EncodePath(path, &bytes) || ::lstat(bytes.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (S_ISLNK(st.st_mode)) {
            LOG(WARNING) << "Not taken as a root (a symbolic link): " << Util::LogText(path);
        }
        return false;
    }
    return true;
}

bool IsSymbolicLink(const QString& path) {
    std::string bytes;
    struct stat st {};
    return Platform::EncodePath(path, &bytes) && ::lstat(bytes.c_str(), &st) == 0 &&
           S_ISLNK(st.st_mode);
}

// Whether some component of `path` below `home` (the path itself included)
// is a symbolic link: a root reached through one would be emptied where the
// link leads. Components that do not exist are no links.
bool HasLinkBelow(const QString& path, const QString& home) {
    if (home.isEmpty() || !path.startsWith(home + QLatin1Char('/'))) {
        return false;
    }
    for (int at = path.indexOf(QLatin1Char('/'), home.size() + 1); ;
         at = path.indexOf(QLatin1Char('/'), at + 1)) {
        const QString part = at < 0 ? path : path.left(at);
        if (IsSymbolicLink(part)) {
            LOG(WARNING) << "Not taken as a root (reached through a symbolic link): "
                         << Util::LogText(path);
            return true;
        }
        if (at < 0) {
            return false;
        }
    }
}

// Whether `path` is `folder` or lies below it, whole components compared.
bool IsWithin(const QString& path, const QString& folder) {
    return path == folder ||
           (path.startsWith(folder) &&
            (folder.endsWith(QLatin1Char('/')) || path.at(folder.size()) == QLatin1Char('/')));
}

// The roots in order, without repeats and without one that lies inside an
// earlier or later root: a nested root would be scanned twice, and its
// scope could never tell that everything was scanned.
QStringList OutermostRoots(const QStringList& roots) {
    QStringList kept;
    for (const QString& root : roots) {
        if (root.isEmpty()) {
            continue;
        }
        bool nested = false;
        for (const QString& other : roots) {
            if (!other.isEmpty() && other != root && IsWithin(root, other)) {
                nested = true;
                break;
            }
        }
        if (!nested && !kept.contains(root)) {
            kept.append(root);
        }
    }
    return kept;
}

// The item's bundle identifier when its path has one, else its name.
QString ExtractApplicationId(AbstractGarbage* item) {
    const QString id = ExtractBundleIdentifier(item->GetPath());
    return id.isEmpty() ? item->GetName() : id;
}

bool StartsWithAny(const QString& path, const QStringList& prefixes) {
    for (const QString& prefix : prefixes) {
        if (path.startsWith(prefix)) {
            return true;
        }
    }
    return false;
}

}  // namespace

class Cleaner::Impl {
public:
    explicit Impl(Cleaner* owner) : owner(owner) {}

    void ConnectScope(AbstractGarbageScope* scope);
    void LoadTrashes();
    bool Knows(AbstractGarbageScope* scope) const { return scope && allScopes.contains(scope); }

    Cleaner* owner;
    SystemInfo* systemInfo = nullptr;
    SystemGarbageScope* userCache = nullptr;
    SystemGarbageScope* userLogs = nullptr;
    SystemGarbageScope* systemCache = nullptr;
    SystemGarbageScope* systemLogs = nullptr;
    QMap<QString, AbstractGarbageScope*> trashes;
    QMap<QString, QPointer<AbstractGarbageScope>> extraScopes;
    L10nGarbageScope* appLanguages = nullptr;
    L10nGarbageScope* sysLanguages = nullptr;
    ApplicationGarbageScope* standardApps = nullptr;
    ApplicationGarbageScope* otherApps = nullptr;
    ApplicationGarbageScope* leftovers = nullptr;
    LargeAndOldGarbageScope* largeAndOld = nullptr;
    LoginItemGarbageScope* loginItems = nullptr;
    LaunchAgentGarbageScope* launchAgents = nullptr;
    DuplicatesGarbageScope* duplicates = nullptr;
    SystemGarbageScope* diskUsage = nullptr;
    SystemGarbageScope* shredder = nullptr;
    iPhotoGarbageScope* photoTrash = nullptr;
    iPhotoVacuumScope* photoVacuum = nullptr;
    AntiVirusManager* antiVirusManager = nullptr;
    AntiVirusScope* antiVirus = nullptr;
    std::shared_ptr<ProxyCleaningWatcher> watcher = std::make_shared<ProxyCleaningWatcher>();
    QVector<AbstractGarbageScope*> allScopes;
    QVector<AbstractGarbageScope*> scanningScopes;
    QVector<AbstractGarbageScope*> cleaningScopes;
    ApplicationCaches applicationCaches;
    std::shared_ptr<AppsDB::ApplicationRecordsCache> allApplications;
    QTimer* refreshTimer = nullptr;
};

void Cleaner::Impl::ConnectScope(AbstractGarbageScope* scope) {
    if (!scope || allScopes.contains(scope)) {
        return;
    }
    allScopes.append(scope);
    scope->SetCleaningWatcher(watcher);
    connect(scope, &AbstractGarbageScope::ScanningStarted, owner, &Cleaner::ScanningStarted);
    connect(scope, &AbstractGarbageScope::ScanningFinished, owner, &Cleaner::ScanningFinished);
    connect(scope, &AbstractGarbageScope::CleaningStarted, owner, &Cleaner::CleaningStarted);
    connect(scope, &AbstractGarbageScope::CleaningFinished, owner, &Cleaner::CleaningFinished);
    // A scope the application deletes leaves the lists, so nothing is ever
    // asked of a dangling pointer.
    connect(scope, &QObject::destroyed, owner, [this, scope] {
        allScopes.removeAll(scope);
        scanningScopes.removeAll(scope);
        cleaningScopes.removeAll(scope);
        for (auto it = trashes.begin(); it != trashes.end();) {
            it = it.value() == scope ? trashes.erase(it) : std::next(it);
        }
    });
}

void Cleaner::Impl::LoadTrashes() {
    for (AbstractGarbageScope* scope : trashes) {
        delete scope;
    }
    trashes.clear();
    const QList<StorageInfo> disks = systemInfo->GetDisks();
    const QString home = Platform::UsableHomePath();
    const StorageInfo homeDisk = home.isEmpty() ? StorageInfo() : FindDisk(disks, home);
    const QString uid = GetUserIdString();
    for (const StorageInfo& disk : disks) {
        if (!IsFolder(disk.mountPath)) {
            continue;
        }
        QStringList paths;
        if (!homeDisk.mountPath.isEmpty() && disk.mountPath == homeDisk.mountPath) {
            // A ~/.Trash that links elsewhere would empty the folder it names.
            if (IsSymbolicLink(home + QStringLiteral("/.Trash"))) {
                LOG(WARNING) << "Not taken as a root (a symbolic link): "
                             << Util::LogText(home + QStringLiteral("/.Trash"));
            } else {
                paths.append(home + QStringLiteral("/.Trash"));
            }
            // Trash/files and Trash/info, neither through a linked Trash.
            for (const QString& half : Platform::HomeTrashDirectories()) {
                if (IsRealFolder(half) && !IsSymbolicLink(half.section(QLatin1Char('/'), 0, -2))) {
                    paths.append(half);
                }
            }
        } else {
            paths = Platform::VolumeTrashDirectories(disk.mountPath, uid);
        }
        paths = OutermostRoots(paths);
        if (!paths.isEmpty()) {
            trashes.insert(disk.name, new SystemGarbageScope(paths, owner));
        }
    }
}

Cleaner::Cleaner(QObject* parent) : Cleaner(AntiVirusManager::Locations{}, parent) {}

Cleaner::Cleaner(const AntiVirusManager::Locations& antiVirusLocations, QObject* parent)
    : QObject(parent), m_impl(std::make_unique<Impl>(this)) {
    Impl& d = *m_impl;
    d.systemInfo = new SystemInfo(this);
    const QString home = Platform::UsableHomePath();
    const QString darwinCache = Platform::DarwinUserCachePath();

    // The user's caches.
    QStringList userCacheRoots;
    if (const QString library = Platform::UserLibraryDirectory();
        !library.isEmpty() && !HasLinkBelow(library + QStringLiteral("/Caches"), home)) {
        userCacheRoots.append(library + QStringLiteral("/Caches"));
    }
    if (!darwinCache.isEmpty()) {
        userCacheRoots.append(darwinCache);
    }
    if (const QString xdg = Platform::UserCacheDirectory(); IsRealFolder(xdg)) {
        userCacheRoots.append(xdg);
    }
    if (!home.isEmpty() && IsRealFolder(home + QStringLiteral("/.thumbnails"))) {
        userCacheRoots.append(home + QStringLiteral("/.thumbnails"));
    }
    const QStringList sandboxCaches = GetSandboxPaths(QStringLiteral("Caches"));
    // The photo application's caches, with a photo library; inside another
    // root they are that root's.
    QStringList photoCaches;
    if (iPhotoGarbageScope::DoesLibraryExist()) {
        const QString photoCache = QStringLiteral("com.apple.iPhoto");
        if (!darwinCache.isEmpty() && IsRealFolder(darwinCache + QLatin1Char('/') + photoCache)) {
            photoCaches.append(darwinCache + QLatin1Char('/') + photoCache);
        }
        const QString container =
            home + QStringLiteral("/Library/Containers/com.apple.iPhoto/Data/Library/Caches/") + photoCache;
        if (!home.isEmpty() && IsRealFolder(container) && !HasLinkBelow(container, home)) {
            photoCaches.append(container);
        }
    }
    d.userCache = new SystemGarbageScope(
        OutermostRoots(userCacheRoots + sandboxCaches + photoCaches), this);
    for (const char* exclusion : {"Varnex", "Metadata/Safari", "com.apple.IconServices",
                                  "com.apple.FontRegistry", "com.apple.helpd"}) {
        d.userCache->AddExclusion(QString::fromLatin1(exclusion));
    }
    if (!darwinCache.isEmpty()) {
        // The metadata index's own cache; without a per-user cache folder
        // there is none (and "/mds" would exclude every path containing it).
        d.userCache->AddExclusion(darwinCache + QStringLiteral("/mds"));
    }
    d.userCache->SetItemNameFilter(
        [sandboxCaches](AbstractGarbage* item) {
            return StartsWithAny(item->GetPath(), sandboxCaches) ? ExtractApplicationId(item)
                                                                 : item->GetPath();
        },
        0, 0);
    d.ConnectScope(d.userCache);

    // The user's logs.
    QStringList userLogRoots;
    if (const QString library = GetPathUserLibrary();
        !library.isEmpty() && !HasLinkBelow(library + QStringLiteral("/Logs"), home)) {
        userLogRoots.append(library + QStringLiteral("/Logs"));
    }
    const QStringList sandboxLogs = GetSandboxPaths(QStringLiteral("Logs"));
    d.userLogs = new SystemGarbageScope(OutermostRoots(userLogRoots + sandboxLogs), this);
    d.userLogs->AddExclusion(QStringLiteral("Varnex"));
    d.userLogs->SetItemNameFilter(
        [sandboxLogs](AbstractGarbage* item) {
            return StartsWithAny(item->GetPath(), sandboxLogs) ? ExtractApplicationId(item)
                                                               : item->GetName();
        },
        0, 0);
    d.ConnectScope(d.userLogs);

    // The machine's caches and logs. A Mac keeps /var below /private; a
    // freedesktop system has its own /var/cache and /var/log instead.
    const bool darwinVar = IsFolder(Platform::SystemPath(QStringLiteral("/private/var")));
    QStringList systemCacheRoots;
    for (const char* path : {"/System/Library/Caches", "/Library/Caches"}) {
        if (IsFolder(Platform::SystemPath(QString::fromLatin1(path)))) {
            systemCacheRoots.append(Platform::SystemPath(QString::fromLatin1(path)));
        }
    }
    if (!darwinVar && IsRealFolder(Platform::SystemPath(QStringLiteral("/var/cache")))) {
        systemCacheRoots.append(Platform::SystemPath(QStringLiteral("/var/cache")));
    }
    d.systemCache = new SystemGarbageScope(OutermostRoots(systemCacheRoots), this);
    for (const char* exclusion :
         {"com.apple.Spotlight", "com.apple.kext.caches", "com.apple.coresymbolicationd"}) {
        d.systemCache->AddExclusion(QString::fromLatin1(exclusion));
    }
    d.systemCache->AddExclusionChecker(&Platform::IsPackageManagerOrRecordPath);
    d.systemCache->SetItemNameFilter([](AbstractGarbage* item) { return item->GetPath(); }, 0, 0);
    d.ConnectScope(d.systemCache);

    QStringList systemLogRoots;
    for (const char* path : {"/System/Library/Logs", "/Library/Logs", "/private/var/log/asl"}) {
        if (IsFolder(Platform::SystemPath(QString::fromLatin1(path)))) {
            systemLogRoots.append(Platform::SystemPath(QString::fromLatin1(path)));
        }
    }
    if (!darwinVar && IsRealFolder(Platform::SystemPath(QStringLiteral("/var/log")))) {
        systemLogRoots.append(Platform::SystemPath(QStringLiteral("/var/log")));
    }
    d.systemLogs = new SystemGarbageScope(OutermostRoots(systemLogRoots), this);
    d.systemLogs->AddExclusionChecker(&Platform::IsPackageManagerOrRecordPath);
    d.systemLogs->SetItemNameFilter([](AbstractGarbage* item) { return item->GetPath(); }, 0, 0);
    d.ConnectScope(d.systemLogs);

    // The trash of every volume.
    d.LoadTrashes();
    for (AbstractGarbageScope* trash : d.trashes) {
        d.ConnectScope(trash);
    }

    // The applications database's list, reloaded while nothing is scanned.
    d.allApplications = std::make_shared<AppsDB::ApplicationRecordsCache>();
    d.allApplications->SetFunction(AppsDB::MakeApplicationRecordsProducer());
    d.allApplications->Refresh();
    d.refreshTimer = new QTimer(this);
    connect(d.refreshTimer, &QTimer::timeout, this, [this] {
        if (m_impl->scanningScopes.isEmpty() && !m_impl->allApplications->IsRunning()) {
            m_impl->allApplications->Refresh();
        }
    });
    d.refreshTimer->start(refreshIntervalMs);

    // The bundles on the disks, and their split.
    d.applicationCaches = MakeApplicationCaches();

    d.appLanguages = new L10nGarbageScope(d.applicationCaches.paths, false, this);
    d.appLanguages->AddExclusionChecker(&IsL10nOfProtectedApplication);
    d.ConnectScope(d.appLanguages);
    d.sysLanguages = new L10nGarbageScope(d.applicationCaches.paths, true, this);
    d.ConnectScope(d.sysLanguages);

    d.standardApps =
        new ApplicationGarbageScope(d.applicationCaches.standard, d.allApplications, this);
    d.otherApps = new ApplicationGarbageScope(d.applicationCaches.other, d.allApplications, this);
    d.leftovers = new ApplicationGarbageScope(nullptr, d.allApplications, this);
    for (ApplicationGarbageScope* scope : {d.standardApps, d.otherApps, d.leftovers}) {
        scope->SetInstalledApplicationsCache(d.applicationCaches.paths);
        d.ConnectScope(scope);
    }

    d.largeAndOld = new LargeAndOldGarbageScope(this);
    d.largeAndOld->AddExclusionChecker(&IsLargeAndOldExcluded);
    d.ConnectScope(d.largeAndOld);
    connect(d.largeAndOld, &LargeAndOldGarbageScope::SearchPathsChanged, this,
            &Cleaner::LargeAndOldSearchPathsChanged);
    if (!home.isEmpty()) {
        d.largeAndOld->AddSearchPath(home);
    }

    d.loginItems = new LoginItemGarbageScope(this);
    d.ConnectScope(d.loginItems);

    d.launchAgents = new LaunchAgentGarbageScope(this);
    d.launchAgents->AddExclusion(QStringLiteral("klarvik2"));
    d.ConnectScope(d.launchAgents);

    d.duplicates = new DuplicatesGarbageScope(this);
    d.duplicates->AddExclusion(QStringLiteral(".Trash"));
    d.duplicates->SetItemNameFilter([](AbstractGarbage* item) { return item->GetPath(); }, 1, 1);
    d.ConnectScope(d.duplicates);
    connect(d.duplicates, &DuplicatesGarbageScope::SearchPathsChanged, this,
            &Cleaner::DuplicatesSearchPathsChanged);
    if (!home.isEmpty()) {
        d.duplicates->AddSearchPath(home);
    }

    d.diskUsage = new SystemGarbageScope(home.isEmpty() ? QStringList() : QStringList{home}, this);
    d.diskUsage->SetItemsSelectedByDefault(false);
    d.diskUsage->SetScanUnsafePaths(true);
    d.ConnectScope(d.diskUsage);
    connect(d.diskUsage, &SystemGarbageScope::PathsChanged, this, &Cleaner::DiskUsagePathsChanged);

    d.shredder = new SystemGarbageScope(this);
    d.shredder->EnableFillingFilesWithGarbage(true);
    d.ConnectScope(d.shredder);
    connect(d.shredder, &SystemGarbageScope::PathsChanged, this, &Cleaner::ShredderPathsChanged);

    if (iPhotoGarbageScope::DoesLibraryExist()) {
        d.photoTrash = new iPhotoGarbageScope(this);
        d.ConnectScope(d.photoTrash);
        d.photoVacuum = new iPhotoVacuumScope(this);
        d.ConnectScope(d.photoVacuum);
    }

    d.antiVirusManager =
        new AntiVirusManager(antiVirusLocations, Details::ClamavLayout::DefaultPrefix(), this);
    d.antiVirus = new AntiVirusScope(d.antiVirusManager, this);
    d.ConnectScope(d.antiVirus);
    connect(d.antiVirus, &AntiVirusScope::PathsChanged, this, &Cleaner::AntiVirusPathsChanged);

    // The lists are kept up to date before any slot of the application runs.
    connect(this, &Cleaner::ScanningStarted, this,
            [this](AbstractGarbageScope* scope) { m_impl->scanningScopes.append(scope); },
            Qt::DirectConnection);
    connect(this, &Cleaner::ScanningFinished, this,
            [this](AbstractGarbageScope* scope) { m_impl->scanningScopes.removeAll(scope); },
            Qt::DirectConnection);
    connect(this, &Cleaner::CleaningStarted, this,
            [this](AbstractGarbageScope* scope) { m_impl->cleaningScopes.append(scope); },
            Qt::DirectConnection);
    connect(this, &Cleaner::CleaningFinished, this,
            [this](AbstractGarbageScope* scope) { m_impl->cleaningScopes.removeAll(scope); },
            Qt::DirectConnection);
}

Cleaner::~Cleaner() {
    // The scopes go with the Qt children, after the private state; the
    // lists must not be upkept by then.
    for (AbstractGarbageScope* scope : m_impl->allScopes) {
        disconnect(scope, nullptr, this, nullptr);
    }
    m_impl->refreshTimer->stop();
    m_impl.reset();
}

SystemInfo* Cleaner::GetSystemInfo() const { return m_impl->systemInfo; }
AbstractGarbageScope* Cleaner::GetUserCacheScope() const { return m_impl->userCache; }
AbstractGarbageScope* Cleaner::GetUserLogsScope() const { return m_impl->userLogs; }
AbstractGarbageScope* Cleaner::GetSystemCacheScope() const { return m_impl->systemCache; }
AbstractGarbageScope* Cleaner::GetSystemLogsScope() const { return m_impl->systemLogs; }
AbstractGarbageScope* Cleaner::GetUnusedAppLanguagesScope() const { return m_impl->appLanguages; }
AbstractGarbageScope* Cleaner::GetUnusedSysLanguagesScope() const { return m_impl->sysLanguages; }
AbstractGarbageScope* Cleaner::GetStandardApplicationsScope() const { return m_impl->standardApps; }
AbstractGarbageScope* Cleaner::GetThirdPartyApplicationsScope() const { return m_impl->otherApps; }
AbstractGarbageScope* Cleaner::GetLeftoversScope() const { return m_impl->leftovers; }
AbstractGarbageScope* Cleaner::GetLargeAndOldScope() const { return m_impl->largeAndOld; }
AbstractGarbageScope* Cleaner::GetLoginItemsScope() const { return m_impl->loginItems; }
AbstractGarbageScope* Cleaner::GetLaunchAgentsScope() const { return m_impl->launchAgents; }
AbstractGarbageScope* Cleaner::GetDuplicatesScope() const { return m_impl->duplicates; }
AbstractGarbageScope* Cleaner::GetDiskUsageScope() const { return m_impl->diskUsage; }
AbstractGarbageScope* Cleaner::GetShredderScope() const { return m_impl->shredder; }
AbstractGarbageScope* Cleaner::GetIPhotoTrashScope() const { return m_impl->photoTrash; }
AbstractGarbageScope* Cleaner::GetIPhotoVacuumScope() const { return m_impl->photoVacuum; }
AntiVirusManager* Cleaner::GetAntiVirusManager() const { return m_impl->antiVirusManager; }
AbstractGarbageScope* Cleaner::GetAntiVirusScope() const { return m_impl->antiVirus; }

QStringList Cleaner::GetTrashes() const {
    return m_impl->trashes.keys();
}

AbstractGarbageScope* Cleaner::GetTrashScope(const QString& name) const {
    return m_impl->trashes.value(name, nullptr);
}

void Cleaner::SetExtraScope(const QString& name, AbstractGarbageScope* scope) {
    if (!scope) {
        LOG(WARNING) << "No extra scope registered under \"" << Util::LogText(name)
                     << "\": it is null";
        return;
    }
    scope->setParent(this);
    m_impl->extraScopes.insert(name, scope);
    m_impl->ConnectScope(scope);
}

AbstractGarbageScope* Cleaner::GetExtraScope(const QString& name) const {
    return m_impl->extraScopes.value(name).data();
}

QVector<AbstractGarbageScope*> Cleaner::GetScopes() const {
    return m_impl->allScopes;
}

bool Cleaner::AddLargeAndOldSearchPath(const QString& path) {
    return m_impl->largeAndOld->AddSearchPath(path);
}
bool Cleaner::RemoveLargeAndOldSearchPath(const QString& path) {
    return m_impl->largeAndOld->RemoveSearchPath(path);
}
QStringList Cleaner::GetLargeAndOldSearchPaths() const {
    return m_impl->largeAndOld->GetSearchPaths();
}
void Cleaner::ClearLargeAndOldSearchPaths() {
    m_impl->largeAndOld->ClearSearchPaths();
}

void Cleaner::AddDuplicatesSearchPath(const QString& path) {
    m_impl->duplicates->AddSearchPath(path);
}
void Cleaner::RemoveDuplicatesSearchPath(const QString& path) {
    m_impl->duplicates->RemoveSearchPath(path);
}
QStringList Cleaner::GetDuplicatesSearchPaths() const {
    return m_impl->duplicates->GetSearchPaths();
}
void Cleaner::ClearDuplicatesSearchPaths() {
    m_impl->duplicates->ClearSearchPaths();
}
void Cleaner::SetDuplicatesSelectionTrait(SelectionTrait trait) {
    m_impl->duplicates->SetSelectionTrait(trait);
}
SelectionTrait Cleaner::GetDuplicatesSelectionTrait() const {
    return m_impl->duplicates->GetSelectionTrait();
}
void Cleaner::SetDuplicatesMinSize(long long bytes) {
    m_impl->duplicates->SetMinSize(bytes);
}
long long Cleaner::GetDuplicatesMinSize() const {
    return m_impl->duplicates->GetMinSize();
}
void Cleaner::SetUseTrashForDuplicates(bool use) {
    m_impl->duplicates->SetUseTrash(use);
}
bool Cleaner::GetUseTrashForDuplicates() const {
    return m_impl->duplicates->GetUseTrash();
}

bool Cleaner::AddDiskUsageSearchPath(const QString& path) {
    return m_impl->diskUsage->AddPath(path);
}
bool Cleaner::RemoveDiskUsageSearchPath(const QString& path) {
    return m_impl->diskUsage->RemovePath(path);
}
QStringList Cleaner::GetDiskUsageSearchPaths() const {
    return m_impl->diskUsage->GetPaths();
}
void Cleaner::ClearDiskUsageSearchPaths() {
    m_impl->diskUsage->ClearPaths();
}

bool Cleaner::AddPathToShredder(const QString& path) {
    return m_impl->shredder->AddPath(path);
}

bool Cleaner::AddPathsToShredder(const QStringList& paths) {
    bool added = false;
    for (const QString& path : paths) {
        added = m_impl->shredder->AddPath(path);
    }
    return added;
}

void Cleaner::ExcludeSelectedFromShredder() {
    m_impl->shredder->SetSelectedClean();
}

bool Cleaner::ExcludeAllFromShredder() {
    if (m_impl->shredder->IsCleaning()) {
        // Its items are being shredded: a reset would drop them mid-way.
        return false;
    }
    m_impl->shredder->Reset();
    m_impl->shredder->ClearPaths();
    return true;
}

QStringList Cleaner::GetShredderPaths() const {
    return m_impl->shredder->GetPaths();
}

bool Cleaner::AddPathToAntiVirus(const QString& path) {
    return m_impl->antiVirus->AddPath(path);
}

bool Cleaner::RemovePathFromAntiVirus(const QString& path) {
    return m_impl->antiVirus->RemovePath(path);
}

void Cleaner::ClearAntiVirusPaths() {
    m_impl->antiVirus->ClearPaths();
}

QStringList Cleaner::GetAntiVirusPaths() const {
    return m_impl->antiVirus->GetPaths();
}

bool Cleaner::AddLoginItem(const QString& path) {
    return m_impl->loginItems->AddLoginItem(path);
}

bool Cleaner::AreUnusedLanguagesSelectedByDefault() const {
    return m_impl->appLanguages->AreItemsSelectedByDefault();
}

void Cleaner::SetUnusedLanguagesSelectedByDefault(bool selected) const {
    m_impl->appLanguages->SetItemsSelectedByDefault(selected);
    m_impl->sysLanguages->SetItemsSelectedByDefault(selected);
}

void Cleaner::SetCleaningWatcher(std::shared_ptr<ICleaningWatcher> watcher) {
    m_impl->watcher->SetTarget(std::move(watcher));
}

bool Cleaner::StartScanning(AbstractGarbageScope* scope) {
    if (!m_impl->Knows(scope) || scope->IsCleaning()) {
        return false;
    }
    scope->StartScanning();
    return true;
}

bool Cleaner::ContinueScanning(AbstractGarbageScope* scope) {
    if (!m_impl->Knows(scope) || scope->IsCleaning()) {
        return false;
    }
    scope->ContinueScanning();
    return true;
}

bool Cleaner::CanContinueScanning(AbstractGarbageScope* scope) const {
    return m_impl->Knows(scope) && scope->CanContinueScanning();
}

bool Cleaner::StopScanning(AbstractGarbageScope* scope) {
    if (scope) {
        if (!m_impl->Knows(scope) || !scope->IsScanning()) {
            return false;
        }
        scope->StopScanning();
        return true;
    }
    // A copy: a scope that finishes at once leaves the list during the loop.
    bool stopped = false;
    const QVector<AbstractGarbageScope*> scanning = m_impl->scanningScopes;
    for (AbstractGarbageScope* s : scanning) {
        if (m_impl->Knows(s) && s->IsScanning()) {
            s->StopScanning();
            stopped = true;
        }
    }
    return stopped;
}

bool Cleaner::StartCleaning(AbstractGarbageScope* scope) {
    if (!m_impl->Knows(scope) || scope->IsScanning()) {
        return false;
    }
    return scope->StartCleaning();
}

bool Cleaner::StopCleaning(AbstractGarbageScope* scope) {
    if (scope) {
        if (!m_impl->Knows(scope) || !scope->IsCleaning()) {
            return false;
        }
        scope->StopCleaning();
        return true;
    }
    bool stopped = false;
    const QVector<AbstractGarbageScope*> cleaning = m_impl->cleaningScopes;
    for (AbstractGarbageScope* s : cleaning) {
        if (m_impl->Knows(s) && s->IsCleaning()) {
            s->StopCleaning();
            stopped = true;
        }
    }
    return stopped;
}

bool Cleaner::PrepareCleaning(bool internal) {
    return FSCleanerServer::GetInstance().PrepareInternal(internal);
}

QVector<AbstractGarbageScope*> Cleaner::GetScannedScopes() const {
    return m_impl->scanningScopes;
}

QVector<AbstractGarbageScope*> Cleaner::GetCleanedScopes() const {
    return m_impl->cleaningScopes;
}

bool Cleaner::IsBusy() const {
    for (AbstractGarbageScope* scope : m_impl->allScopes) {
        if (scope->IsScanning() || scope->IsCleaning()) {
            return true;
        }
    }
    return false;
}

void Cleaner::WaitBeforeAppQuit() {
    m_impl->refreshTimer->stop();
    StopScanning(nullptr);
    StopCleaning(nullptr);
    for (const auto& cache : {m_impl->applicationCaches.standard, m_impl->applicationCaches.other,
                              m_impl->applicationCaches.paths}) {
        if (cache) {
            cache->Cancel();
        }
    }
    if (m_impl->allApplications) {
        m_impl->allApplications->Cancel();
    }
    const QVector<AbstractGarbageScope*> scopes = m_impl->allScopes;
    for (AbstractGarbageScope* scope : scopes) {
        if (m_impl->Knows(scope)) {
            scope->WaitBeforeAppQuit();
        }
    }
    // A stopped scope finishes on its next poll: the application hears every
    // finish before it quits (no input is taken meanwhile).
    QElapsedTimer waited;
    waited.start();
    while (IsBusy() && waited.elapsed() < quitWaitMs) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents,
                                        quitPollMs);
    }
    if (IsBusy()) {
        LOG(WARNING) << "Some scopes had not finished when the application quit";
    }
    m_impl->antiVirusManager->WaitBeforeAppQuit();
    for (const auto& cache : {m_impl->applicationCaches.standard, m_impl->applicationCaches.other,
                              m_impl->applicationCaches.paths}) {
        if (cache) {
            if (auto future = cache->GetFuture()) {
                future->Wait();
            }
        }
    }
    if (m_impl->allApplications) {
        if (auto future = m_impl->allApplications->GetFuture()) {
            future->Wait();
        }
    }
}

long long Cleaner::GetTotalScannedSize() const {
    long long total = 0;
    for (AbstractGarbageScope* scope : m_impl->allScopes) {
        total += scope->GetTotalSize();
    }
    return total;
}

long long Cleaner::GetTotalCleanedSize() const {
    long long total = 0;
    for (AbstractGarbageScope* scope : m_impl->allScopes) {
        total += scope->GetTotalCleanedSize();
    }
    return total;
}

long long Cleaner::GetTotalLeftSize() const {
    return GetTotalScannedSize() - GetTotalCleanedSize();
}

long long Cleaner::GetTotalApplicationScannedSize() const {
    return m_impl->standardApps->GetTotalSize() + m_impl->otherApps->GetTotalSize();
}

long long Cleaner::GetTotalApplicationCleanedSize() const {
    return m_impl->standardApps->GetTotalCleanedSize() + m_impl->otherApps->GetTotalCleanedSize();
}

long long Cleaner::GetTotalApplicationLeftSize() const {
    return GetTotalApplicationScannedSize() - GetTotalApplicationCleanedSize();
}

long long Cleaner::GetTotalLargeAndOldFilesScannedSize() const {
    return m_impl->largeAndOld->GetTotalSize();
}

long long Cleaner::GetTotalLargeAndOldFilesCleanedSize() const {
    return m_impl->largeAndOld->GetTotalCleanedSize();
}

long long Cleaner::GetTotalLargeAndOldFilesLeftSize() const {
    return GetTotalLargeAndOldFilesScannedSize() - GetTotalLargeAndOldFilesCleanedSize();
}

long long Cleaner::GetTotalLeftGarbageSize() const {
    return GetTotalLeftSize() - GetTotalApplicationLeftSize() - GetTotalLargeAndOldFilesLeftSize();
}

}  // namespace Varnex::Cleaner
