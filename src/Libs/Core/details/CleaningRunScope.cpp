#include "Core/details/CleaningRunScope.h"

#include <glog/logging.h>

#include <algorithm>

#include "CleanerCommon/LogText.h"
#include "CleanerWorkaround/GuiAntifreeze.h"
#include "Core/details/ServerPlanning.h"

namespace Varnex::Cleaner::Details {

using Util::GuiAntifreeze;

CleaningRunScope::CleaningRunScope(QObject* parent) : BatchScanningScope(parent) {}

CleaningRunScope::~CleaningRunScope() = default;

long long CleaningRunScope::GetCleanedSize(AbstractGarbage* item) const {
    return item->GetSize();
}

bool CleaningRunScope::DoStartCleaning() {
    // Cleaning while a scan still adds items would plan half a tree and leave
    // the scan without its finish: refused, as the facade refuses it.
    if (IsCleaning() || IsScanning()) {
        return false;
    }
    ResetCleaning();
    long long count = 0;
    BatchProducer<CleaningResult>* run = PrepareCleaningRun(&count);
    if (!run || count == 0) {
        DropCleaningPreparation();
        return false;
    }
    m_run = run;
    m_preparing = IsPreparingCleaningRun();
    if (!m_preparing && !StartPreparedRun(count)) {
        m_run = nullptr;
        return false;
    }
    m_state = CLEANING;
    StartCleaningTimer();
    emit CleaningStarted(this);
    return true;
}

bool CleaningRunScope::ContinuePreparingCleaningRun(const RunGeneration::Ticket&, long long*) {
    return false;
}

bool CleaningRunScope::StartPreparedRun(long long count) {
    // Sized once: growing a set of a million paths while results come in
    // would rehash it all in one turn of the event loop.
    m_countedPaths.reserve(static_cast<int>(std::min<long long>(count, 1 << 30)));
    if (!m_run->Start()) {
        LOG(WARNING) << "The cleaning run did not start";
        return false;
    }
    if (LogsPlannedCount()) {
        LOG(INFO) << "PLANNED TO REMOVE: " << count;
    }
    return true;
}

void CleaningRunScope::ContinuePreparation() {
    if (GuiAntifreeze::IsRecursionGuardSet()) {
        return;  // a tick delivered during a turn of this very preparation
    }
    GuiAntifreeze::BatchScope batch;
    const RunGeneration::Ticket ticket = TakeTicket();
    long long count = 0;
    if (!ContinuePreparingCleaningRun(ticket, &count)) {
        if (ticket.IsCurrent() && IsCleaning() && m_preparing) {
            CancelPreparation();  // stopped during a turn
        }
        return;
    }
    m_preparing = false;
    if (count == 0) {
        FinishCleaning(DONE);
    } else if (!StartPreparedRun(count)) {
        FinishCleaning(FAILED);
    }
}

void CleaningRunScope::CancelPreparation() {
    m_preparing = false;
    DropCleaningPreparation();
    FinishCleaning(CANCELED);
}

void CleaningRunScope::DoStopCleaning() {
    if (!IsCleaning()) {
        return;
    }
    if (m_preparing) {
        // Nothing was handed to the run yet: nothing to wait for.
        CancelPreparation();
        return;
    }
    if (m_cleaningTimer == 0 || !m_run) {
        FinishCleaning(CANCELED);
        return;
    }
    m_state = STOPPING_CLEANING;
    m_run->Stop();
}

void CleaningRunScope::ProcessCleaningResults() {
    if (!IsCleaning() || !m_run) {
        return;
    }
    if (m_preparing) {
        ContinuePreparation();
        return;
    }
    const RunGeneration::Ticket ticket = TakeTicket();
    // Asked before taking, as the scan poll does: nothing comes after a
    // not-working answer.
    const bool working = m_run->IsWorking();
    const std::size_t taken = m_run->TakeBatch();
    bool current = true;
    const long long cleaned = ApplyResults(ticket, &current);
    if (!current) {
        return;
    }
    CheckCleanedSize(cleaned);
    if (!ticket.IsCurrent() || !IsCleaning()) {
        return;
    }
    if (taken == 0 && !working) {
        FinishReason reason = DONE;
        if (m_run->HasFailed()) {
            reason = FAILED;
        } else if (m_run->WasStopped() || m_state == STOPPING_CLEANING) {
            reason = CANCELED;
        }
        FinishCleaning(reason);
    }
}

long long CleaningRunScope::ApplyResults(const RunGeneration::Ticket& ticket, bool* current) {
    long long cleaned = 0;
    const BatchProducer<CleaningResult>::Batch batch = m_run->MoveBatch();
    for (const CleaningResult& result : batch) {
        AbstractGarbage* item = FindItemForPath(result.path);
        if (!item) {
            continue;
        }
        if (IsCleanedCode(result.code)) {
            // A folder may already show clean (its last child was); it still
            // counts once. An item reported twice does not count twice.
            const int before = m_countedPaths.size();
            m_countedPaths.insert(item->GetPath());
            if (m_countedPaths.size() == before) {
                continue;
            }
            const long long size = GetCleanedSize(item);
            ++m_totalCleanedItems;
            ++m_lastCleanedItems;
            m_totalCleanedSize += size;
            m_lastCleanedSize += size;
            cleaned += size;
            item->SetClean(true);
        } else {
            LOG(ERROR) << "ERROR WHILE CLEANING \"" << Util::LogText(result.path)
                       << "\": " << result.code;
            item->SetError(ConvertErrorCode(result.code));
        }
        // A slot of ItemChanged may have reset the scope: its items are gone.
        if (!ticket.IsCurrent()) {
            *current = false;
            return cleaned;
        }
    }
    return cleaned;
}

void CleaningRunScope::AbortCleaningRun() {
    if (!IsCleaning()) {
        return;
    }
    if (m_preparing) {
        CancelPreparation();
        return;
    }
    if (!m_run) {
        FinishCleaning(CANCELED);
        return;
    }
    const RunGeneration::Ticket ticket = TakeTicket();
    m_run->Stop();
    // What the run has reported is true and is shown; what it still does on
    // the path it is on is not waited for.
    m_run->TakeBatch();
    bool current = true;
    const long long cleaned = ApplyResults(ticket, &current);
    if (!current) {
        return;
    }
    if (cleaned > 0 && m_cleaningWatcher) {
        m_cleaningWatcher->CheckCleanedSize(cleaned);
    }
    if (ticket.IsCurrent() && IsCleaning()) {
        FinishCleaning(CANCELED);
    }
}

void CleaningRunScope::ResetCleaningRun() {
    if (IsCleaning()) {
        AbortCleaningRun();
    }
    m_lastCleanedItems = 0;
    m_lastCleanedSize = 0;
    m_countedPaths.clear();
    m_cleaningStartTime = QDateTime();
    m_cleaningStopTime = QDateTime();
}

}  // namespace Varnex::Cleaner::Details
