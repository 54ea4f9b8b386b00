#include "Core/details/FSScanProducer.h"

namespace Varnex::Cleaner::Details {

namespace {

// What every scope asks of the scanner; the pool sizes itself to the cores.
const unsigned int scannerThreads = 20;

}  // namespace

FSScanProducer::FSScanProducer() : m_scanner(scannerThreads) {}

bool FSScanProducer::Start() {
    m_scanner.Clear();
    if (!m_roots.empty()) {
        m_scanner.Scan(m_roots);
    }
    return true;
}

}  // namespace Varnex::Cleaner::Details
