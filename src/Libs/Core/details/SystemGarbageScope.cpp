#include "Core/details/SystemGarbageScope.h"

#include <glog/logging.h>

#include <QHash>
#include <QSet>
#include <QTimerEvent>
#include <list>
#include <string>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "CleanerFS/FSScanner.h"
#include "CleanerWorkaround/GuiAntifreeze.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageFile.h"
#include "Core/details/ServerPlanning.h"
#include "Platform/PathCodec.h"
#include "QtUtil/SignalBlocker.h"
#include "QtUtil/Utf8.h"

namespace Varnex::Cleaner::Details {

using Util::GuiAntifreeze;

namespace {

const unsigned int scannerThreads = 20;
const int antifreezeIntervalMs = 20;

bool IsUsableRoot(const QString& path) {
    return path.startsWith(QLatin1Char('/'));
}

}  // namespace

class SystemGarbageScope::Impl {
public:
    QStringList paths;
    FSScanner scanner{scannerThreads};
    QHash<QString, AbstractGarbage*> itemIndex;
    float lastScanningProgress = 0;
    bool fillingFilesWithGarbage = false;
    bool scanUnsafePaths = false;
    GuiAntifreeze antifreeze{antifreezeIntervalMs};
    // The roots handed to the scanner in this scan: the only results that may
    // become root items.
    QSet<QString> scannedRoots;
    // Moves on with every reset, so that a batch interrupted by a turn of the
    // event loop notices when its items were dropped under it.
    quint64 generation = 0;
};

SystemGarbageScope::SystemGarbageScope(QObject* parent)
    : SystemGarbageScope(QStringList(), parent) {}

SystemGarbageScope::SystemGarbageScope(QStringList paths, QObject* parent)
    : ServerCleaningScope(parent), m_impl(std::make_unique<Impl>()) {
    m_impl->paths = std::move(paths);
    CreateRemovalContext(m_impl.get());
    // Runs on the scanner's threads: IsExclusion reads an immutable snapshot.
    m_impl->scanner.AddResultFilter([this](const std::string& utf8) {
        const QString path = Util::Utf8ToQString(utf8);
        return !path.isNull() && !IsExclusion(path);
    });
}

SystemGarbageScope::~SystemGarbageScope() {
    // The filter reaches into this scope: the walkers must be gone first.
    m_impl->scanner.Stop();
    m_impl->scanner.Wait();
    m_impl->itemIndex.clear();
    DeleteRoots();
}

QString SystemGarbageScope::FixPath(const QString& path) {
    QString p = path;
    if (p != QLatin1String("/")) {
        if (p.endsWith(QLatin1Char('/'))) {
            p.chop(1);
        }
        if (p.startsWith(QLatin1String("file://"))) {
            p.remove(0, 7);
        }
    }
    return p;
}

bool SystemGarbageScope::AddPath(const QString& path) {
    const QString p = FixPath(path);
    if (!IsUsableRoot(p)) {
        LOG(WARNING) << "Not a usable root: \"" << Util::LogText(path) << "\"";
        return false;
    }
    AbstractGarbage* item = m_impl->itemIndex.value(p);
    // An item that was only marked done comes back; one whose file is really
    // gone stays clean, or it would be planned and counted a second time.
    if (item && PathExists(p)) {
        item->SetClean(false);
    }
    if (m_impl->paths.contains(p) || (item && !item->IsRoot())) {
        return false;
    }
    m_impl->paths.append(p);
    emit PathsChanged(m_impl->paths);
    return true;
}

bool SystemGarbageScope::RemovePath(const QString& path) {
    const QString p = FixPath(path);
    AbstractGarbage* item = m_impl->itemIndex.value(p);
    if (item) {
        item->SetClean(true);
    }
    if (!m_impl->paths.contains(p) || (item && !item->IsRoot())) {
        return false;
    }
    m_impl->paths.removeAll(p);
    emit PathsChanged(m_impl->paths);
    return true;
}

QStringList SystemGarbageScope::GetPaths() const {
    return m_impl->paths;
}

void SystemGarbageScope::ClearPaths() {
    if (m_impl->paths.isEmpty()) {
        return;
    }
    m_impl->paths.clear();
    emit PathsChanged(m_impl->paths);
}

AbstractGarbage* SystemGarbageScope::FindGarbage(const QString& path) const {
    return m_impl->itemIndex.value(path);
}

GarbageDirectory* SystemGarbageScope::FindDirectory(const QString& path) const {
    return qobject_cast<GarbageDirectory*>(m_impl->itemIndex.value(path));
}

QStringList SystemGarbageScope::GetNotScannedLocations() const {
    QSet<QString> shown;
    for (const AbstractGarbage* root : m_roots) {
        shown.insert(root->GetPath());
    }
    QStringList out;
    for (const QString& p : m_impl->paths) {
        if (!shown.contains(p)) {
            out.append(p);
        }
    }
    return out;
}

void SystemGarbageScope::SetSelectedClean() {
    std::vector<AbstractGarbage*> pending(m_roots.rbegin(), m_roots.rend());
    while (!pending.empty()) {
        AbstractGarbage* item = pending.back();
        pending.pop_back();
        if (!item->ShouldBeRemoved()) {
            const GarbageList children = item->GetChildren();
            pending.insert(pending.end(), children.rbegin(), children.rend());
        } else if (!item->IsRoot()) {
            item->SetClean(true);
        } else {
            RemovePath(item->GetPath());
        }
    }
}

void SystemGarbageScope::EnableFillingFilesWithGarbage(bool enable) {
    m_impl->fillingFilesWithGarbage = enable;
}

bool SystemGarbageScope::IsFillingFilesWithGarbageEnabled() const {
    return m_impl->fillingFilesWithGarbage;
}

void SystemGarbageScope::SetScanUnsafePaths(bool scan) {
    m_impl->scanUnsafePaths = scan;
}

void SystemGarbageScope::Reset() {
    EndRunsBeforeReset();
    emit BeforeClear();
    Util::SignalBlocker blocker(this);
    ++m_impl->generation;
    m_totalItems = 0;
    m_state = IDLE;
    m_impl->itemIndex.clear();
    DeleteRoots();
    m_impl->scanner.Wait();
    m_impl->scanner.Clear();
    m_totalSize = 0;
    m_scanningStartTime = QDateTime();
    m_scanningStopTime = QDateTime();
    ResetCleaning();
    m_totalCleanedItems = 0;
    m_totalCleanedSize = 0;
    m_impl->lastScanningProgress = 0;
    blocker.revert();
    emit AfterClear();
}

void SystemGarbageScope::ResetCleaning() {
    ResetCleaningRun();
}

namespace {

bool HasRemovable(const AbstractGarbage* item) {
    if (item->ShouldBeRemoved()) {
        return true;
    }
    const AbstractGarbage::CheckState state = item->GetCheckState();
    if (state == AbstractGarbage::PARTLY_CHECKED ||
        (state == AbstractGarbage::CHECKED && item->IsRoot())) {
        for (const AbstractGarbage* child : item->GetChildren()) {
            if (HasRemovable(child)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool SystemGarbageScope::IsCleaningPossible() const {
    for (const AbstractGarbage* root : m_roots) {
        if (HasRemovable(root)) {
            return true;
        }
    }
    return false;
}

float SystemGarbageScope::GetScanningProgress() const {
    const float p = std::max(m_impl->scanner.GetProgress(), m_impl->lastScanningProgress);
    m_impl->lastScanningProgress = p;
    return p;
}

float SystemGarbageScope::GetCleaningProgress() const {
    return FSCleanerServer::GetInstance().GetProgress(GetContextName());
}

bool SystemGarbageScope::CanContinueScanning() const {
    return !GetNotScannedLocations().isEmpty();
}

void SystemGarbageScope::StartScan(const QStringList& roots) {
    std::list<std::string> utf8;
    m_impl->scannedRoots.clear();
    for (const QString& root : roots) {
        std::string bytes;
        // An empty or relative root would be scanned as the current folder.
        if (!IsUsableRoot(root) || !Platform::EncodePath(root, &bytes)) {
            LOG(WARNING) << "Root not scanned: \"" << Util::LogText(root) << "\"";
            continue;
        }
        utf8.push_back(std::move(bytes));
        m_impl->scannedRoots.insert(root);
        // A root configured through a link is scanned through it, and its
        // contents are removed through it too.
        FSCleanerServer::GetInstance().AddTrustedLink(GetContextName(), root);
    }
    m_impl->scanner.Clear();
    SetAdminRightsRequired(false);
    m_state = SCANNING;
    if (!utf8.empty()) {
        m_impl->scanner.Scan(utf8);
    }
    StartScanningTimer();
    emit ScanningStarted(this);
}

void SystemGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    m_impl->scanner.SetScanUnsafePaths(m_impl->scanUnsafePaths);
    StartScan(FilterSubDirs(m_impl->paths));
}

void SystemGarbageScope::DoContinueScanning() {
    if (IsScanning() || IsCleaning()) {
        return;
    }
    const QStringList roots = GetNotScannedLocations();
    if (roots.isEmpty()) {
        return;
    }
    m_impl->lastScanningProgress = 0;
    StartScan(roots);
}

void SystemGarbageScope::DoStopScanning() {
    if (!IsScanning()) {
        return;
    }
    if (!m_impl->scanner.IsWorking()) {
        FinishScanning(CANCELED);
        return;
    }
    m_state = STOPPING_SCANNING;
    m_impl->scanner.Stop();
}

void SystemGarbageScope::timerEvent(QTimerEvent* event) {
    QObject::timerEvent(event);
    if (event->timerId() == m_scanningTimer && m_scanningTimer != 0) {
        ProcessScanningResults();
    } else if (event->timerId() == m_cleaningTimer && m_cleaningTimer != 0) {
        ProcessCleaningResults();
    }
}

namespace {

// New items of one batch that go under the same parent (null: new roots).
struct Bunch {
    GarbageDirectory* parent;
    GarbageList items;
};

}  // namespace

void SystemGarbageScope::ProcessScanningResults() {
    if (!IsScanning() || GuiAntifreeze::IsRecursionGuardSet()) {
        return;
    }
    GuiAntifreeze::BatchScope batch;
    const quint64 generation = m_impl->generation;
    const FSScanner::Results results = m_impl->scanner.GetResults();
    // Asked after taking the batch: the scanner stays working until its last
    // result has been taken, so nothing is lost at the end.
    const bool working = m_impl->scanner.IsWorking();

    std::vector<Bunch> bunches;
    QHash<GarbageDirectory*, int> bunchOf;
    auto dropUninserted = [&bunches](std::size_t from) {
        for (std::size_t i = from; i < bunches.size(); ++i) {
            qDeleteAll(bunches[i].items);
        }
    };

    for (const FSScanner::Result& result : results) {
        if (m_impl->antifreeze.UnfreezeIfDue() && generation != m_impl->generation) {
            dropUninserted(0);
            return;
        }
        const QString path = Util::Utf8ToQString(result.path);
        if (path.isEmpty() || m_impl->itemIndex.contains(path)) {
            continue;
        }
        // Each item goes under its own parent folder; only a configured root
        // may become a root item. The scanner's paths are absolute and
        // normalised: the parent is the text before the last '/'.
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        GarbageDirectory* parent =
            slash < 0 ? nullptr
                      : FindDirectory(slash == 0 ? QStringLiteral("/") : path.left(slash));
        if (!parent && !m_impl->scannedRoots.contains(path)) {
            LOG(WARNING) << "Dropped a result whose folder is not shown: \"" << Util::LogText(path)
                         << "\"";
            continue;
        }
        auto slot = bunchOf.constFind(parent);
        int index;
        if (slot == bunchOf.constEnd()) {
            index = static_cast<int>(bunches.size());
            bunches.push_back(Bunch{parent, {}});
            bunchOf.insert(parent, index);
        } else {
            index = *slot;
        }
        if (result.adminRightsRequired) {
            SetAdminRightsRequired(true);
        }
        AbstractGarbage* item;
        if (result.isDirectory) {
            auto* folder = new GarbageDirectory(path, result.adminRightsRequired, nullptr);
            if (!result.error.empty()) {
                folder->SetError(AbstractGarbage::Error::PERMISSION_DENIED);
            }
            folder->SetRequiredChildren(result.required, result.kept);
            item = folder;
        } else {
            item = new GarbageFile(path, result.size, nullptr);
        }
        m_impl->itemIndex.insert(path, item);
        bunches[static_cast<std::size_t>(index)].items.append(item);
    }

    for (std::size_t b = 0; b < bunches.size(); ++b) {
        if (m_impl->antifreeze.UnfreezeIfDue() && generation != m_impl->generation) {
            dropUninserted(b);
            return;
        }
        Bunch& bunch = bunches[b];
        const int n = bunch.items.size();
        emit ItemsAboutToBeInserted(bunch.parent, n);
        for (AbstractGarbage* item : bunch.items) {
            m_totalItems += 1;
            m_totalSize += item->GetSize();
            if (bunch.parent) {
                bunch.parent->AddChild(item, false);
                continue;
            }
            item->setParent(this);
            auto* folder = qobject_cast<GarbageDirectory*>(item);
            if (folder) {
                folder->SetRemovable(false);  // a root folder stays; its contents go
            }
            item->Select(AreItemsSelectedByDefault());
            AddRoot(item);
            if (folder && folder->GetRequiredChildren() == 0) {
                item->SetClean(true);
            }
        }
        if (bunch.parent) {
            bunch.parent->UpdateSize();
        }
        emit ItemsInserted(bunch.parent, n);
    }

    if (results.empty() && !working) {
        FinishScanning(m_state == STOPPING_SCANNING ? CANCELED : DONE);
    }
}

long long SystemGarbageScope::PlanItems() {
    long long count = 0;
    const int extra = m_impl->fillingFilesWithGarbage ? FSCleanerServer::FLAG_SHRED : 0;
    for (AbstractGarbage* root : m_roots) {
        PlanToRemoveOnServer(GetRemovalContext(), root, &count, extra);
    }
    return count;
}

AbstractGarbage* SystemGarbageScope::FindItemForPath(const QString& path) const {
    return m_impl->itemIndex.value(path);
}

long long SystemGarbageScope::GetCleanedSize(AbstractGarbage* item) const {
    // Folders count as cleaned items but their bytes are their files'.
    return qobject_cast<GarbageFile*>(item) ? item->GetSize() : 0;
}

}  // namespace Varnex::Cleaner::Details
