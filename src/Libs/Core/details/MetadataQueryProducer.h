#pragma once

#include <cstddef>

#include "Core/details/IScanProducer.h"
#include "Platform/MetadataQuery.h"

namespace Varnex::Cleaner::Details {

// A metadata query as a scope's producer: each batch is what the query found
// since the previous one, taken by index from its list, which only grows, so
// a result is handed over once. The work is over when the query stopped
// gathering; a query stopped before it finished counts as stopped.
//
// Threads: the scope's; the query walks on its own thread.
class MetadataQueryProducer : public BatchProducer<Platform::MetadataItem> {
public:
    Platform::MetadataQuery& GetQuery() { return m_query; }
    const Platform::MetadataQuery& GetQuery() const { return m_query; }

    bool Start() override;
    bool IsWorking() const override { return m_query.IsGathering(); }
    bool WasStopped() const override { return m_query.WasStopped(); }
    float GetProgress() const override { return m_query.GetProgress(); }
    void Stop() override { m_query.Stop(); }
    void Wait() override { m_query.Wait(); }

protected:
    Batch DoTakeBatch() override;
    void DoClear() override;

private:
    Platform::MetadataQuery m_query;
    std::size_t m_taken = 0;
};

}  // namespace Varnex::Cleaner::Details
