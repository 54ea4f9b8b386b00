#include "Core/details/DuplicatesGarbageScope.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QHash>
#include <algorithm>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "CleanerFS/FSCleanerServer.h"
#include "Core/details/DuplicatesScanner.h"
#include "Core/details/GarbageDuplicatesGroup.h"
#include "Core/details/GarbageFileEx.h"
#include "Platform/PathCodec.h"
#include "QtUtil/SignalBlocker.h"

namespace Varnex::Cleaner::Details {

namespace {

constexpr unsigned int defaultTaskInterval = 20;
constexpr long long defaultMinSize = 1000000;

// What the scan saw of a copy.
struct SeenCopy {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long mtimeNs = 0;
};

// Whether the entry at `path` is still the file the scan compared.
bool IsUnchanged(const QString& path, const SeenCopy& seen) {
    std::string bytes;
    struct stat st {};
    if (!Platform::EncodePath(path, &bytes) || ::lstat(bytes.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode)) {
        return false;
    }
    const long long mtime =
        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return static_cast<unsigned long long>(st.st_dev) == seen.device &&
           static_cast<unsigned long long>(st.st_ino) == seen.inode && st.st_size == seen.size &&
           mtime == seen.mtimeNs;
}

}  // namespace

class DuplicatesGarbageScope::Impl {
public:
    QStringList searchPaths;
    DuplicatesScanner scanner{defaultTaskInterval, defaultMinSize};
    QHash<long long, GarbageDuplicatesGroup*> groups;  // by comparison set
    QHash<QString, SeenCopy> seen;
    SelectionTrait trait = KEEP_NEWEST;
    bool useTrash = true;
};

DuplicatesGarbageScope::DuplicatesGarbageScope(QObject* parent)
    : ServerCleaningScope(parent), m_impl(std::make_unique<Impl>()) {
    CreateRemovalContext(m_impl.get());
    SetProducer(&m_impl->scanner);
    m_impl->scanner.AddResultFilter([this](const QString& path) { return !IsExclusion(path); });
    connect(this, &AbstractGarbageScope::ScanningFinished, this, [this] {
        for (AbstractGarbage* root : m_roots) {
            root->SetReady(true);
        }
    });
}

DuplicatesGarbageScope::~DuplicatesGarbageScope() {
    // The scanner's filter reaches into this scope: its worker goes first.
    InvalidateBatches();
    m_impl->scanner.Stop();
    m_impl->scanner.Wait();
    GetItemIndex().Clear();
    DeleteRoots();
}

void DuplicatesGarbageScope::AddSearchPath(const QString& path) {
    if (m_impl->searchPaths.contains(path)) {
        return;
    }
    m_impl->searchPaths.append(path);
    emit SearchPathsChanged(m_impl->searchPaths);
}

void DuplicatesGarbageScope::RemoveSearchPath(const QString& path) {
    if (m_impl->searchPaths.removeAll(path) > 0) {
        emit SearchPathsChanged(m_impl->searchPaths);
    }
}

QStringList DuplicatesGarbageScope::GetSearchPaths() const {
    return m_impl->searchPaths;
}

void DuplicatesGarbageScope::ClearSearchPaths() {
    if (!m_impl->searchPaths.isEmpty()) {
        m_impl->searchPaths.clear();
        emit SearchPathsChanged(m_impl->searchPaths);
    }
}

void DuplicatesGarbageScope::SetSelectionTrait(SelectionTrait trait) {
    m_impl->trait = trait;
    Reselect();
}

SelectionTrait DuplicatesGarbageScope::GetSelectionTrait() const {
    return m_impl->trait;
}

void DuplicatesGarbageScope::Reselect() {
    for (AbstractGarbage* root : m_roots) {
        if (auto* group = qobject_cast<GarbageDuplicatesGroup*>(root)) {
            group->SetSelectionTrait(m_impl->trait);
        }
    }
}

void DuplicatesGarbageScope::SetMinSize(long long bytes) {
    m_impl->scanner.SetMinSize(bytes);
}

long long DuplicatesGarbageScope::GetMinSize() const {
    return m_impl->scanner.GetMinSize();
}

void DuplicatesGarbageScope::SetUseTrash(bool use) {
    m_impl->useTrash = use;
}

bool DuplicatesGarbageScope::GetUseTrash() const {
    return m_impl->useTrash;
}

void DuplicatesGarbageScope::SetTaskInterval(unsigned int us) {
    m_impl->scanner.SetTaskInterval(us);
}

DuplicatesScanner& DuplicatesGarbageScope::GetScanner() {
    return m_impl->scanner;
}

void DuplicatesGarbageScope::Reset() {
    ResetScope([this] {
        GetItemIndex().Clear();
        m_impl->groups.clear();
        m_impl->seen.clear();
        DeleteRoots();
    });
}

void DuplicatesGarbageScope::ResetCleaning() {
    ResetCleaningRun();
}

bool DuplicatesGarbageScope::IsCleaningPossible() const {
    for (const AbstractGarbage* root : m_roots) {
        for (const AbstractGarbage* copy : root->GetChildren()) {
            if (copy->ShouldBeRemoved()) {
                return true;
            }
        }
    }
    return false;
}

void DuplicatesGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    SetAdminRightsRequired(false);
    m_impl->scanner.SetRoots(m_impl->searchPaths);
    StartProducerScan();
}

bool DuplicatesGarbageScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    // Moved here: the batch must outlive a scope destroyed during a turn.
    const DuplicatesScanner::Batch results = m_impl->scanner.MoveBatch();
    for (const DuplicatesScanner::File& result : results) {
        if (!GiveEventLoopATurn(ticket)) {
            return false;
        }
        if (result.failed || result.path.isEmpty() || GetItemIndex().Contains(result.path)) {
            continue;
        }
        const AbstractGarbage::Kind kind = AbstractGarbage::CheckKind(result.path, QStringList());
        GarbageDuplicatesGroup* group = m_impl->groups.value(result.group);
        if (!group) {
            auto* created = new GarbageDuplicatesGroup(result.path, kind, result.hash, nullptr);
            created->SetSelectionTrait(m_impl->trait);
            const bool inserted = InsertGroup(
                nullptr, {created}, ticket,
                [this, &result](AbstractGarbage* item) {
                    m_impl->groups.insert(result.group, static_cast<GarbageDuplicatesGroup*>(item));
                    ++m_totalItems;
                    AddRoot(item);
                },
                [] {});
            if (!inserted) {
                return false;
            }
            group = created;
        }
        auto* copy =
            new GarbageFileEx(result.path, result.size, QDateTime(), kind, QString(), nullptr);
        copy->SetIdentity(result.device, result.inode);
        copy->Select(false);
        const bool inserted = InsertGroup(
            group, {copy}, ticket,
            [this, group, &result](AbstractGarbage* item) {
                group->AddChild(item);
                GetItemIndex().Insert(item);
                m_impl->seen.insert(result.path, SeenCopy{result.device, result.inode,
                                                          result.rawSize, result.mtimeNs});
                ++m_totalItems;
                m_totalSize += item->GetSize();
            },
            [group] {
                if (group->GetChildren().size() == 2) {
                    group->GetChildren().first()->Select(false);
                    group->SetClean(false);
                }
            });
        if (!inserted) {
            return false;
        }
    }
    return true;
}

void DuplicatesGarbageScope::PlanItems() {
    const int flags = m_impl->useTrash ? FSCleanerServer::FLAG_TRASH : 0;
    for (AbstractGarbage* root : m_roots) {
        GarbageList planned;
        GarbageList staying;  // copies outside a Trash that stay and are still there
        for (AbstractGarbage* copy : root->GetChildren()) {
            if (copy->IsClean()) {
                continue;
            }
            const auto seen = m_impl->seen.constFind(copy->GetPath());
            const bool unchanged =
                seen != m_impl->seen.constEnd() && IsUnchanged(copy->GetPath(), *seen);
            if (!copy->ShouldBeRemoved()) {
                if (unchanged && !IsInTrashFolder(copy->GetPath())) {
                    staying.append(copy);
                }
                continue;
            }
            if (!unchanged) {
                // Another file now, or changed since it was compared.
                LOG(WARNING) << "Not removing \"" << Util::LogText(copy->GetPath())
                             << "\": it changed since the scan";
                copy->SetError(AbstractGarbage::Error::REFUSED);
                continue;
            }
            planned.append(copy);
        }
        if (staying.isEmpty()) {
            // Every copy would go: the first one outside a Trash stays, and
            // with none such the group plans nothing.
            const auto keep = std::find_if(planned.begin(), planned.end(), [](AbstractGarbage* c) {
                return !IsInTrashFolder(c->GetPath());
            });
            if (keep == planned.end()) {
                continue;
            }
            LOG(WARNING) << "Keeping \"" << Util::LogText((*keep)->GetPath())
                         << "\": it is the last copy of its group";
            planned.erase(keep);
        }
        for (AbstractGarbage* copy : planned) {
            PlanItem(copy, flags);
        }
    }
}

void DuplicatesGarbageScope::ProcessCleaningResults() {
    ServerCleaningScope::ProcessCleaningResults();
    for (AbstractGarbage* root : m_roots) {
        if (root->IsClean()) {
            continue;
        }
        int left = 0;
        for (const AbstractGarbage* copy : root->GetChildren()) {
            left += copy->IsClean() ? 0 : 1;
        }
        if (left < 2) {
            root->SetClean(true);
        }
    }
}

}  // namespace Varnex::Cleaner::Details
