#pragma once

#include <atomic>
#include <thread>

#include "Core/details/FSScanProducer.h"
#include "Platform/Launchctl.h"

namespace Varnex::Cleaner::Details {

// The job files found by the scanner, together with `launchctl list` read
// once per scan on a thread of its own: a tool that hangs never holds the
// scope's thread. No job file is handed over before the listing is in, so
// every item is made knowing which jobs are loaded.
//
// Threads: every call from the scope's thread.
class LaunchAgentScanProducer : public FSScanProducer {
public:
    LaunchAgentScanProducer() = default;
    ~LaunchAgentScanProducer() override;
    LaunchAgentScanProducer(const LaunchAgentScanProducer&) = delete;
    LaunchAgentScanProducer& operator=(const LaunchAgentScanProducer&) = delete;

    bool Start() override;
    bool IsWorking() const override;
    void Stop() override;
    void Wait() override;

    // What `launchctl list` said; read once the first batch came (before: not ok).
    const Platform::LaunchJobListing& GetListing() const { return m_listing; }

protected:
    Batch DoTakeBatch() override;

private:
    void DoJoin();

    std::thread m_lister;
    std::atomic<bool> m_listed{true};
    std::atomic<bool> m_cancel{false};
    // Written by the lister before m_listed, read after it.
    Platform::LaunchJobListing m_listing;
};

}  // namespace Varnex::Cleaner::Details
