#include "Core/details/L10nScanProducer.h"

namespace Varnex::Cleaner::Details {

bool L10nScanProducer::Start() {
    m_waiting = true;
    m_begun = false;
    m_failed = false;
    m_stopped = false;
    return true;
}

void L10nScanProducer::Begin(std::list<std::string> roots) {
    if (!m_waiting) {
        return;
    }
    m_waiting = false;
    m_begun = true;
    m_inner.SetRoots(std::move(roots));
    m_failed = !m_inner.Start();
}

void L10nScanProducer::Stop() {
    if (m_waiting) {
        m_waiting = false;
        m_stopped = true;
        return;
    }
    m_stopped = true;
    m_inner.Stop();
}

L10nScanProducer::Batch L10nScanProducer::DoTakeBatch() {
    if (m_waiting) {
        return {};
    }
    m_inner.TakeBatch();
    return m_inner.MoveBatch();
}

void L10nScanProducer::DoClear() {
    m_waiting = false;
    m_begun = false;
    m_inner.Clear();
}

}  // namespace Varnex::Cleaner::Details
