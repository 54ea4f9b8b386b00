#include "Core/details/L10nGarbageScope.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>

#include <QHash>
#include <QSet>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "CleanerFS/FSMountProbe.h"
#include "CleanerWorkaround/GuiAntifreeze.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageL10n.h"
#include "Core/details/GarbageL10nBundle.h"
#include "Core/details/L10nCleaningRun.h"
#include "Core/details/L10nScanProducer.h"
#include "Core/details/L10nStore.h"
#include "Core/details/Languages.h"
#include "Core/details/ServerPlanning.h"
#include "Platform/CodeSeal.h"
#include "Platform/PathCodec.h"
#include "QtUtil/SignalBlocker.h"
#include "QtUtil/Utf8.h"

namespace Varnex::Cleaner::Details {

using Util::GuiAntifreeze;

namespace {

using L10nCache = AsyncCache<QList<AppsDB::L10n>>;

const QString languageScheme = QStringLiteral("language://");
const QString lprojSuffix = QStringLiteral(".lproj");
// No localization folder takes a terabyte: a row that says so is no hint
// (and a few of them would overflow the sums).
const long long largestRowSize = 1LL << 40;

// A cache whose current run has ended, whatever its outcome (a failed or
// canceled load counts as an empty one).
bool IsSettled(const AbstractAsyncCache* cache) {
    return cache && !cache->IsRunning() &&
           (cache->IsReady() || cache->IsFailed() || cache->IsCanceled());
}

// The languages the user reads, by the locale variables (LANGUAGE lists them
// in order of preference; LC_ALL, LC_MESSAGES and LANG name one each).
QSet<QString> UserLanguages() {
    QStringList locales = qEnvironmentVariable("LANGUAGE").split(QLatin1Char(':'));
    locales << qEnvironmentVariable("LC_ALL") << qEnvironmentVariable("LC_MESSAGES")
            << qEnvironmentVariable("LANG");
    QSet<QString> names;
    for (QString locale : locales) {
        locale = locale.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
        const QString name = FindLanguage(ExtractBasicLangCode(locale)).GetName();
        if (!name.isEmpty()) {
            names.insert(name);
        }
    }
    return names;
}

// The system library folder a path lies in; empty when none.
QString SystemPrefixOf(const QString& path) {
    for (const QString& prefix : GetSystemLibraryPrefixes()) {
        if (!prefix.isEmpty() && path.startsWith(prefix + QLatin1Char('/'))) {
            return prefix;
        }
    }
    return QString();
}

QString LanguageOfFolder(const QString& lprojPath) {
    return FindLanguage(ExtractBasicLangCode(ExtractLProjName(lprojPath))).GetName();
}

}  // namespace

class L10nGarbageScope::Impl {
public:
    struct Planned {
        std::shared_ptr<GarbageDirectory> folder;
        GarbageL10nBundle* bundle = nullptr;
    };

    Impl(std::shared_ptr<AppPathsCache> paths, bool system)
        : appPathsCache(std::move(paths)),
          isSystem(system),
          store(std::make_shared<L10nStore>(system ? AppsDB::SystemL10ns : AppsDB::Applications)) {}

    std::shared_ptr<AppPathsCache> appPathsCache;
    const bool isSystem;
    std::shared_ptr<L10nStore> store;
    std::shared_ptr<L10nCache> l10nCache;
    std::shared_ptr<AsyncCache<bool>> cachingTask;
    L10nScanProducer producer;

    QList<AppsDB::L10n> pending;
    QHash<QString, GarbageL10n*> l10nsByName;
    QHash<QString, GarbageL10nBundle*> bundleByKey;    // language '\n' bundle path
    QHash<QString, GarbageL10nBundle*> bundleByLProj;  // folder -> its bundle
    QList<GarbageL10nBundle*> newBundles;              // found by this scan, in order
    QSet<GarbageL10nBundle*> newBundleSet;
    QHash<QString, QSet<QString>> languagesOfApp;  // English and excluded ones too
    // The resource seals of the code signatures met, by seal folder.
    QHash<QString, Platform::ResourceSeal> seals;
    // The seal folder that holds the localization folders of a folder (empty:
    // none), by that folder: looked for once, not once per localization.
    QHash<QString, QString> sealRootOfFolder;
    QSet<QString> userLanguages;
    mutable float progress = 0;
    float mergeProgress = 0;
    bool internalStarted = false;

    // The application bundles of the latest scan: the only ones whose
    // folders are shown or removed.
    QStringList appList;
    QSet<QString> knownApps;
    QHash<QString, Planned> planned;
    // What the removals of a bundle's folders gave back so far; -1 once one
    // was not told.
    QHash<GarbageL10nBundle*, long long> freedOfBundle;
    std::unique_ptr<L10nCleaningRun> run;

    // Read for every scanned entry on the walker threads: handed over as a
    // snapshot that is shared, not copied.
    mutable std::mutex exclusionMutex;
    std::shared_ptr<const ExclusionChecker> exclusionTest;
};

L10nGarbageScope::L10nGarbageScope(std::shared_ptr<AppPathsCache> appPathsCache, bool isSystem,
                                   QObject* parent)
    : ServerCleaningScope(parent),
      m_impl(std::make_unique<Impl>(std::move(appPathsCache), isSystem)) {
    SetItemsSelectedByDefault(false);
    CreateRemovalContext(m_impl.get());
    SetProducer(&m_impl->producer);
    RebuildExclusionTest();
    if (m_impl->appPathsCache) {
        m_impl->appPathsCache->CallOnReady(this, [this] {
            if (m_state == SCANNING) {
                DoStartScanningInternal();
            }
        });
    }
    connect(this, &AbstractGarbageScope::ExclusionsChanged, this, [this] {
        RebuildExclusionTest();
        RefreshL10nCache();
    });
    connect(this, &AbstractGarbageScope::ScanningFinished, this,
            [this](AbstractGarbageScope*, FinishReason reason) { OnScanningFinished(reason); });
    connect(this, &AbstractGarbageScope::CleaningFinished, this,
            [this](AbstractGarbageScope*, FinishReason) { StartCachingL10ns(); });
    FSScanner& scanner = m_impl->producer.GetScanner();
    // Runs on the scanner's threads; IsExclusion reads a snapshot.
    scanner.AddResultFilter([this](const std::string& utf8) {
        const QString path = Util::Utf8ToQString(utf8);
        return !path.isNull() && !IsExclusion(path);
    });
    // The system library folders are system folders: scanned for their
    // localizations only.
    scanner.SetScanUnsafePaths(isSystem);
}

L10nGarbageScope::~L10nGarbageScope() {
    // The scanner's filter reaches into this scope: its walkers go first.
    InvalidateBatches();
    m_impl->producer.Stop();
    m_impl->producer.Wait();
    if (m_impl->cachingTask) {
        m_impl->cachingTask->Cancel();
    }
    m_impl->planned.clear();
    DeleteRoots();
}

bool L10nGarbageScope::IsSystem() const {
    return m_impl->isSystem;
}

QString L10nGarbageScope::LanguageNameByCode(const QString& code) {
    return FindLanguage(code).GetName();
}

// Exclusions ------------------------------------------------------------------

AbstractGarbageScope::ExclusionChecker L10nGarbageScope::GetExclusionTest() const {
    QSet<QString> names;
    for (QString exclusion : GetExclusions()) {
        names.insert(exclusion.remove(languageScheme));
    }
    ExclusionChecker base = AbstractGarbageScope::GetExclusionTest();
    return [base = std::move(base), names = std::move(names)](const QString& text) {
        return (base && base(text)) || text.endsWith(QLatin1String("English")) ||
               names.contains(text);
    };
}

void L10nGarbageScope::RebuildExclusionTest() {
    auto test = std::make_shared<const ExclusionChecker>(GetExclusionTest());
    std::lock_guard<std::mutex> lock(m_impl->exclusionMutex);
    m_impl->exclusionTest = std::move(test);
}

bool L10nGarbageScope::IsExclusion(const QString& text) const {
    std::shared_ptr<const ExclusionChecker> test;
    {
        std::lock_guard<std::mutex> lock(m_impl->exclusionMutex);
        test = m_impl->exclusionTest;
    }
    return test && *test && (*test)(text);
}

// Scanning --------------------------------------------------------------------

void L10nGarbageScope::RefreshL10nCache() {
    if (!m_impl->l10nCache) {
        m_impl->l10nCache = std::make_shared<L10nCache>();
        // The store, not the scope: a load may end after the scope is gone.
        m_impl->l10nCache->SetFunction([store = m_impl->store](const std::function<bool()>& stop) {
            return store->Load(stop);
        });
        m_impl->l10nCache->CallOnReady(this, [this] {
            if (m_state == SCANNING) {
                DoStartScanningInternal();
            }
        });
    }
    const QStringList exclusions = GetExclusions();
    const bool written = m_impl->store->TakeChanged();
    if (!written && exclusions == m_impl->store->GetExclusions() &&
        !m_impl->l10nCache->IsInvalidated()) {
        return;
    }
    m_impl->store->SetExclusions(exclusions);
    m_impl->l10nCache->Refresh();
}

void L10nGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    m_impl->pending = m_impl->store->TakeAll();
    m_impl->userLanguages = UserLanguages();
    RebuildExclusionTest();
    RefreshL10nCache();
    SetAdminRightsRequired(true);
    StartProducerScan();
    DoStartScanningInternal();
}

void L10nGarbageScope::DoStartScanningInternal() {
    // Once per scan, only while it runs and before it was stopped.
    // No paths cache: no applications (the system's instance needs none).
    const bool appsSettled = !m_impl->appPathsCache || IsSettled(m_impl->appPathsCache.get());
    if (m_state != SCANNING || m_impl->internalStarted || !m_impl->producer.IsWaiting() ||
        !appsSettled || !IsSettled(m_impl->l10nCache.get())) {
        return;
    }
    if (GuiAntifreeze::IsRecursionGuardSet()) {
        // Inside another batch's turn of the event loop: after it.
        QTimer::singleShot(0, this, [this] { DoStartScanningInternal(); });
        return;
    }
    m_impl->internalStarted = true;
    if (!m_impl->isSystem && m_impl->appPathsCache) {
        m_impl->appList = m_impl->appPathsCache->GetValue();  // settled: no wait
        m_impl->knownApps = QSet<QString>(m_impl->appList.begin(), m_impl->appList.end());
    }
    GuiAntifreeze::BatchScope batch;
    const RunGeneration::Ticket ticket = TakeTicket();

    QList<AppsDB::L10n> cached = m_impl->l10nCache->GetValue();
    // What earlier scans found and the writer has not stored yet: shown now
    // and queued again.
    QHash<QString, int> rowOf;
    for (int i = 0; i < cached.size(); ++i) {
        rowOf.insert(cached.at(i).path, i);
    }
    const QList<AppsDB::L10n> pending = std::move(m_impl->pending);
    m_impl->pending.clear();
    QList<AppsDB::L10n> requeued;
    for (int i = 0; i < pending.size(); ++i) {
        const AppsDB::L10n& l10n = pending.at(i);
        if (PathExists(l10n.path)) {
            requeued.append(l10n);
            const auto row = rowOf.constFind(l10n.path);
            if (row == rowOf.constEnd()) {
                rowOf.insert(l10n.path, cached.size());
                cached.append(l10n);
            } else {
                cached[*row] = l10n;
            }
        }
        m_impl->mergeProgress = static_cast<float>(i + 1) / static_cast<float>(pending.size());
        if (!GiveEventLoopATurn(ticket)) {
            m_impl->store->Plan(requeued + pending.mid(i + 1));
            return;
        }
    }
    m_impl->store->Plan(requeued);
    // Only the rows kept cover their bundles: a bad row leaves its bundle to
    // the scanner.
    if (!InsertCachedL10ns(&cached, ticket)) {
        return;
    }
    ScanUncovered(cached);
}

bool L10nGarbageScope::InsertCachedL10ns(QList<AppsDB::L10n>* cached,
                                         const RunGeneration::Ticket& ticket) {
    const QSet<QString>& apps = m_impl->knownApps;
    QList<AppsDB::L10n> accepted;
    for (const AppsDB::L10n& l10n : *cached) {
        // A row is only a hint: it must still name a localization folder of
        // a bundle this instance looks at, and its language is the folder's.
        if (NormalizeAbsolutePath(l10n.path) != l10n.path ||
            ExtractLProjPath(l10n.path) != l10n.path || l10n.size < 0 ||
            l10n.size > largestRowSize) {
            continue;
        }
        if (m_impl->isSystem
                ? !IsSystemBundle(l10n.path)
                : (ExtractBundlePath(l10n.path) != l10n.appPath || !apps.contains(l10n.appPath))) {
            continue;
        }
        accepted.append(l10n);
        bool current = true;
        GarbageL10nBundle* bundle = AddL10nFolder(l10n.path, false, ticket, &current);
        if (!current) {
            return false;
        }
        if (bundle && l10n.size > 0) {
            bundle->AddSizeForPath(l10n.path, l10n.size);
            m_totalSize += l10n.size;
        }
        if (!GiveEventLoopATurn(ticket)) {
            return false;
        }
    }
    cached->swap(accepted);
    return true;
}

void L10nGarbageScope::ScanUncovered(const QList<AppsDB::L10n>& cached) {
    QStringList roots;
    if (m_impl->isSystem) {
        for (const QString& prefix : GetSystemLibraryPrefixes()) {
            const QString inside = prefix + QLatin1Char('/');
            const bool covered = std::any_of(cached.begin(), cached.end(), [&](const auto& l10n) {
                return l10n.path.startsWith(inside);
            });
            if (!covered) {
                roots.append(prefix);
            }
        }
    } else {
        QSet<QString> covered;
        for (const AppsDB::L10n& l10n : cached) {
            covered.insert(l10n.appPath);
        }
        for (const QString& app : m_impl->appList) {
            if (!covered.contains(app)) {
                roots.append(app);
            }
        }
    }
    std::list<std::string> utf8;
    for (const QString& root : FilterSubDirs(roots)) {
        std::string bytes;
        if (NormalizeAbsolutePath(root) != root || !Platform::EncodePath(root, &bytes)) {
            LOG(WARNING) << "Root not scanned: \"" << Util::LogText(root) << "\"";
            continue;
        }
        utf8.push_back(std::move(bytes));
    }
    m_impl->producer.Begin(std::move(utf8));
}

GarbageL10nBundle* L10nGarbageScope::AddL10nFolder(const QString& path, bool fromScan,
                                                   const RunGeneration::Ticket& ticket,
                                                   bool* current) {
    if (GarbageL10nBundle* known = m_impl->bundleByLProj.value(path)) {
        return known;  // reported or recorded once already
    }
    const QString language = LanguageOfFolder(path);
    const QString appPath = m_impl->isSystem ? QString() : ExtractBundlePath(path);
    if (!language.isEmpty() && !appPath.isEmpty()) {
        m_impl->languagesOfApp[appPath].insert(language);
    }
    if (language.isEmpty() || IsExclusion(language) || (!m_impl->isSystem && appPath.isEmpty())) {
        return nullptr;
    }
    GarbageL10n* root = m_impl->l10nsByName.value(language);
    if (!root) {
        const bool selected =
            AreItemsSelectedByDefault() && !m_impl->userLanguages.contains(language);
        root = new GarbageL10n(language, language, selected, nullptr);
        root->SetReady(true);
        if (!InsertGroup(
                nullptr, {root}, ticket, [this](AbstractGarbage* item) { AddRoot(item); }, [] {})) {
            *current = false;
            return nullptr;
        }
        m_impl->l10nsByName.insert(language, root);
    }
    const QString bundlePath = appPath.isEmpty() || IsSystemBundle(appPath) ? QString() : appPath;
    const QString key = language + QLatin1Char('\n') + bundlePath;
    GarbageL10nBundle* bundle = m_impl->bundleByKey.value(key);
    if (!bundle) {
        bundle = new GarbageL10nBundle(bundlePath, nullptr);
        m_totalItems += 1;
        const bool inserted = InsertGroup(
            root, {bundle}, ticket,
            [root](AbstractGarbage* item) {
                root->AddBundle(static_cast<GarbageL10nBundle*>(item));
            },
            [] {});
        if (!inserted) {
            *current = false;
            return nullptr;
        }
        m_impl->bundleByKey.insert(key, bundle);
        bundle->SetReady(true);
        if (!ticket.IsCurrent()) {
            *current = false;
            return nullptr;
        }
    }
    if (fromScan && !m_impl->newBundleSet.contains(bundle)) {
        m_impl->newBundleSet.insert(bundle);
        m_impl->newBundles.append(bundle);
    }
    bundle->AddPath(path);
    m_impl->bundleByLProj.insert(path, bundle);
    // The system's frameworks and applications are signed as well: their
    // seals are looked for up to the library folder.
    const QString sealBound = m_impl->isSystem ? SystemPrefixOf(path) : appPath;
    if (bundle->GetProblem().isEmpty() && !sealBound.isEmpty()) {
        const QString problem = SealProblem(path, sealBound);
        if (!problem.isEmpty()) {
            LOG(INFO) << "Localization kept: \"" << Util::LogText(path)
                      << "\": " << Util::LogText(problem);
            bundle->SetProblem(problem);
            bundle->Select(false);
            bundle->SetError(AbstractGarbage::Error::REFUSED);
            if (!ticket.IsCurrent()) {
                *current = false;
                return nullptr;
            }
        }
    }
    return bundle;
}

QString L10nGarbageScope::SealProblem(const QString& lprojPath, const QString& bundlePath) {
    const QString parent = lprojPath.left(lprojPath.lastIndexOf(QLatin1Char('/')));
    auto known = m_impl->sealRootOfFolder.constFind(parent);
    if (known == m_impl->sealRootOfFolder.constEnd()) {
        known = m_impl->sealRootOfFolder.insert(parent,
                                                Platform::ResourceSealRoot(lprojPath, bundlePath));
    }
    const QString root = *known;
    if (root.isEmpty()) {
        return QString();
    }
    auto it = m_impl->seals.find(root);
    if (it == m_impl->seals.end()) {
        it = m_impl->seals.insert(root, Platform::ReadResourceSeal(root));
    }
    if (!it->readable) {
        return QStringLiteral(
                   "the application's code signature cannot be read (%1): removing "
                   "a localization could break it")
            .arg(it->problem);
    }
    if (it->sealedLocalizations.contains(lprojPath.mid(root.size() + 1))) {
        return QStringLiteral(
            "sealed in the application's code signature: removing it would "
            "break the signature");
    }
    return QString();
}

bool L10nGarbageScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    // Moved here: the batch must outlive a scope destroyed during a turn.
    FSScanner::Results results = m_impl->producer.MoveBatch();
    // The scanner reports a folder before its entries and lists a folder's
    // entries together: the localization folder of the previous entry is
    // remembered by its bytes, and its blocks are added up until another one
    // comes, so that the entries inside one cost neither a decoding nor a
    // look-up nor a change notification each.
    struct Current {
        std::string inside;  // the folder's bytes and '/'; empty: none
        QString folder;
        GarbageL10nBundle* bundle = nullptr;
        long long blocks = 0;
    } current;
    const auto flush = [this, &current] {
        if (current.bundle && current.blocks > 0) {
            current.bundle->AddSizeForPath(current.folder, current.blocks);
            m_totalSize += current.blocks;
        }
        current.blocks = 0;
    };
    for (FSScanner::Result& result : results) {
        if (!GiveEventLoopATurn(ticket)) {
            return false;  // the items are gone: nothing to add to
        }
        const std::string& bytes = result.path;
        if (!current.inside.empty() &&
            bytes.compare(0, current.inside.size(), current.inside) == 0 &&
            bytes.find(".lproj", current.inside.size()) == std::string::npos) {
            current.blocks += result.diskSize;  // inside the same folder
            continue;
        }
        flush();
        if (!ticket.IsCurrent()) {
            return false;  // a slot of ItemChanged reset the scope
        }
        current = Current();
        if (bytes.find(".lproj") == std::string::npos) {
            continue;  // inside no localization folder
        }
        const QString path = Util::Utf8ToQString(bytes);
        if (path.isEmpty()) {
            continue;
        }
        QString folder;
        GarbageL10nBundle* bundle = nullptr;
        // A link named "x.lproj" is no folder of the bundle: not offered.
        if (result.isDirectory && path.endsWith(lprojSuffix) && ExtractLProjPath(path) == path) {
            // Reported once: its own blocks count with it.
            const bool known = m_impl->bundleByLProj.contains(path);
            bool isCurrent = true;
            bundle = AddL10nFolder(path, true, ticket, &isCurrent);
            if (!isCurrent) {
                return false;
            }
            folder = path;
            if (known) {
                bundle = nullptr;
            }
        } else {
            folder = ExtractLProjPath(path);
            bundle = m_impl->bundleByLProj.value(folder);
        }
        if (folder.isEmpty()) {
            continue;
        }
        current.inside = bytes.substr(0, static_cast<std::size_t>(folder.toUtf8().size())) + '/';
        current.folder = folder;
        current.bundle = bundle;
        current.blocks = bundle ? result.diskSize : 0;
    }
    flush();
    return ticket.IsCurrent();
}

void L10nGarbageScope::OnScanningFinished(FinishReason reason) {
    // A scan that was stopped or failed may have seen part of a bundle:
    // nothing of it is recorded.
    if (reason == DONE) {
        QList<AppsDB::L10n> records;
        for (GarbageL10nBundle* bundle : m_impl->newBundles) {
            auto* language = qobject_cast<GarbageL10n*>(bundle->GetParent());
            if (!language) {
                continue;
            }
            for (const QString& path : bundle->GetPaths()) {
                AppsDB::L10n l10n;
                l10n.path = path;
                l10n.name = language->GetName();
                l10n.appPath = bundle->GetPath();
                l10n.size = bundle->GetSizeForPath(path);
                records.append(l10n);  // dated by the writer
            }
        }
        m_impl->store->Plan(records);
    }
    m_impl->newBundles.clear();
    m_impl->newBundleSet.clear();
    ApplySelectionDefaults();
    for (AbstractGarbage* root : m_roots) {
        root->SetReady(true);
    }
    StartCachingL10ns();
}

void L10nGarbageScope::ApplySelectionDefaults() {
    if (!AreItemsSelectedByDefault()) {
        return;
    }
    AbstractGarbage::CheckStateChange change;
    for (auto it = m_impl->bundleByKey.constBegin(); it != m_impl->bundleByKey.constEnd(); ++it) {
        GarbageL10nBundle* bundle = it.value();
        if (!bundle->GetPath().isEmpty() &&
            m_impl->languagesOfApp.value(bundle->GetPath()).size() <= 1) {
            bundle->Select(false);
        }
    }
}

void L10nGarbageScope::StartCachingL10ns() {
    if (!m_impl->store->HasWork()) {
        return;
    }
    if (!m_impl->cachingTask) {
        m_impl->cachingTask = std::make_shared<AsyncCache<bool>>();
        m_impl->cachingTask->SetFunction(
            [store = m_impl->store](const std::function<bool()>& stop) {
                return store->Write(stop);
            });
        m_impl->cachingTask->CallOnReady(this, [] { LOG(INFO) << "Caching l10ns has finished"; });
    }
    m_impl->cachingTask->Refresh();
}

float L10nGarbageScope::GetScanningProgress() const {
    const float p = std::max(BatchScanningScope::GetScanningProgress(), m_impl->progress);
    m_impl->progress = p;
    if (m_impl->mergeProgress > 0) {
        const float w = m_impl->isSystem ? 1.0f : 0.9f;
        return p * (1 - w) + m_impl->mergeProgress * w;
    }
    return p;
}

// Reset -----------------------------------------------------------------------

void L10nGarbageScope::Reset() {
    ResetScope([this] {
        // Records a start took and had not shown yet go back to the writer.
        if (!m_impl->pending.isEmpty()) {
            m_impl->store->Plan(m_impl->pending);
            m_impl->pending.clear();
        }
        m_impl->l10nsByName.clear();
        m_impl->bundleByKey.clear();
        m_impl->bundleByLProj.clear();
        m_impl->newBundles.clear();
        m_impl->newBundleSet.clear();
        m_impl->languagesOfApp.clear();
        m_impl->seals.clear();
        m_impl->sealRootOfFolder.clear();
        m_impl->planned.clear();
        m_impl->appList.clear();
        m_impl->knownApps.clear();
        GetItemIndex().Clear();
        DeleteRoots();
        m_impl->progress = 0;
        m_impl->mergeProgress = 0;
        m_impl->internalStarted = false;
    });
}

void L10nGarbageScope::WaitBeforeAppQuit() {
    m_impl->producer.Stop();
    m_impl->producer.Wait();
    if (m_impl->cachingTask) {
        m_impl->cachingTask->Cancel();
        if (auto future = m_impl->cachingTask->GetFuture()) {
            future->Wait();
        }
    }
}

void L10nGarbageScope::WaitForCaching() {
    if (m_impl->cachingTask) {
        if (auto future = m_impl->cachingTask->GetFuture()) {
            future->Wait();
        }
    }
}

// Cleaning --------------------------------------------------------------------

void L10nGarbageScope::ResetCleaning() {
    ResetCleaningRun();
}

bool L10nGarbageScope::IsCleaningPossible() const {
    for (const AbstractGarbage* root : m_roots) {
        for (const AbstractGarbage* child : root->GetChildren()) {
            if (qobject_cast<const GarbageL10nBundle*>(child) && child->ShouldBeRemoved()) {
                return true;
            }
        }
    }
    return false;
}

float L10nGarbageScope::GetCleaningProgress() const {
    return FSCleanerServer::GetInstance().GetProgress(GetContextName());
}

GarbageL10nBundle* L10nGarbageScope::FindL10nBundleForPath(const QString& path) const {
    const QString folder = ExtractLProjPath(path);
    return folder.isEmpty() ? nullptr : m_impl->bundleByLProj.value(folder);
}

BatchProducer<CleaningResult>* L10nGarbageScope::PrepareCleaningRun(long long* count) {
    m_impl->planned.clear();
    m_impl->freedOfBundle.clear();
    BatchProducer<CleaningResult>* server = ServerCleaningScope::PrepareCleaningRun(count);
    if (!server) {
        return nullptr;
    }
    m_impl->run = std::make_unique<L10nCleaningRun>(
        server, [this](std::vector<CleaningResult>* batch) { FilterCleaningResults(batch); });
    return m_impl->run.get();
}

namespace {

// A folder that may be removed as a whole tree: a real folder (no link on
// the way to it or at it) named "<name>.lproj". Its identity goes with the
// plan, so that something put in its place meanwhile is refused.
std::shared_ptr<GarbageDirectory> MakeRemovableFolder(const QString& path, const QString& top) {
    std::string bytes;
    std::string topBytes;
    if (NormalizeAbsolutePath(path) != path || ExtractLProjPath(path) != path ||
        !Platform::EncodePath(path, &bytes) || !Platform::EncodePath(top, &topBytes) ||
        bytes.compare(0, topBytes.size() + 1, topBytes + "/") != 0) {
        return nullptr;
    }
    struct stat st {};
    if (::lstat(bytes.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ResolveLinks(bytes) != bytes ||
        !StaysOnMountOf(topBytes, bytes)) {
        return nullptr;
    }
    auto folder = std::make_shared<GarbageDirectory>(path, false, nullptr);
    folder->SetIdentity(static_cast<unsigned long long>(st.st_dev),
                        static_cast<unsigned long long>(st.st_ino));
    folder->Select(true);
    return folder;
}

}  // namespace

void L10nGarbageScope::PlanItems() {
    const RunGeneration::Ticket ticket = TakeTicket();
    const GarbageList roots = m_roots;
    for (AbstractGarbage* root : roots) {
        for (AbstractGarbage* child : root->GetChildren()) {
            auto* bundle = qobject_cast<GarbageL10nBundle*>(child);
            if (!bundle || !bundle->ShouldBeRemoved()) {
                continue;
            }
            for (const QString& path : bundle->GetPaths()) {
                if (bundle->IsPathClean(path) || m_impl->planned.contains(path)) {
                    continue;
                }
                // Inside the bundle it is shown under, and that bundle one of
                // the paths cache (or the system's folders).
                const bool known = m_impl->isSystem
                                       ? IsSystemBundle(path)
                                       : (!bundle->GetPath().isEmpty() &&
                                          ExtractBundlePath(path) == bundle->GetPath() &&
                                          m_impl->knownApps.contains(bundle->GetPath()));
                std::shared_ptr<GarbageDirectory> folder =
                    known ? MakeRemovableFolder(
                                path, m_impl->isSystem ? SystemPrefixOf(path) : bundle->GetPath())
                          : nullptr;
                // What the exclusions leave out inside would go with the
                // folder, and so would a localization folder inside of a
                // language left out (English among them).
                const auto leftOut = [this](const QString& entry) {
                    if (IsExclusion(entry)) {
                        return true;
                    }
                    if (!entry.endsWith(lprojSuffix) || ExtractLProjPath(entry) != entry) {
                        return false;
                    }
                    const QString language = LanguageOfFolder(entry);
                    return !language.isEmpty() && IsExclusion(language);
                };
                if (!folder) {
                    LOG(WARNING) << "Not a localization folder of a known bundle, not removed: \""
                                 << Util::LogText(path) << "\"";
                } else if (KeepsLeftOutEntry(path, leftOut)) {
                    folder.reset();
                }
                if (!folder) {
                    // Selected and kept: the bundle tells it.
                    bundle->SetError(AbstractGarbage::Error::REFUSED);
                    if (!ticket.IsCurrent()) {
                        return;  // a slot of ItemChanged reset the scope
                    }
                    continue;
                }
                // The server tells the blocks the removal really freed.
                if (PlanItem(folder.get(), FSCleanerServer::FLAG_RECURSIVE |
                                               FSCleanerServer::FLAG_FOLDER_BLOCKS)) {
                    m_impl->planned.insert(path, Impl::Planned{folder, bundle});
                }
            }
        }
    }
}

void L10nGarbageScope::FilterCleaningResults(std::vector<CleaningResult>* batch) {
    const RunGeneration::Ticket ticket = TakeTicket();
    std::vector<CleaningResult> shown;
    for (CleaningResult& result : *batch) {
        const auto planned = m_impl->planned.constFind(result.path);
        if (planned == m_impl->planned.constEnd()) {
            continue;
        }
        GarbageL10nBundle* bundle = planned->bundle;
        if (IsCleanedCode(result.code)) {
            if (bundle->IsPathClean(result.path)) {
                continue;  // reported twice
            }
            bundle->SetPathClean(result.path, true);
            // A folder already gone was not freed by this run; a file inside
            // with another name elsewhere frees nothing.
            const long long freed = result.code == FSCleaner::NOT_FOUND ? 0 : result.freed;
            long long& sum = m_impl->freedOfBundle[bundle];
            sum = sum < 0 || freed < 0 ? -1 : sum + freed;
            result.freed = sum;
            m_impl->store->PlanRemoval(result.path);
            if (m_impl->l10nCache) {
                m_impl->l10nCache->SetInvalidated();
            }
            // The bundle counts once, with its last folder.
            if (ticket.IsCurrent() && bundle->IsClean()) {
                shown.push_back(std::move(result));
            }
        } else {
            bundle->SetError(ConvertErrorCode(result.code));
            shown.push_back(std::move(result));
        }
        // A slot of ItemChanged may have reset the scope: its items are gone.
        if (!ticket.IsCurrent()) {
            batch->clear();
            return;
        }
    }
    batch->swap(shown);
}

AbstractGarbage* L10nGarbageScope::FindItemForPath(const QString& path) const {
    const auto planned = m_impl->planned.constFind(path);
    return planned == m_impl->planned.constEnd() ? nullptr : planned->folder.get();
}

long long L10nGarbageScope::GetCleanedSize(AbstractGarbage* item) const {
    // Asked for the folder that completed its bundle: the bundle's bytes.
    const auto planned = m_impl->planned.constFind(item->GetPath());
    return planned == m_impl->planned.constEnd() ? 0 : planned->bundle->GetSize();
}

}  // namespace Varnex::Cleaner::Details
