#include "Core/details/BatchScanningScope.h"

#include <time.h>

#include <QTimerEvent>
#include <algorithm>

namespace Varnex::Cleaner::Details {

using Util::GuiAntifreeze;

BatchScanningScope::BatchScanningScope(QObject* parent) : AbstractGarbageScope(parent) {}

BatchScanningScope::~BatchScanningScope() {
    // A batch interrupted by the event loop's turn must not come back to a
    // scope that is gone.
    InvalidateBatches();
}

float BatchScanningScope::GetScanningProgress() const {
    const float now = m_producer ? m_producer->GetProgress() : 0.0f;
    m_lastScanningProgress = std::max(m_lastScanningProgress, std::clamp(now, 0.0f, 1.0f));
    return m_lastScanningProgress;
}

void BatchScanningScope::StartProducerScan() {
    if (m_scanStarted == 0) {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        m_scanStarted = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    }
    m_state = SCANNING;
    m_lastScanningProgress = 0;
    m_startFailed = !m_producer || !m_producer->Start();
    StartScanningTimer();
    emit ScanningStarted(this);
}

void BatchScanningScope::DoStopScanning() {
    if (!IsScanning()) {
        return;
    }
    if (!m_producer || !m_producer->IsWorking()) {
        FinishScanning(CANCELED);
        return;
    }
    m_state = STOPPING_SCANNING;
    m_producer->Stop();
}

void BatchScanningScope::ResetScanningRun() {
    InvalidateBatches();
    if (m_producer) {
        m_producer->Stop();
        m_producer->Wait();
        m_producer->Clear();
    }
    m_startFailed = false;
    m_scanStarted = 0;
    m_lastScanningProgress = 0;
}

void BatchScanningScope::ProcessCleaningResults() {}

AbstractGarbageScope::FinishReason BatchScanningScope::GetEndOfScanReason() const {
    return m_producer && m_producer->HasFailed() ? FAILED : DONE;
}

bool BatchScanningScope::GiveEventLoopATurn(const RunGeneration::Ticket& ticket) const {
    m_antifreeze.UnfreezeIfDue();
    return ticket.IsCurrent();
}

void BatchScanningScope::ProcessScanningResults() {
    if (!IsScanning() || GuiAntifreeze::IsRecursionGuardSet()) {
        return;
    }
    if (m_startFailed || !m_producer) {
        m_startFailed = false;
        FinishScanning(m_state == STOPPING_SCANNING ? CANCELED : FAILED);
        return;
    }
    GuiAntifreeze::BatchScope batch;
    const RunGeneration::Ticket ticket = TakeTicket();
    // Asked before taking: a producer that was not working then hands over
    // nothing later, so an empty batch after it means the end.
    const bool working = m_producer->IsWorking();
    const std::size_t taken = m_producer->TakeBatch();
    if (taken > 0 && !InsertBatch(ticket)) {
        return;
    }
    if (!ticket.IsCurrent() || !IsScanning()) {
        return;
    }
    if (taken == 0 && !working) {
        FinishScanning(m_state == STOPPING_SCANNING ? CANCELED : GetEndOfScanReason());
    }
}

void BatchScanningScope::timerEvent(QTimerEvent* event) {
    QObject::timerEvent(event);
    if (event->timerId() == m_scanningTimer && m_scanningTimer != 0) {
        ProcessScanningResults();
    } else if (event->timerId() == m_cleaningTimer && m_cleaningTimer != 0) {
        ProcessCleaningResults();
    }
}

}  // namespace Varnex::Cleaner::Details
