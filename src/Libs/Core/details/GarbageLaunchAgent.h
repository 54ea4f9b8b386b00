#pragma once

#include "Core/AbstractGarbage.h"
#include "Core/details/LaunchJobFile.h"

namespace Varnex::Platform {
struct LaunchJobListing;
}

namespace Varnex::Cleaner::Details {

// One launchd job file (a launch agent or daemon): its name is the file name
// without ".plist", its label the "Label" string of the property list, and
// it is enabled while launchd has a job of exactly that label loaded.
// Starts ready and unselected: jobs are never cleaned by default.
//
// A file whose label cannot be told (the property list does not parse, is
// not a dictionary, its Label is missing, empty or not a string) is never
// shown loaded; GetProblem() says why, and the scope puts an error on it once
// it is shown, so it is never unloaded or removed.
//
// Threads: the scope's. SetEnabled() blocks it while `launchctl` runs.
class GarbageLaunchAgent : public AbstractGarbage {
    Q_OBJECT
public:
    // `listing` is the scan's one reading of the loaded jobs.
    GarbageLaunchAgent(const QString& path, long long size,
                       const Platform::LaunchJobListing& listing, QObject* parent);

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    void SetSize(long long size) override;
    bool AreAdminRightsRequired() const override;
    // The label, or what is wrong with the file.
    QString GetDescription() const override;
    QString GetLabel() const { return m_label; }
    // Why the label could not be told, or why the last switch failed; empty
    // when all is well.
    QString GetProblem() const { return m_problem; }
    // Whether the label could not be told (then the item is never switched).
    bool HasBadLabel() const { return m_badLabel; }

    // Runs `launchctl load -w` (or "unload") on the file, then reads the
    // listing again: the flag shows the job's real state. When the command
    // failed or the job is not in the state asked for, the item gets an
    // error (UNKNOWN) and GetProblem() says why; a later switch that works
    // clears it. When the listing cannot be read the flag is off (never
    // guessed), IsStateKnown() false, and that is a failure too.
    //
    // Only the file the scan read is ever switched, and never by a label
    // another job file carries too (LaunchJobFile): then nothing runs and
    // the item is refused (REFUSED).
    //
    // A scan that could not read the listing makes items shown off with an
    // error (UNKNOWN) saying so, until a switch tells the truth.
    void SetEnabled(bool on) override;
    // False while the last listing read for this job failed: the flag is
    // off then, but nobody knows whether the job is loaded.
    bool IsStateKnown() const { return m_stateKnown; }

    // The file as the scan read it, for switching it on another thread.
    LaunchJobFile GetJobFile() const;
    // Shows what a switch or a removal's preparation came to: the state
    // when a listing told it, the error and GetProblem() otherwise.
    void ApplyOutcome(const LaunchJobFile::Outcome& outcome);

    // What the scan saw at the path (inode 0: not known); the removal
    // refuses an entry that is no longer this one.
    void SetIdentity(unsigned long long device, unsigned long long inode, long long birth) {
        m_device = device;
        m_inode = inode;
        m_birth = birth;
    }
    unsigned long long GetDevice() const { return m_device; }
    unsigned long long GetInode() const { return m_inode; }
    long long GetBirth() const { return m_birth; }

private:
    QString m_name;
    QString m_path;
    QString m_label;
    QString m_problem;
    long long m_size;
    bool m_badLabel = false;
    bool m_switchFailed = false;
    bool m_stateKnown = true;
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
    long long m_birth = 0;
};

}  // namespace Varnex::Cleaner::Details
