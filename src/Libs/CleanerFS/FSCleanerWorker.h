#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSParentResolver.h"
#include "CleanerFS/FSPlanSplitter.h"

namespace Varnex::Cleaner::Details {

class FSEntryRemover;

// One context of the removal server: its plan, its worker thread and its
// results. Every call is thread-safe; the run itself happens on the worker
// thread, which touches the shared state only to hand over each result.
//
// A large plan runs on several threads where the machine has two cores or
// more: the plan is divided into parts that hold whole subtrees
// (FSPlanSplitter), the threads take the parts in turn, and the planned
// folders above the parts go last, on the run's own thread, once all are done. Results then come in
// the order the paths are done, not in plan order; every path still comes once, and a folder always
// after what is planned inside it.
class FSCleanerWorker {
public:
    explicit FSCleanerWorker(const QString& context);
    // Stops the run and waits for it.
    ~FSCleanerWorker();
    FSCleanerWorker(const FSCleanerWorker&) = delete;
    FSCleanerWorker& operator=(const FSCleanerWorker&) = delete;

    // `expected` null: nothing is known of what the scan saw.
    void Plan(const QString& path, int flags, const FSCleanerServer::Expected* expected);
    void Plan(const std::vector<FSCleanerServer::PlanEntry>& entries);
    // Takes the entries over without copying them (a plan of a million paths
    // is handed over in no time).
    void Plan(std::vector<FSCleanerServer::PlanEntry>&& entries);
    void AddTrustedLink(const QString& linkPath);
    bool Start();
    void Stop();
    // Blocks until the current run, if any, has ended.
    void Wait();
    QList<FSCleanerServer::Result> TakeResults();
    bool IsWorking() const;
    int GetState() const;
    float GetProgress() const;

private:
    // Kept small: plans hold hundreds of thousands of paths.
    struct Planned {
        QString path;
        int flags = 0;  // the caller's flags and the identity bits below
        // Linux device numbers have 32 bits; a wider one is kept as
        // deviceTooWide, which then matches nothing at removal time.
        std::uint32_t device = 0;
        unsigned long long inode = 0;
        long long birth = 0;
        long long unchangedSince = 0;
    };
    static constexpr std::uint32_t deviceTooWide = 0xFFFFFFFFu;
    // What the scan saw is known / it saw a folder.
    static constexpr int identityKnown = 1 << 30;
    static constexpr int identityFolder = 1 << 29;

    static Planned MakePlanned(const QString& path, int flags,
                               const FSCleanerServer::Expected* expected);
    // On the run's thread, before anything is removed: a path planned twice
    // keeps its first place, flags and identity (the main thread only appends,
    // so planning a large tree costs it no hashing).
    static void DropRepeatedPaths(std::vector<Planned>* plan);
    using Segments = std::vector<std::vector<FSCleanerServer::PlanEntry>>;
    // On the run's thread: the plan as the removal works through it.
    static std::vector<Planned> DoFlatten(Segments segments, std::size_t total);
    // The plan divided for `threads` threads; false when it runs in plan order on
    // one (too small, a move to the Trash or an overwrite in it, paths that
    // cannot be divided, or a trusted link, another link or a mount below the
    // folder every path shares, through which two paths could name the same
    // entry).
    bool DoDivide(const std::vector<Planned>& plan, std::size_t threads,
                  const std::vector<std::string>& trustedLinks, FSPlanSplitter::Parts* parts) const;
    // Removes one planned path and hands its result over; true if it failed.
    bool DoRemoveOne(Planned& planned, FSEntryRemover* remover);
    // The removers of the threads that help the run's own with a large plan.
    using Helpers = std::vector<std::unique_ptr<FSEntryRemover>>;
    // Returns the number of failed paths.
    std::size_t DoRunInParts(std::vector<Planned>& plan, const FSPlanSplitter::Parts& parts,
                             FSEntryRemover* remover, const Helpers& helpers);
    void Run(Segments segments, std::size_t total, FSEntryRemover* remover, Helpers helpers,
             std::vector<std::string> trustedLinks);

    const QString m_context;
    mutable std::mutex m_mutex;
    // The next plan, in pieces as handed over (repeated paths are dropped
    // when it runs), and its number of entries.
    Segments m_plan;
    std::size_t m_planSize = 0;
    FSParentResolver::TrustedLinks m_trusted;
    // The current or last run.
    QList<FSCleanerServer::Result> m_results;
    bool m_active = false;
    int m_state = FSCleanerServer::IDLE;
    std::size_t m_total = 0;
    std::atomic<std::size_t> m_done{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace Varnex::Cleaner::Details
