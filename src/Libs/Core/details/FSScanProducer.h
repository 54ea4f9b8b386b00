#pragma once

#include <list>
#include <string>

#include "CleanerFS/FSScanner.h"
#include "Core/details/IScanProducer.h"

namespace Varnex::Cleaner::Details {

// The file-system scanner as a scope's producer. Roots are set before
// Start(); a root list that is empty starts nothing and ends at once.
class FSScanProducer : public BatchProducer<FSScanner::Result> {
public:
    FSScanProducer();

    FSScanner& GetScanner() { return m_scanner; }
    void SetRoots(std::list<std::string> roots) { m_roots = std::move(roots); }

    bool Start() override;
    bool IsWorking() const override { return m_scanner.IsWorking(); }
    float GetProgress() const override { return m_scanner.GetProgress(); }
    void Stop() override { m_scanner.Stop(); }
    void Wait() override { m_scanner.Wait(); }

protected:
    Batch DoTakeBatch() override { return m_scanner.GetResults(); }
    void DoClear() override { m_scanner.Clear(); }

private:
    FSScanner m_scanner;
    std::list<std::string> m_roots;
};

}  // namespace Varnex::Cleaner::Details
