#pragma once

#include <QStringList>
#include <memory>

#include "Core/details/ServerCleaningScope.h"

namespace Varnex::Cleaner::Details {

class GarbageLaunchAgent;

// The launchd job files of the user and of the machine: one root
// GarbageLaunchAgent per ".plist" file below $HOME/Library/LaunchAgents,
// /Library/LaunchAgents and /Library/LaunchDaemons (the last two below the
// system root), showing whether its job is loaded. Switching an item on or
// off runs `launchctl` at once (GarbageLaunchAgent::SetEnabled).
//
// `launchctl list` is read once per scan, on a thread of its own while the
// folders are scanned; when it cannot be read (or is not believed: see
// Platform::ListLaunchJobs) every job shows off, its state unknown
// (GarbageLaunchAgent::IsStateKnown()), with an error saying so,
// GetListingProblem() tells why, and the scan still finishes DONE (the files
// are there; only their state is unknown).
//
// Cleaning unloads each selected job (`launchctl unload -w`, on a thread of
// its own: StartCleaning() answers at once, and a stop kills the tool under
// way and finishes CANCELED) and plans its file for removal through the
// removal server (flags 0) only when the job is no longer loaded afterwards:
// a file whose job could not be unloaded stays, with an error saying so. A
// file whose label another job file carries too is never unloaded (launchd
// would stop the other's job); it goes only while that label is not loaded
// (LaunchJobFile::PrepareRemoval).
//
// Threads: the scope's; the scanner, the listing and the unloading work on
// their own threads. Switching a job by hand (SetEnabled) runs `launchctl` on
// the scope's thread (30 s at most a run).
class LaunchAgentGarbageScope : public ServerCleaningScope {
    Q_OBJECT
public:
    explicit LaunchAgentGarbageScope(QObject* parent = nullptr);
    ~LaunchAgentGarbageScope() override;

    // The folders scanned, in this order.
    static QStringList GetJobFolders();

    // The item of a job file, or null.
    GarbageLaunchAgent* FindAgent(const QString& path) const;
    // Why the last scan could not tell which jobs are loaded; empty when it
    // could or found no job file.
    QString GetListingProblem() const;

    void Reset() override;
    // Nothing of its own: the per-run counters of the shared sequence.
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;

public slots:
    void DoStartScanning() override;

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    // The selected jobs are unloaded on a thread of their own first.
    bool StartCheckingBeforePlanning(long long* count) override;
    bool IsCheckingBeforePlanning() const override;
    void DropCheckingBeforePlanning() override;
    void PlanItems() override;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
