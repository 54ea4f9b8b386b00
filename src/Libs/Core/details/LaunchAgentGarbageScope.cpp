#include "Core/details/LaunchAgentGarbageScope.h"

#include <glog/logging.h>

#include <QSet>
#include <atomic>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "Core/details/GarbageLaunchAgent.h"
#include "Core/details/LaunchAgentScanProducer.h"
#include "Core/details/WorkerProducer.h"
#include "Platform/Launchctl.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"
#include "QtUtil/SignalBlocker.h"
#include "QtUtil/Utf8.h"

namespace Varnex::Cleaner::Details {

namespace {

// What the unloading before a cleaning found for one job file.
struct Unloaded {
    QString path;
    LaunchJobFile::Outcome outcome;
};

}  // namespace

class LaunchAgentGarbageScope::Impl {
public:
    LaunchAgentScanProducer producer;
    // Set to end the unloading at once: the tool under way is killed, and
    // what it came to is still reported.
    std::atomic<bool> cancelUnloading{false};
    WorkerProducer<Unloaded> unloading{"the unloading of launch jobs"};

    // Ends an unloading under way and shows on the items what it came to;
    // the paths of the files it left removable.
    QSet<QString> EndUnloading(LaunchAgentGarbageScope& scope, const RunGeneration::Ticket& ticket);
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
    m_impl->cancelUnloading = true;
    m_impl->unloading.Wait();
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

bool LaunchAgentGarbageScope::StartCheckingBeforePlanning(long long* count) {
    Impl& impl = *m_impl;
    impl.cancelUnloading = true;
    impl.unloading.Wait();
    impl.unloading.Clear();
    std::vector<std::pair<QString, LaunchJobFile>> jobs;
    for (AbstractGarbage* root : m_roots) {
        auto* agent = qobject_cast<GarbageLaunchAgent*>(root);
        if (agent && agent->ShouldBeRemoved() && !agent->HasBadLabel() &&
            !IsExclusion(agent->GetPath())) {
            jobs.emplace_back(agent->GetPath(), agent->GetJobFile());
        }
    }
    if (jobs.empty()) {
        return false;
    }
    *count = static_cast<long long>(jobs.size());
    impl.cancelUnloading = false;
    // Off the scope's thread: a launchctl that hangs holds neither the
    // application nor its stop.
    impl.unloading.SetTask([jobs = std::move(jobs),
                            cancel = &impl.cancelUnloading](WorkerProducer<Unloaded>::Sink& sink) {
        for (const auto& [path, job] : jobs) {
            if (cancel->load()) {
                break;
            }
            sink.Add(Unloaded{path, job.PrepareRemoval(cancel)});
        }
        return true;
    });
    return impl.unloading.Start();
}

bool LaunchAgentGarbageScope::IsCheckingBeforePlanning() const {
    return m_impl->unloading.IsWorking();
}

void LaunchAgentGarbageScope::DropCheckingBeforePlanning() {
    m_impl->EndUnloading(*this, TakeTicket());
}

QSet<QString> LaunchAgentGarbageScope::Impl::EndUnloading(LaunchAgentGarbageScope& scope,
                                                          const RunGeneration::Ticket& ticket) {
    cancelUnloading = true;
    unloading.Wait();
    unloading.TakeBatch();
    QSet<QString> removable;
    for (const Unloaded& unloaded : unloading.MoveBatch()) {
        GarbageLaunchAgent* agent = scope.FindAgent(unloaded.path);
        if (!agent) {
            continue;
        }
        if (unloaded.outcome.removable) {
            removable.insert(unloaded.path);
        }
        if (!unloaded.outcome.problem.isEmpty()) {
            LOG(WARNING) << "Launch job \"" << Util::LogText(unloaded.path)
                         << "\" not removed: " << Util::LogText(unloaded.outcome.problem);
        }
        agent->ApplyOutcome(unloaded.outcome);
        if (!ticket.IsCurrent()) {
            return {};
        }
    }
    return removable;
}

void LaunchAgentGarbageScope::PlanItems() {
    const RunGeneration::Ticket ticket = TakeTicket();
    // By path: the selection may have changed while the unloading ran.
    const QSet<QString> removable = m_impl->EndUnloading(*this, ticket);
    if (!ticket.IsCurrent()) {
        return;
    }
    const GarbageList roots = m_roots;
    for (AbstractGarbage* root : roots) {
        auto* agent = qobject_cast<GarbageLaunchAgent*>(root);
        if (agent && removable.contains(agent->GetPath()) && !agent->IsEnabled() &&
            agent->GetError() == AbstractGarbage::Error::OK) {
            PlanItem(agent, 0);
        }
    }
}

}  // namespace Varnex::Cleaner::Details
