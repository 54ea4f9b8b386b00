#include "Core/details/LargeAndOldGarbageScope.h"

#include <glog/logging.h>

#include <time.h>

#include <QUrl>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "CleanerFS/FSCleanerServer.h"
#include "Core/details/GarbageFileEx.h"
#include "Core/details/MetadataQueryProducer.h"
#include "QtUtil/SignalBlocker.h"

namespace Varnex::Cleaner::Details {

namespace {

// Items made between two turns of the event loop are inserted together.
constexpr int insertChunk = 256;

}  // namespace

class LargeAndOldGarbageScope::Impl {
public:
    QStringList searchPaths;
    MetadataQueryProducer producer;
};

LargeAndOldGarbageScope::LargeAndOldGarbageScope(QObject* parent)
    : ServerCleaningScope(parent), m_impl(std::make_unique<Impl>()) {
    CreateRemovalContext(m_impl.get());
    SetProducer(&m_impl->producer);
}

LargeAndOldGarbageScope::~LargeAndOldGarbageScope() {
    InvalidateBatches();
    m_impl->producer.Stop();
    m_impl->producer.Wait();
    GetItemIndex().Clear();
    DeleteRoots();
}

QString LargeAndOldGarbageScope::FixPath(const QString& path) {
    QString p = path;
    if (p.startsWith(QLatin1String("file://"))) {
        // A file URL: its percent escapes stand for the characters of the path.
        p = QUrl(p).toLocalFile();
    }
    return NormalizeAbsolutePath(p);
}

bool LargeAndOldGarbageScope::AddSearchPath(const QString& path) {
    const QString p = FixPath(path);
    if (p.isNull()) {
        LOG(WARNING) << "Not a usable search folder: \"" << Util::LogText(path) << "\"";
        return false;
    }
    if (!m_impl->searchPaths.contains(p)) {
        m_impl->searchPaths.append(p);
        emit SearchPathsChanged(m_impl->searchPaths);
    }
    return true;
}

bool LargeAndOldGarbageScope::RemoveSearchPath(const QString& path) {
    const QString p = FixPath(path);
    if (p.isNull() || m_impl->searchPaths.removeAll(p) == 0) {
        return false;
    }
    emit SearchPathsChanged(m_impl->searchPaths);
    return true;
}

QStringList LargeAndOldGarbageScope::GetSearchPaths() const {
    return m_impl->searchPaths;
}

void LargeAndOldGarbageScope::ClearSearchPaths() {
    if (!m_impl->searchPaths.isEmpty()) {
        m_impl->searchPaths.clear();
        emit SearchPathsChanged(m_impl->searchPaths);
    }
}

void LargeAndOldGarbageScope::ClearQuery() {
    if (IsScanning()) {
        DoStopScanning();
    }
    m_impl->producer.Clear();
}

void LargeAndOldGarbageScope::SetMinSize(long long bytes) {
    m_impl->producer.GetQuery().SetMinSize(bytes);
}

void LargeAndOldGarbageScope::SetLastUsedProvider(
    Platform::MetadataQuery::LastUsedProvider provider) {
    m_impl->producer.GetQuery().SetLastUsedProvider(std::move(provider));
}

void LargeAndOldGarbageScope::Reset() {
    ResetScope([this] {
        GetItemIndex().Clear();
        DeleteRoots();
    });
}

void LargeAndOldGarbageScope::ResetCleaning() {
    ResetCleaningRun();
}

bool LargeAndOldGarbageScope::IsCleaningPossible() const {
    for (const AbstractGarbage* root : m_roots) {
        if (root->ShouldBeRemoved()) {
            return true;
        }
    }
    return false;
}

bool LargeAndOldGarbageScope::AreAdminRightsRequired() const {
    for (const AbstractGarbage* root : m_roots) {
        if (root->ShouldBeRemoved() && root->AreAdminRightsRequired()) {
            return true;
        }
    }
    return false;
}

int LargeAndOldGarbageScope::GetSkippedNames() const {
    return m_impl->producer.GetQuery().GetSkippedNames();
}

int LargeAndOldGarbageScope::GetUnreadableFolders() const {
    return m_impl->producer.GetQuery().GetUnreadableFolders();
}

void LargeAndOldGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    m_impl->producer.GetQuery().SetSearchScopes(m_impl->searchPaths);
    StartProducerScan();
}

bool LargeAndOldGarbageScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    // Moved here: the batch must outlive a scope destroyed during a turn.
    const MetadataQueryProducer::Batch results = m_impl->producer.MoveBatch();
    GarbageList items;
    auto insert = [this, &items, &ticket]() {
        GarbageList chunk;
        chunk.swap(items);
        return InsertGroup(
            nullptr, chunk, ticket,
            [this](AbstractGarbage* item) {
                AddRoot(item);
                GetItemIndex().Insert(item);
                ++m_totalItems;
                m_totalSize += item->GetSize();
            },
            [] {});
    };
    for (const Platform::MetadataItem& result : results) {
        if (!GiveEventLoopATurn(ticket)) {
            qDeleteAll(items);
            return false;
        }
        if (result.path.isEmpty() || IsExclusion(result.path) ||
            GetItemIndex().Contains(result.path)) {
            continue;
        }
        const QDateTime date = result.lastUsed.isValid() ? result.lastUsed : result.created;
        auto* item = new GarbageFileEx(result.path, result.diskSize, date,
                                       AbstractGarbage::CheckKind(result.path, result.contentTypes),
                                       QString(), nullptr);
        item->SetApparentSize(result.size);
        item->SetIdentity(result.device, result.inode, result.birth);
        item->SetFolder(result.isPackage);
        item->Select(false);
        items.append(item);
        if (items.size() >= insertChunk && !insert()) {
            return false;
        }
    }
    return insert();
}

void LargeAndOldGarbageScope::PlanItems() {
    for (AbstractGarbage* root : m_roots) {
        auto* file = qobject_cast<GarbageFileEx*>(root);
        if (!file || !file->ShouldBeRemoved()) {
            continue;
        }
        // A package goes as a whole, but only with what it held when it was
        // measured; a file alone, so that a folder found at its path instead
        // is never emptied.
        if (file->IsFolder()) {
            PlanItem(file, FSCleanerServer::FLAG_RECURSIVE, GetScanStartTime());
        } else {
            PlanItem(file, 0);
        }
    }
}

}  // namespace Varnex::Cleaner::Details
