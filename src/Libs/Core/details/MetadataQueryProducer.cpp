#include "Core/details/MetadataQueryProducer.h"

namespace Varnex::Cleaner::Details {

bool MetadataQueryProducer::Start() {
    m_taken = 0;
    return m_query.Start();
}

MetadataQueryProducer::Batch MetadataQueryProducer::DoTakeBatch() {
    Batch batch = m_query.GetResults(m_taken);
    m_taken += batch.size();
    return batch;
}

void MetadataQueryProducer::DoClear() {
    // What was found stays in the query's list; it is simply never handed over.
    m_taken = m_query.GetResultCount();
}

}  // namespace Varnex::Cleaner::Details
