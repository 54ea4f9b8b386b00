#pragma once

#include <list>
#include <string>

#include "Core/details/FSScanProducer.h"

namespace Varnex::Cleaner::Details {

// The file-system scanner for a scan that first waits for its inputs (the
// localization scope waits for the cached rows and the application list):
// started, it is working and brings nothing until Begin() hands it its roots;
// a stop while it waits ends it at once.
//
// Threads: the scope's.
class L10nScanProducer : public BatchProducer<FSScanner::Result> {
public:
    FSScanner& GetScanner() { return m_inner.GetScanner(); }

    bool IsWaiting() const { return m_waiting; }
    // Starts the scanner on `roots` (none: the scan ends with what it has).
    void Begin(std::list<std::string> roots);

    bool Start() override;
    bool IsWorking() const override { return m_waiting || m_inner.IsWorking(); }
    bool HasFailed() const override { return m_failed; }
    bool WasStopped() const override { return m_stopped; }
    // 0 until Begin(), and again once cleared.
    float GetProgress() const override { return m_begun ? m_inner.GetProgress() : 0.0f; }
    void Stop() override;
    void Wait() override { m_inner.Wait(); }

protected:
    Batch DoTakeBatch() override;
    void DoClear() override;

private:
    FSScanProducer m_inner;
    bool m_waiting = false;
    bool m_begun = false;
    bool m_failed = false;
    bool m_stopped = false;
};

}  // namespace Varnex::Cleaner::Details
