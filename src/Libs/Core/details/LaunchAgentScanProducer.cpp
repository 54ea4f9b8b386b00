#include "Core/details/LaunchAgentScanProducer.h"

namespace Varnex::Cleaner::Details {

LaunchAgentScanProducer::~LaunchAgentScanProducer() {
    m_cancel = true;
    DoJoin();
}

bool LaunchAgentScanProducer::Start() {
    m_cancel = true;
    DoJoin();
    m_listing = Platform::LaunchJobListing();
    m_cancel = false;
    m_listed = false;
    m_lister = std::thread([this] {
        m_listing = Platform::ListLaunchJobs(Platform::launchctlTimeLimitMs, &m_cancel);
        m_listed.store(true, std::memory_order_release);
    });
    return FSScanProducer::Start();
}

bool LaunchAgentScanProducer::IsWorking() const {
    return !m_listed.load(std::memory_order_acquire) || FSScanProducer::IsWorking();
}

void LaunchAgentScanProducer::Stop() {
    m_cancel = true;
    FSScanProducer::Stop();
}

void LaunchAgentScanProducer::Wait() {
    FSScanProducer::Wait();
    DoJoin();
}

FSScanProducer::Batch LaunchAgentScanProducer::DoTakeBatch() {
    if (!m_listed.load(std::memory_order_acquire)) {
        return {};
    }
    return FSScanProducer::DoTakeBatch();
}

void LaunchAgentScanProducer::DoJoin() {
    if (m_lister.joinable()) {
        m_lister.join();
    }
}

}  // namespace Varnex::Cleaner::Details
