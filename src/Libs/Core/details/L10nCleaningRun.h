#pragma once

#include <functional>

#include "Core/details/CleaningRunScope.h"

namespace Varnex::Cleaner::Details {

// A cleaning run seen through a filter: every result of the inner run (the
// removal server's, one per planned folder) goes through `filter`, which may
// act on it and says whether the scope's cleaning poll is to see it. So a
// scope whose items hold several planned paths applies each path itself and
// lets an item count only when its last path is gone.
//
// Threads: the scope's.
class L10nCleaningRun : public BatchProducer<CleaningResult> {
public:
    using Filter = std::function<void(Batch* batch)>;

    L10nCleaningRun(BatchProducer<CleaningResult>* inner, Filter filter)
        : m_inner(inner), m_filter(std::move(filter)) {}

    bool Start() override { return m_inner->Start(); }
    bool IsWorking() const override { return m_inner->IsWorking(); }
    bool HasFailed() const override { return m_inner->HasFailed(); }
    bool WasStopped() const override { return m_inner->WasStopped(); }
    float GetProgress() const override { return m_inner->GetProgress(); }
    void Stop() override { m_inner->Stop(); }
    void Wait() override { m_inner->Wait(); }

protected:
    Batch DoTakeBatch() override {
        m_inner->TakeBatch();
        Batch batch = m_inner->MoveBatch();
        m_filter(&batch);
        return batch;
    }
    void DoClear() override { m_inner->Clear(); }

private:
    BatchProducer<CleaningResult>* m_inner;
    Filter m_filter;
};

}  // namespace Varnex::Cleaner::Details
