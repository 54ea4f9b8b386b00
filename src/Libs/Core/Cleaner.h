#pragma once

#include <QObject>
#include <QStringList>
#include <QVector>
#include <memory>

#include "Core/AbstractGarbageScope.h"
#include "Core/AntiVirusManager.h"
#include "Core/details/SelectionTrait.h"

namespace Varnex::Cleaner {

class ICleaningWatcher;
class SystemInfo;

// The one object the application creates, on its main thread: it builds every
// scope with its roots, exclusions, name filters and selection defaults,
// shares the application lists between the scopes that need them, forwards
// each scope's four life-cycle signals, and hands the scopes out. It scans
// nothing by itself.
//
// Where the scopes look: the Mac's folders (below the system root, the
// user's below the home folder) and, beside them, what a freedesktop session
// keeps in their place: the user cache ($XDG_CACHE_HOME, ~/.cache; the old
// ~/.thumbnails), the home trash and the trash folders of every mounted
// volume, /var/cache and /var/log as far as the user may read and remove
// them, without the package managers' folders and the system's records
// (Platform/DesktopFolders.h). The system's own folders (/usr, /etc, /boot,
// /var/lib, ...) are never roots, and the removal server refuses them anyway.
//
// Totals: GetTotalScannedSize() and GetTotalCleanedSize() add up every
// connected scope, the disk-usage view and the shredder included (they are
// scopes like the others); the "garbage" total leaves out the applications
// and the large and old files, which are the user's own.
//
// Life cycle: the operations refuse (false) a null scope, one the facade does
// not know, a scan or a cleaning of a scope that is cleaning, and a cleaning
// of a scope that is scanning; StartCleaning() answers what the scope
// answered. WaitBeforeAppQuit() stops the refresh timer, stops every scan and
// cleaning, cancels the application lists and waits for all of it.
//
// Threads: the main thread only.
class Cleaner : public QObject {
    Q_OBJECT
public:
    explicit Cleaner(QObject* parent = nullptr);
    // With the locations the antivirus manager updates the engine and its
    // signatures from (none by default: the installed engine only).
    Cleaner(const AntiVirusManager::Locations& antiVirusLocations, QObject* parent = nullptr);
    ~Cleaner() override;

    SystemInfo* GetSystemInfo() const;
    AbstractGarbageScope* GetUserCacheScope() const;
    AbstractGarbageScope* GetUserLogsScope() const;
    AbstractGarbageScope* GetSystemCacheScope() const;
    AbstractGarbageScope* GetSystemLogsScope() const;
    AbstractGarbageScope* GetUnusedAppLanguagesScope() const;
    AbstractGarbageScope* GetUnusedSysLanguagesScope() const;
    AbstractGarbageScope* GetStandardApplicationsScope() const;
    AbstractGarbageScope* GetThirdPartyApplicationsScope() const;
    AbstractGarbageScope* GetLeftoversScope() const;
    AbstractGarbageScope* GetLargeAndOldScope() const;
    AbstractGarbageScope* GetLoginItemsScope() const;
    AbstractGarbageScope* GetLaunchAgentsScope() const;
    AbstractGarbageScope* GetDuplicatesScope() const;
    AbstractGarbageScope* GetDiskUsageScope() const;
    AbstractGarbageScope* GetShredderScope() const;
    // Both null when the user has no photo library.
    AbstractGarbageScope* GetIPhotoTrashScope() const;
    AbstractGarbageScope* GetIPhotoVacuumScope() const;
    AntiVirusManager* GetAntiVirusManager() const;
    AbstractGarbageScope* GetAntiVirusScope() const;

    // The trash scopes, one per volume that has a trash of the user, keyed by
    // the volume's name (unique among the volumes).
    QStringList GetTrashes() const;
    AbstractGarbageScope* GetTrashScope(const QString& name) const;

    // A scope of the application's own, adopted (re-parented to the facade)
    // and connected once. A name registered before keeps its earlier scope
    // connected (it may be running) but hands out the new one.
    void SetExtraScope(const QString& name, AbstractGarbageScope* scope);
    AbstractGarbageScope* GetExtraScope(const QString& name) const;

    // Every connected scope, in the order they were connected.
    QVector<AbstractGarbageScope*> GetScopes() const;

    bool AddLargeAndOldSearchPath(const QString& path);
    bool RemoveLargeAndOldSearchPath(const QString& path);
    QStringList GetLargeAndOldSearchPaths() const;
    void ClearLargeAndOldSearchPaths();

    void AddDuplicatesSearchPath(const QString& path);
    void RemoveDuplicatesSearchPath(const QString& path);
    QStringList GetDuplicatesSearchPaths() const;
    void ClearDuplicatesSearchPaths();
    void SetDuplicatesSelectionTrait(SelectionTrait trait);
    SelectionTrait GetDuplicatesSelectionTrait() const;
    void SetDuplicatesMinSize(long long bytes);
    long long GetDuplicatesMinSize() const;
    void SetUseTrashForDuplicates(bool use);
    bool GetUseTrashForDuplicates() const;

    bool AddDiskUsageSearchPath(const QString& path);
    bool RemoveDiskUsageSearchPath(const QString& path);
    QStringList GetDiskUsageSearchPaths() const;
    void ClearDiskUsageSearchPaths();

    bool AddPathToShredder(const QString& path);
    // Each in order; the last one's answer (false for an empty list).
    bool AddPathsToShredder(const QStringList& paths);
    void ExcludeSelectedFromShredder();
    // False (nothing changes) while the shredder cleans.
    bool ExcludeAllFromShredder();
    QStringList GetShredderPaths() const;

    bool AddPathToAntiVirus(const QString& path);
    bool RemovePathFromAntiVirus(const QString& path);
    void ClearAntiVirusPaths();
    QStringList GetAntiVirusPaths() const;

    bool AddLoginItem(const QString& path);

    bool AreUnusedLanguagesSelectedByDefault() const;
    void SetUnusedLanguagesSelectedByDefault(bool selected) const;

    // The application's veto on cleanings; replaceable at any time (null: none).
    void SetCleaningWatcher(std::shared_ptr<ICleaningWatcher> watcher);

    bool StartScanning(AbstractGarbageScope* scope);
    bool ContinueScanning(AbstractGarbageScope* scope);
    bool CanContinueScanning(AbstractGarbageScope* scope) const;
    // Null: every scope that scans. True when one was stopped.
    bool StopScanning(AbstractGarbageScope* scope);
    bool StartCleaning(AbstractGarbageScope* scope);
    bool StopCleaning(AbstractGarbageScope* scope);
    bool PrepareCleaning(bool internal);

    // The scopes that started and have not finished scanning (cleaning).
    QVector<AbstractGarbageScope*> GetScannedScopes() const;
    QVector<AbstractGarbageScope*> GetCleanedScopes() const;
    bool IsBusy() const;

    void WaitBeforeAppQuit();

    long long GetTotalScannedSize() const;
    long long GetTotalCleanedSize() const;
    long long GetTotalLeftSize() const;
    long long GetTotalApplicationScannedSize() const;
    long long GetTotalApplicationCleanedSize() const;
    long long GetTotalApplicationLeftSize() const;
    long long GetTotalLargeAndOldFilesScannedSize() const;
    long long GetTotalLargeAndOldFilesCleanedSize() const;
    long long GetTotalLargeAndOldFilesLeftSize() const;
    long long GetTotalLeftGarbageSize() const;

signals:
    void ScanningStarted(Varnex::Cleaner::AbstractGarbageScope*);
    void ScanningFinished(Varnex::Cleaner::AbstractGarbageScope*,
                          Varnex::Cleaner::AbstractGarbageScope::FinishReason);
    void CleaningStarted(Varnex::Cleaner::AbstractGarbageScope*);
    void CleaningFinished(Varnex::Cleaner::AbstractGarbageScope*,
                          Varnex::Cleaner::AbstractGarbageScope::FinishReason);
    void LargeAndOldSearchPathsChanged(QStringList);
    void DuplicatesSearchPathsChanged(QStringList);
    void ShredderPathsChanged(QStringList);
    void DiskUsagePathsChanged(QStringList);
    void AntiVirusPathsChanged(QStringList);

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner
