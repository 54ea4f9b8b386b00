#include "Core/details/SystemGarbageScope.h"

#include <glog/logging.h>

#include <QHash>
#include <QSet>
#include <QTimerEvent>
#include <algorithm>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "Core/details/FSScanProducer.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageFile.h"
#include "Core/details/ServerPlanning.h"
#include "Platform/PathCodec.h"
#include "QtUtil/SignalBlocker.h"
#include "QtUtil/Utf8.h"

namespace Varnex::Cleaner::Details {

namespace {

// The one spelling of a root: the scanner's. Null when it cannot be a root.
QString RootSpelling(const QString& path) {
    return NormalizeAbsolutePath(SystemGarbageScope::FixPath(path));
}

}  // namespace

class SystemGarbageScope::Impl {
public:
    QStringList paths;
    FSScanProducer producer;
    bool fillingFilesWithGarbage = false;
    bool scanUnsafePaths = false;
    // The roots handed to the scanner in this scan: the only results that may
    // become root items.
    QSet<QString> scannedRoots;
    // Where each root handed to the scanner led when its scan started: a
    // root given through a link to a folder inside another root (or to the
    // same folder) is scanned with that one.
    QHash<QString, QString> realRoots;

    QString RealRoot(const QString& root) const { return realRoots.value(root, root); }
};

namespace {

QString RealPathOf(const QString& path) {
    std::string bytes;
    if (!Platform::EncodePath(path, &bytes)) {
        return path;
    }
    const std::string real = ResolveLinks(bytes);
    const QString decoded = real.empty() ? QString() : Platform::DecodePathOrNull(real);
    return decoded.isNull() ? path : decoded;
}

bool IsSameOrInside(const QString& path, const QString& folder) {
    return path == folder || folder == QLatin1String("/") ||
           (path.startsWith(folder) && path.size() > folder.size() &&
            path.at(folder.size()) == QLatin1Char('/'));
}

}  // namespace

SystemGarbageScope::SystemGarbageScope(QObject* parent)
    : SystemGarbageScope(QStringList(), parent) {}

SystemGarbageScope::SystemGarbageScope(QStringList paths, QObject* parent)
    : ServerCleaningScope(parent), m_impl(std::make_unique<Impl>()) {
    for (const QString& path : paths) {
        // A root the scanner would spell otherwise would never be found again.
        const QString root = RootSpelling(path);
        m_impl->paths.append(root.isNull() ? path : root);
    }
    CreateRemovalContext(m_impl.get());
    SetProducer(&m_impl->producer);
    m_impl->producer.GetScanner().SetPathsDecoded(true);
    // Runs on the scanner's threads: IsExclusion reads an immutable snapshot.
    m_impl->producer.GetScanner().AddResultFilter([this](const std::string& utf8) {
        const QString path = Util::Utf8ToQString(utf8);
        return !path.isNull() && !IsExclusion(path);
    });
}

SystemGarbageScope::~SystemGarbageScope() {
    // The filter reaches into this scope: the walkers must be gone first.
    InvalidateBatches();
    m_impl->producer.Stop();
    m_impl->producer.Wait();
    GetItemIndex().Clear();
    DeleteRoots();
    m_impl->realRoots.clear();
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
    const QString p = RootSpelling(path);
    if (p.isNull()) {
        LOG(WARNING) << "Not a usable root: \"" << Util::LogText(path) << "\"";
        return false;
    }
    AbstractGarbage* item = GetItemIndex().Find(p);
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
    const QString spelled = RootSpelling(path);
    const QString p = spelled.isNull() ? FixPath(path) : spelled;
    AbstractGarbage* item = GetItemIndex().Find(p);
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
    return GetItemIndex().Find(path);
}

GarbageDirectory* SystemGarbageScope::FindDirectory(const QString& path) const {
    return qobject_cast<GarbageDirectory*>(GetItemIndex().Find(path));
}

QStringList SystemGarbageScope::GetNotScannedLocations() const {
    QStringList out;
    for (const QString& p : m_impl->paths) {
        // A root inside a shown root was scanned with it (shown, or left out
        // by the scan as an exclusion or a missing entry), also when links
        // lead it there.
        const QString real = m_impl->RealRoot(p);
        const bool inside =
            std::any_of(m_roots.begin(), m_roots.end(), [&](const AbstractGarbage* root) {
                const QString r = root->GetPath();
                return IsSameOrInside(p, r) || IsSameOrInside(real, m_impl->RealRoot(r));
            });
        if (!inside) {
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
    ResetScope([this] {
        GetItemIndex().Clear();
        DeleteRoots();
    });
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
        if (NormalizeAbsolutePath(root) != root || !Platform::EncodePath(root, &bytes)) {
            LOG(WARNING) << "Root not scanned: \"" << Util::LogText(root) << "\"";
            continue;
        }
        utf8.push_back(std::move(bytes));
        m_impl->scannedRoots.insert(root);
        m_impl->realRoots.insert(root, RealPathOf(root));
        // A root configured through a link is scanned through it, and its
        // contents are removed through it too.
        FSCleanerServer::GetInstance().AddTrustedLink(GetContextName(), root);
    }
    SetAdminRightsRequired(false);
    m_impl->producer.SetRoots(std::move(utf8));
    StartProducerScan();
}

void SystemGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    m_impl->producer.GetScanner().SetScanUnsafePaths(m_impl->scanUnsafePaths);
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
    ResetScanningProgress();
    StartScan(roots);
}

namespace {

// New items of one batch that go under the same parent (null: new roots).
struct Bunch {
    GarbageDirectory* parent;
    GarbageList items;
};

void DeleteBunches(std::vector<Bunch>& bunches, std::size_t from) {
    for (std::size_t i = from; i < bunches.size(); ++i) {
        qDeleteAll(bunches[i].items);
        bunches[i].items.clear();
    }
}

}  // namespace

bool SystemGarbageScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    // Moved here: the batch must outlive a scope destroyed during a turn.
    FSScanner::Results results = m_impl->producer.MoveBatch();
    PathItemIndex& index = GetItemIndex();

    std::vector<Bunch> bunches;
    QHash<GarbageDirectory*, int> bunchOf;
    // A folder's entries come one after another: its item and bunch are kept
    // from the entry before, found again only when the folder changes.
    QString lastParentPath;
    GarbageDirectory* lastParent = nullptr;
    int lastBunch = -1;
    for (FSScanner::Result& result : results) {
        if (!GiveEventLoopATurn(ticket)) {
            DeleteBunches(bunches, 0);
            return false;
        }
        // Decoded by the walkers: the item keeps their text as it is.
        const QString path = std::move(result.text);
        if (path.isEmpty() || index.Contains(path)) {
            continue;
        }
        // Each item goes under its own parent folder; only a configured root
        // may become a root item. The scanner's paths are absolute and
        // normalised: the parent is the text before the last '/'.
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        const QStringView folder =
            slash == 0 ? QStringView(u"/") : QStringView(path).left(std::max(slash, 0));
        GarbageDirectory* parent = nullptr;
        int at;
        if (lastParent && slash >= 0 && folder == lastParentPath) {
            parent = lastParent;
            at = lastBunch;
        } else {
            parent = slash < 0 ? nullptr : FindDirectory(folder.toString());
            if (!parent && !m_impl->scannedRoots.contains(path)) {
                LOG(WARNING) << "Dropped a result whose folder is not shown: \""
                             << Util::LogText(path) << "\"";
                continue;
            }
            auto slot = bunchOf.constFind(parent);
            if (slot == bunchOf.constEnd()) {
                at = static_cast<int>(bunches.size());
                bunches.push_back(Bunch{parent, {}});
                bunchOf.insert(parent, at);
            } else {
                at = *slot;
            }
            if (parent) {
                lastParentPath = folder.toString();
                lastParent = parent;
                lastBunch = at;
            }
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
            folder->SetIdentity(result.device, result.inode, result.birth);
            if (parent) {
                folder->SetOwnSize(result.diskSize);  // a root stays: its blocks are not garbage
            }
            item = folder;
        } else {
            auto* file = new GarbageFile(path, result.diskSize, nullptr);
            file->SetApparentSize(result.size);
            file->SetIdentity(result.device, result.inode, result.birth);
            item = file;
        }
        index.Insert(item);
        bunches[static_cast<std::size_t>(at)].items.append(item);
    }

    // What the batch no longer needs goes now, before the next turn: freeing
    // a full batch takes about a millisecond, too much to add after the last.
    FSScanner::Results().swap(results);
    QHash<GarbageDirectory*, int>().swap(bunchOf);
    for (std::size_t b = 0; b < bunches.size(); ++b) {
        if (!GiveEventLoopATurn(ticket)) {
            DeleteBunches(bunches, b);
            return false;
        }
        GarbageDirectory* parent = bunches[b].parent;
        const bool inserted = InsertGroup(
            parent, bunches[b].items, ticket,
            [this, parent](AbstractGarbage* item) { AttachItem(parent, item); },
            [parent] {
                if (parent) {
                    parent->UpdateSize();
                }
            });
        if (!inserted) {
            DeleteBunches(bunches, b + 1);
            return false;
        }
    }
    return true;
}

void SystemGarbageScope::AttachItem(GarbageDirectory* parent, AbstractGarbage* item) {
    m_totalItems += 1;
    m_totalSize += item->GetSize();
    if (parent) {
        parent->AddChild(item, false);
        return;
    }
    // Selected while it belongs to nobody, so that nothing is announced
    // before it is a root: the insertion signals announce it.
    auto* folder = qobject_cast<GarbageDirectory*>(item);
    if (folder) {
        folder->SetRemovable(false);  // a root folder stays; its contents go
    }
    item->Select(AreItemsSelectedByDefault());
    AddRoot(item);
    if (folder && folder->GetRequiredChildren() == 0) {
        item->SetClean(true);  // an empty root is shown as clean
    }
}

void SystemGarbageScope::PlanItems() {
    const int extra = m_impl->fillingFilesWithGarbage ? FSCleanerServer::FLAG_SHRED : 0;
    for (AbstractGarbage* root : m_roots) {
        PlanTree(root, extra);
    }
}

long long SystemGarbageScope::GetCleanedSize(AbstractGarbage* item) const {
    // A folder's contents count as they go; its own blocks when it goes.
    if (const auto* folder = qobject_cast<const GarbageDirectory*>(item)) {
        return folder->GetOwnSize();
    }
    return qobject_cast<GarbageFile*>(item) ? item->GetSize() : 0;
}

}  // namespace Varnex::Cleaner::Details
