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
// folders are scanned; when it cannot be read every job shows off with an
// error saying so, GetListingProblem() tells why, and the scan still
// finishes DONE (the files are there; only their state is unknown).
//
// Cleaning unloads each selected job (`launchctl unload -w`) and plans its
// file for removal through the removal server (flags 0) only when the job
// is no longer loaded afterwards: a file whose job could not be unloaded
// stays, with an error saying so.
//
// Threads: the scope's; the scanner and the listing work on their own
// threads. Switching a job (and so cleaning) runs `launchctl` on the scope's
// thread (30 s at most each).
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
    void PlanItems() override;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
