#pragma once

#include <QList>
#include <QStringList>
#include <memory>

#include "Async/AsyncCache.h"
#include "Core/details/AppsDB.h"
#include "Core/details/ServerCleaningScope.h"

namespace Varnex::Cleaner::Details {

class GarbageApplication;
class GarbageLeftover;

// Applications with what they keep in the user's Library folder, to uninstall
// them completely, or the leftovers of applications that are gone. One root
// GarbageApplication per application, with GarbageLeftoverGroup children
// ("Binaries": the bundle itself; "Caches", "Preferences", "Saved Application
// State", "Application Support", "Containers", "Group Containers",
// "HTTPStorages", "WebKit", "Logs", "Crashes") holding GarbageLeftover items.
//
// Three instances: the standard and the other vendors' applications, each with
// its locations cache (the bundle paths it covers), and one without, which
// shows the leftovers of the applications the database recorded whose bundle
// is gone, never those of an identifier that an installed bundle still has
// (moved, copied, or on a volume that is not mounted). Bundle sizes come from
// the database when a clean row has them; bundles measured by a scan are
// recorded there. Nothing is selected by default.
//
// Cleaning removes every selected leftover, the bundle included, as a whole
// tree, and only the entry the scan saw there. Only bytes really freed count.
// A removed bundle's row is dropped once nothing of it is left, or marked to
// be measured again (and its localization rows dropped) otherwise.
//
// Threads: the scope's (main) thread; the scan works on a thread of its own
// (ApplicationScanProducer), the removal on the removal server.
class ApplicationGarbageScope : public ServerCleaningScope {
    Q_OBJECT
public:
    using LocationsCache = AsyncCache<QStringList>;
    using ApplicationsCache = AsyncCache<QList<AppsDB::Application>>;

    // `locationsCache` null: the leftovers instance. A scan begins once the
    // caches given have settled; a cache that failed fails the scan, except
    // the applications cache of an application instance (then every bundle is
    // measured).
    ApplicationGarbageScope(std::shared_ptr<LocationsCache> locationsCache,
                            std::shared_ptr<ApplicationsCache> appsCache,
                            QObject* parent = nullptr);
    ~ApplicationGarbageScope() override;

    // Every installed bundle (the inventory's list of all applications):
    // their identifiers are never offered as leftovers, and their names never
    // take crash reports. Without it only the locations and the database
    // tell what is installed. Before the first scan.
    void SetInstalledApplicationsCache(std::shared_ptr<LocationsCache> installed);

    // Keeps the entries that are bundles and not symbolic links, in order.
    void UpdateLocations(const QStringList& locations);
    QStringList GetLocations() const;
    bool IsLeftoversScope() const;

    GarbageApplication* FindApplication(const QString& path) const;
    GarbageLeftover* FindLeftover(const QString& path) const;

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;
    float GetCleaningProgress() const override;
    // Stops the scan's thread and waits for it.
    void WaitBeforeAppQuit() override;

public slots:
    void DoStartScanning() override;

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    void PlanItems() override;
    BatchProducer<CleaningResult>* PrepareCleaningRun(long long* count) override;

private:
    class Impl;

    // Hands the scan its input once every cache has settled; at most once
    // per scan, and only while it is waiting.
    void DoBeginScan();
    void OnScanningFinished();
    void OnCleaningFinished();
    // Whether a leftover may be removed: directly inside a library root, or
    // the bundle of a location.
    bool IsRemovableLeftover(const GarbageApplication* app, const GarbageLeftover* leftover) const;

    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
