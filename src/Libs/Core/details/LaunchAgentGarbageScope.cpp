#include "Core/details/LaunchAgentGarbageScope.h"

#include <glog/logging.h>

#include <QSet>
#include <list>
#include <string>

#include "CleanerCommon/LogText.h"
#include "Core/details/LaunchAgentScanProducer.h"
#include "Core/details/GarbageLaunchAgent.h"
#include "Platform/Launchctl.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"
#include "QtUtil/SignalBlocker.h"
#include "QtUtil/Utf8.h"

namespace Varnex::Cleaner::Details {

class LaunchAgentGarbageScope::Impl {
public:
    LaunchAgentScanProducer producer;
};

LaunchAgentGarbageScope::LaunchAgentGarbageScope(QObject* parent)
    : ServerCleaningScope(parent), m_impl(std::make_unique<Impl>()) {
    CreateRemovalContext(this);
    SetProducer(&m_impl->producer);
    // Runs on the scanner's threads: IsExclusion reads an immutable snapshot.
    m_impl->producer.GetScanner().AddResultFilter([this](const std::string& utf8) {
        const QString path = Util::Utf8ToQString(utf8);
        return !path.isNull() && !IsExclusion(path);
    });
}

LaunchAgentGarbageScope::~LaunchAgentGarbageScope() {
    // The filter reaches into this scope: the walkers go first.
    InvalidateBatches();
    m_impl->producer.Stop();
    m_impl->producer.Wait();
    GetItemIndex().Clear();
    DeleteRoots();
}

QStringList LaunchAgentGarbageScope::GetJobFolders() {
    QStringList folders;
    const QString home = Platform::HomePath();
    if (!home.isEmpty()) {
        folders.append(home + QStringLiteral("/Library/LaunchAgents"));
    }
    folders.append(Platform::SystemPath(QStringLiteral("/Library/LaunchAgents")));
    folders.append(Platform::SystemPath(QStringLiteral("/Library/LaunchDaemons")));
    return folders;
}

GarbageLaunchAgent* LaunchAgentGarbageScope::FindAgent(const QString& path) const {
    return qobject_cast<GarbageLaunchAgent*>(GetItemIndex().Find(path));
}

void LaunchAgentGarbageScope::Reset() {
    ResetScope([this] {
        GetItemIndex().Clear();
        DeleteRoots();
    });
}

void LaunchAgentGarbageScope::ResetCleaning() {
    ResetCleaningRun();
}

bool LaunchAgentGarbageScope::IsCleaningPossible() const {
    for (const AbstractGarbage* root : m_roots) {
        if (root->ShouldBeRemoved()) {
            return true;
        }
    }
    return false;
}

QString LaunchAgentGarbageScope::GetListingProblem() const {
    const Platform::LaunchJobListing& listing = m_impl->producer.GetListing();
    return m_roots.isEmpty() || listing.ok ? QString() : listing.problem;
}

void LaunchAgentGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    std::list<std::string> roots;
    for (const QString& folder : GetJobFolders()) {
        std::string bytes;
        if (Platform::EncodePath(folder, &bytes)) {
            roots.push_back(std::move(bytes));
        } else {
            LOG(WARNING) << "Job folder not scanned: \"" << Util::LogText(folder) << "\"";
        }
    }
    SetAdminRightsRequired(true);
    m_impl->producer.SetRoots(std::move(roots));
    StartProducerScan();
}

bool LaunchAgentGarbageScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    // Moved here: the batch must outlive a scope destroyed during a turn.
    const FSScanner::Results results = m_impl->producer.MoveBatch();
    GarbageList items;
    QSet<QString> seen;
    for (const FSScanner::Result& result : results) {
        if (result.isDirectory) {
            continue;
        }
        const QString path = Util::Utf8ToQString(result.path);
        if (path.isNull() || !path.endsWith(QLatin1String(".plist")) || IsExclusion(path) ||
            GetItemIndex().Contains(path) || seen.contains(path)) {
            continue;
        }
        auto* agent =
            new GarbageLaunchAgent(path, result.diskSize, m_impl->producer.GetListing(), nullptr);
        agent->SetIdentity(result.device, result.inode, result.birth);
        seen.insert(path);
        items.append(agent);
        if (!GiveEventLoopATurn(ticket)) {
            qDeleteAll(items);
            return false;
        }
    }
    const bool inserted = InsertGroup(
        nullptr, items, ticket,
        [this](AbstractGarbage* item) {
            // Not counted in the totals: a job file is not garbage by itself.
            GetItemIndex().Insert(item);
            AddRoot(item);
        },
        [] {});
    if (!inserted) {
        return false;
    }
    // Told once they are shown: a job nobody can name is never switched or
    // removed; one whose state is unknown is not believed off.
    for (AbstractGarbage* item : items) {
        if (!static_cast<GarbageLaunchAgent*>(item)->GetProblem().isEmpty()) {
            item->SetError(AbstractGarbage::Error::UNKNOWN);
            if (!ticket.IsCurrent()) {
                return false;
            }
        }
    }
    return true;
}

void LaunchAgentGarbageScope::PlanItems() {
    const RunGeneration::Ticket ticket = TakeTicket();
    const GarbageList roots = m_roots;
    for (AbstractGarbage* root : roots) {
        auto* agent = qobject_cast<GarbageLaunchAgent*>(root);
        if (!agent || !agent->ShouldBeRemoved() || IsExclusion(agent->GetPath())) {
            continue;
        }
        // The job goes first; a file whose job is still loaded stays (its
        // error says so, and PlanItem passes it over).
        agent->SetEnabled(false);
        if (!ticket.IsCurrent()) {
            return;
        }
        if (!agent->IsEnabled() && agent->GetError() == AbstractGarbage::Error::OK &&
            !agent->HasBadLabel()) {
            PlanItem(agent, 0);
        }
    }
}

}  // namespace Varnex::Cleaner::Details
