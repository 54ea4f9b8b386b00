#include "Core/details/ApplicationGarbageScope.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <QHash>
#include <QSet>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "Core/details/ApplicationLeftovers.h"
#include "Core/details/ApplicationScanProducer.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageApplication.h"
#include "Core/details/GarbageLeftover.h"
#include "Core/details/GarbageLeftoverGroup.h"
#include "Core/details/L10nCleaningRun.h"
#include "Core/details/ServerPlanning.h"
#include "Platform/BundleInfo.h"
#include "Platform/DarwinUserCache.h"
#include "Platform/PathCodec.h"
#include "Platform/SearchPaths.h"
#include "QtUtil/SignalBlocker.h"

namespace Varnex::Cleaner::Details {

namespace {

// A cache whose current run has ended, whatever its outcome.
bool IsSettled(const AbstractAsyncCache* cache) {
    return !cache->IsRunning() && (cache->IsReady() || cache->IsFailed() || cache->IsCanceled());
}

bool IsLink(const QString& path) {
    std::string bytes;
    struct stat st;
    return Platform::EncodePath(path, &bytes) && ::lstat(bytes.c_str(), &st) == 0 &&
           S_ISLNK(st.st_mode);
}

GarbageLeftover* BundleLeftover(GarbageApplication* app) {
    GarbageLeftoverGroup* binaries = app->GetLeftoverGroup(GarbageApplication::binariesName);
    const GarbageList items = binaries ? binaries->GetChildren() : GarbageList();
    return items.isEmpty() ? nullptr : qobject_cast<GarbageLeftover*>(items.first());
}

template <class F>
void ForEachLeftover(const GarbageApplication* app, F&& f) {
    for (AbstractGarbage* group : app->GetChildren()) {
        for (AbstractGarbage* item : group->GetChildren()) {
            if (auto* leftover = qobject_cast<GarbageLeftover*>(item)) {
                f(leftover);
            }
        }
    }
}

void SetTreeReady(AbstractGarbage* item) {
    for (AbstractGarbage* child : item->GetChildren()) {
        SetTreeReady(child);
    }
    item->SetReady(true);
}

}  // namespace

class ApplicationGarbageScope::Impl {
public:
    std::shared_ptr<LocationsCache> locationsCache;
    std::shared_ptr<ApplicationsCache> appsCache;
    std::shared_ptr<LocationsCache> installedCache;
    QStringList locations;
    ApplicationScanProducer producer;
    QHash<QString, GarbageApplication*> appsByPath;
    bool measured = false;  // a bundle size was recorded by this scan
    std::unique_ptr<L10nCleaningRun> run;
};

ApplicationGarbageScope::ApplicationGarbageScope(std::shared_ptr<LocationsCache> locationsCache,
                                                 std::shared_ptr<ApplicationsCache> appsCache,
                                                 QObject* parent)
    : ServerCleaningScope(parent), m_impl(std::make_unique<Impl>()) {
    m_impl->locationsCache = std::move(locationsCache);
    m_impl->appsCache = std::move(appsCache);
    SetItemsSelectedByDefault(false);
    CreateRemovalContext(m_impl.get());
    SetProducer(&m_impl->producer);
    if (m_impl->locationsCache) {
        m_impl->locationsCache->CallOnReady(this, [this] {
            UpdateLocations(m_impl->locationsCache->GetValue());
            DoBeginScan();
        });
        if (m_impl->locationsCache->IsReady()) {
            UpdateLocations(m_impl->locationsCache->GetValue());
        }
    }
    if (m_impl->appsCache) {
        m_impl->appsCache->CallOnReady(this, [this] { DoBeginScan(); });
    }
    connect(this, &AbstractGarbageScope::ScanningFinished, this,
            [this](AbstractGarbageScope*, FinishReason) { OnScanningFinished(); });
    connect(this, &AbstractGarbageScope::CleaningFinished, this,
            [this](AbstractGarbageScope*, FinishReason) { OnCleaningFinished(); });
}

ApplicationGarbageScope::~ApplicationGarbageScope() {
    InvalidateBatches();
    m_impl->producer.Stop();
    m_impl->producer.Wait();
    m_impl->appsByPath.clear();
    GetItemIndex().Clear();
    DeleteRoots();
}

void ApplicationGarbageScope::SetInstalledApplicationsCache(
    std::shared_ptr<LocationsCache> installed) {
    m_impl->installedCache = std::move(installed);
    if (m_impl->installedCache) {
        m_impl->installedCache->CallOnReady(this, [this] { DoBeginScan(); });
    }
}

void ApplicationGarbageScope::UpdateLocations(const QStringList& locations) {
    m_impl->locations.clear();
    for (const QString& path : locations) {
        if (Platform::BundleInfo::IsBundle(path) && !IsLink(path)) {
            m_impl->locations.append(path);
        }
    }
    m_potentialRoots = m_impl->locations.size();
}

QStringList ApplicationGarbageScope::GetLocations() const {
    return m_impl->locations;
}

bool ApplicationGarbageScope::IsLeftoversScope() const {
    return !m_impl->locationsCache;
}

GarbageApplication* ApplicationGarbageScope::FindApplication(const QString& path) const {
    return m_impl->appsByPath.value(path);
}

GarbageLeftover* ApplicationGarbageScope::FindLeftover(const QString& path) const {
    return qobject_cast<GarbageLeftover*>(GetItemIndex().Find(path));
}

void ApplicationGarbageScope::WaitBeforeAppQuit() {
    m_impl->producer.Stop();
    m_impl->producer.Wait();
}

// Scanning --------------------------------------------------------------------

void ApplicationGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    SetAdminRightsRequired(true);
    StartProducerScan();
    DoBeginScan();
}

void ApplicationGarbageScope::DoBeginScan() {
    Impl& d = *m_impl;
    if (m_state != SCANNING || !d.producer.IsWaiting()) {
        return;
    }
    const bool leftovers = !d.locationsCache;
    for (const AbstractAsyncCache* cache :
         {static_cast<const AbstractAsyncCache*>(d.locationsCache.get()),
          static_cast<const AbstractAsyncCache*>(d.appsCache.get()),
          static_cast<const AbstractAsyncCache*>(d.installedCache.get())}) {
        if (cache && !IsSettled(cache)) {
            return;  // its readiness comes back here
        }
    }
    ApplicationScanInput input;
    bool failed = false;
    input.leftoversOnly = leftovers;
    if (d.locationsCache) {
        if (d.locationsCache->IsReady()) {
            UpdateLocations(d.locationsCache->GetValue());
            input.locations = d.locations;
        } else {
            LOG(WARNING) << "The application list could not be had: nothing scanned";
            failed = true;
        }
    }
    if (d.appsCache && d.appsCache->IsReady()) {
        input.records = d.appsCache->GetValue();
    } else if (leftovers) {
        // Without the rows nothing is known to be gone.
        LOG(WARNING) << "The applications database could not be read: no leftovers";
        failed = true;
    }
    if (d.installedCache) {
        if (d.installedCache->IsReady()) {
            input.installed = d.installedCache->GetValue();
        } else if (leftovers) {
            // Without it an installed application could be taken for gone.
            LOG(WARNING) << "The installed applications could not be listed: no leftovers";
            failed = true;
        }
    }
    input.excluded = GetExclusionTest();
    input.library = Platform::UserLibraryDirectory();
    input.darwinCache = Platform::DarwinUserCachePath();
    d.producer.Begin(std::move(input), failed);
}

bool ApplicationGarbageScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    Impl& d = *m_impl;
    // Moved here: the batch must outlive a scope destroyed during a turn.
    ApplicationScanProducer::Batch records = d.producer.MoveBatch();
    for (ApplicationScanRecord& record : records) {
        if (!GiveEventLoopATurn(ticket)) {
            return false;
        }
        if (record.kind == ApplicationScanRecord::APPLICATION) {
            if (d.appsByPath.contains(record.appPath)) {
                continue;
            }
            auto* app =
                new GarbageApplication(record.appPath, record.bundleId, record.lastUsed, nullptr);
            GarbageLeftover* bundle = BundleLeftover(app);
            if (bundle) {
                bundle->SetIdentity(true, record.device, record.inode, record.birth);
                app->AddBundleSize(record.size);
            }
            const bool inserted = InsertGroup(
                nullptr, {app}, ticket, [this](AbstractGarbage* item) { AddRoot(item); },
                [this, app, bundle] {
                    m_impl->appsByPath.insert(app->GetPath(), app);
                    if (bundle) {
                        GetItemIndex().Insert(bundle);
                        m_totalItems += 1;
                        m_totalSize += bundle->GetSize();
                    }
                });
            if (!inserted) {
                return false;
            }
            d.measured = d.measured || record.measured;
            continue;
        }
        GarbageApplication* app = d.appsByPath.value(record.appPath);
        if (!app || GetItemIndex().Contains(record.path)) {
            continue;
        }
        GarbageLeftoverGroup* group = app->GetLeftoverGroup(record.group);
        if (!group) {
            group = new GarbageLeftoverGroup(record.path, record.group, nullptr);
            const bool inserted = InsertGroup(
                app, {group}, ticket,
                [app](AbstractGarbage* item) {
                    app->AddLeftoverGroup(static_cast<GarbageLeftoverGroup*>(item));
                },
                [] {});
            if (!inserted) {
                return false;
            }
        }
        auto* leftover = new GarbageLeftover(record.path, record.size, nullptr);
        leftover->SetIdentity(record.isDirectory, record.device, record.inode, record.birth);
        const bool inserted = InsertGroup(
            group, {leftover}, ticket,
            [group](AbstractGarbage* item) {
                group->AddLeftover(static_cast<GarbageLeftover*>(item));
            },
            [this, leftover] {
                GetItemIndex().Insert(leftover);
                m_totalItems += 1;
                m_totalSize += leftover->GetSize();
            });
        if (!inserted) {
            return false;
        }
    }
    return true;
}

void ApplicationGarbageScope::OnScanningFinished() {
    for (AbstractGarbage* root : m_roots) {
        SetTreeReady(root);
    }
    if (m_impl->measured && m_impl->appsCache) {
        m_impl->appsCache->SetInvalidated();
    }
    m_impl->measured = false;
}

// Reset -----------------------------------------------------------------------

void ApplicationGarbageScope::Reset() {
    EndRunsBeforeReset();
    emit BeforeClear();
    Util::SignalBlocker blocker(this);
    InvalidateBatches();
    m_totalItems = 0;
    m_state = IDLE;
    m_impl->appsByPath.clear();
    m_impl->measured = false;
    GetItemIndex().Clear();
    DeleteRoots();
    ResetScanningRun();
    m_totalSize = 0;
    m_scanningStartTime = QDateTime();
    m_scanningStopTime = QDateTime();
    ResetCleaning();
    m_totalCleanedItems = 0;
    m_totalCleanedSize = 0;
    blocker.revert();
    emit AfterClear();
}

// Cleaning --------------------------------------------------------------------

void ApplicationGarbageScope::ResetCleaning() {
    ResetCleaningRun();
}

bool ApplicationGarbageScope::IsCleaningPossible() const {
    for (const AbstractGarbage* root : m_roots) {
        const auto* app = qobject_cast<const GarbageApplication*>(root);
        if (app && !app->GetPaths().isEmpty()) {
            return true;
        }
    }
    return false;
}

float ApplicationGarbageScope::GetCleaningProgress() const {
    return FSCleanerServer::GetInstance().GetProgress(GetContextName());
}

bool ApplicationGarbageScope::IsRemovableLeftover(const GarbageApplication* app,
                                                  const GarbageLeftover* leftover) const {
    const QString path = leftover->GetPath();
    if (NormalizeAbsolutePath(path) != path || !leftover->HasIdentity()) {
        return false;
    }
    if (path == app->GetPath()) {
        return app->Exists() && m_impl->locations.contains(path);
    }
    const QString parent = ExtractParentPath(path);
    for (const ApplicationLeftovers::Root& root : ApplicationLeftovers::MakeRoots(
             Platform::UserLibraryDirectory(), Platform::DarwinUserCachePath())) {
        if (parent == root.folder) {
            return true;
        }
    }
    return false;
}

void ApplicationGarbageScope::PlanItems() {
    // Only text exclusions can match inside a tree that is not excluded as
    // a whole: without them no tree is walked.
    const PlanExclusion excluded = GetExclusions().isEmpty() ? PlanExclusion() : GetExclusionTest();
    for (AbstractGarbage* root : m_roots) {
        auto* app = qobject_cast<GarbageApplication*>(root);
        if (!app) {
            continue;
        }
        ForEachLeftover(app, [this, app, &excluded](GarbageLeftover* leftover) {
            if (!leftover->ShouldBeRemoved() || leftover->IsClean()) {
                return;
            }
            if (!IsRemovableLeftover(app, leftover)) {
                LOG(WARNING) << "Not a leftover of a known place, not removed: \""
                             << Util::LogText(leftover->GetPath()) << "\"";
                return;
            }
            // It goes as a whole tree: what the exclusions leave out inside
            // would go with it.
            if (excluded && leftover->IsDirectory() &&
                KeepsLeftOutEntry(leftover->GetPath(), excluded)) {
                return;
            }
            // What came into a folder after the scan was never shown: it
            // stays. A file is held to its identity only: its status also
            // changes when this run removes another name of it.
            PlanItem(leftover, FSCleanerServer::FLAG_RECURSIVE,
                     leftover->IsDirectory() ? GetScanStartTime() : 0);
        });
    }
}

BatchProducer<CleaningResult>* ApplicationGarbageScope::PrepareCleaningRun(long long* count) {
    BatchProducer<CleaningResult>* server = ServerCleaningScope::PrepareCleaningRun(count);
    if (!server) {
        return nullptr;
    }
    // Something already gone was not freed by this run.
    m_impl->run = std::make_unique<L10nCleaningRun>(server, [](std::vector<CleaningResult>* batch) {
        for (CleaningResult& result : *batch) {
            if (result.code == FSCleaner::NOT_FOUND) {
                result.freed = 0;
            }
        }
    });
    return m_impl->run.get();
}

void ApplicationGarbageScope::OnCleaningFinished() {
    bool changed = false;
    for (AbstractGarbage* root : m_roots) {
        auto* app = qobject_cast<GarbageApplication*>(root);
        if (!app) {
            continue;
        }
        bool anyLeft = false;
        bool anyCleaned = false;
        ForEachLeftover(app, [&](GarbageLeftover* leftover) {
            (leftover->IsClean() ? anyCleaned : anyLeft) = true;
        });
        const bool bundleGone = app->Exists() && !PathExists(app->GetPath());
        if (!anyCleaned) {
            continue;
        }
        if (!anyLeft && (bundleGone || !app->Exists())) {
            changed = AppsDB::RemoveApplicationByPath(app->GetPath()) || changed;
        } else if (bundleGone) {
            // Measured anew if it comes back; its localizations went with it.
            changed = AppsDB::RemoveL10nsByAppPath(app->GetPath(), AppsDB::Applications) || changed;
        }
    }
    if (changed && m_impl->appsCache) {
        m_impl->appsCache->SetInvalidated();
    }
}

}  // namespace Varnex::Cleaner::Details
