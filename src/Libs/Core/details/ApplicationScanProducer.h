#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "Core/details/AppsDB.h"
#include "Core/details/WorkerProducer.h"

namespace Varnex::Cleaner::Details {

// What the application scan hands the scope: an application (always before
// its leftovers), then each of its leftovers.
struct ApplicationScanRecord {
    enum Kind { APPLICATION, LEFTOVER };
    Kind kind = APPLICATION;
    QString appPath;   // the application's bundle path, its key
    QString bundleId;  // valid or empty
    QDateTime lastUsed;
    bool measured = false;  // APPLICATION: its size was measured (and cached) by this scan
    QString group;          // LEFTOVER: the group's name
    QString path;           // the entry (the bundle itself for an APPLICATION)
    long long size = 0;     // the bytes its removal frees
    bool isDirectory = false;
    unsigned long long device = 0;  // makedev(major, minor) of statx
    unsigned long long inode = 0;
    long long birth = 0;
};

// What one scan works from, taken on the scope's thread when it begins.
struct ApplicationScanInput {
    // The bundles of the scope (folders, not links); unused for leftovers.
    QStringList locations;
    bool leftoversOnly = false;
    QList<AppsDB::Application> records;  // the applications database
    // Every installed bundle the inventory found (may be empty).
    QStringList installed;
    // The scope's exclusions (a snapshot safe on any thread; may be empty).
    std::function<bool(const QString&)> excluded;
    // The user's Library folder and the per-user Darwin cache folder.
    QString library;
    QString darwinCache;
};

// The application scan as a scope's producer: started, it waits (working,
// bringing nothing) until Begin() hands it its input; a stop while it waits
// ends it at once. The work runs on a thread of its own:
//
//  - Which identifiers are installed: those of every bundle of `installed`
//    and of the scope's locations, and of every database row whose bundle is
//    not known to be gone (there, unreadable, or on a volume below /Volumes
//    that is not mounted).
//  - The applications: the locations (measured unless a clean row has the
//    size, then cached), or for the leftovers the rows whose bundle is gone
//    from a folder that is still there and whose identifier no installed
//    bundle has; only those with at least one leftover are reported.
//  - Their leftovers: the entries directly inside the library roots
//    (ApplicationLeftovers) tied to the identifier, when exactly one
//    application has it (two bundles of one identifier share their data, so
//    neither offers it), never one holding an installed bundle; crash
//    reports by file name. Each measured as what its removal frees: blocks
//    of files (not of folders, as sizes are counted everywhere), a file with
//    several names only when all of them are inside, nothing across a mount.
//
// Bad rows (not an absolute bundle path, an identifier that is not one) are
// skipped with a WARNING. Threads: the scope's; the work its own.
class ApplicationScanProducer : public BatchProducer<ApplicationScanRecord> {
public:
    ApplicationScanProducer();
    ~ApplicationScanProducer() override;

    bool IsWaiting() const { return m_waiting; }
    // Starts the work; `failed`: ends the scan FAILED at once (an input that
    // could not be had).
    void Begin(ApplicationScanInput input, bool failed = false);

    bool Start() override;
    bool IsWorking() const override { return m_waiting || m_worker.IsWorking(); }
    bool HasFailed() const override { return m_failed || (m_begun && m_worker.HasFailed()); }
    bool WasStopped() const override { return m_stopped || (m_begun && m_worker.WasStopped()); }
    float GetProgress() const override { return m_begun ? m_worker.GetProgress() : 0.0f; }
    void Stop() override;
    void Wait() override { m_worker.Wait(); }

    // The size of what removing `path` frees (see above), on any thread;
    // *complete false when part of it could not be read or the walk was
    // stopped.
    static long long MeasureTree(const std::string& path, const std::function<bool()>& stop,
                                 bool* complete);

protected:
    Batch DoTakeBatch() override;
    void DoClear() override;

private:
    using Worker = WorkerProducer<ApplicationScanRecord>;
    static bool Run(const ApplicationScanInput& input, Worker::Sink& sink);

    Worker m_worker;
    bool m_waiting = false;
    bool m_begun = false;
    bool m_failed = false;
    bool m_stopped = false;
};

}  // namespace Varnex::Cleaner::Details
