#pragma once

#include <functional>
#include <string>

#include "Core/details/ApplicationCensus.h"
#include "Core/details/ApplicationScanRecord.h"
#include "Core/details/WorkerProducer.h"

namespace Varnex::Cleaner::Details {

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
    // Measures one application and its leftovers (`cached`: its database
    // row), records a measured bundle's size, and hands the records over.
    // False when stopped. Any thread.
    static bool MeasureAndHandOver(ApplicationCensus::Application& app,
                                   const AppsDB::Application* cached,
                                   const std::function<bool()>& stopped, Worker::Sink& sink);

    Worker m_worker;
    bool m_waiting = false;
    bool m_begun = false;
    bool m_failed = false;
    bool m_stopped = false;
};

}  // namespace Varnex::Cleaner::Details
