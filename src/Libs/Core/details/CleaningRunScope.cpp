#include "Core/details/CleaningRunScope.h"

#include <glog/logging.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cstddef>
#include <iterator>

#include "CleanerCommon/LogText.h"
#include "CleanerWorkaround/GuiAntifreeze.h"
#include "Core/details/FileDates.h"
#include "Core/details/ServerPlanning.h"
#include "QtUtil/SignalBlocker.h"

namespace Varnex::Cleaner::Details {

using Util::GuiAntifreeze;

namespace {

// How long a tick applies results by default, and how many it applies between
// looks at the clock.
const int defaultApplyMs = 15;
const std::size_t applyStep = 64;

}  // namespace

CleaningRunScope::CleaningRunScope(QObject* parent)
    : BatchScanningScope(parent), m_applyMs(defaultApplyMs) {}

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
    if (GuiAntifreeze::IsRecursionGuardSet() || IsPreparationWaiting()) {
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
        EndRun(DONE);
    } else if (!StartPreparedRun(count)) {
        EndRun(FAILED);
    }
}

void CleaningRunScope::CancelPreparation() {
    m_preparing = false;
    DropCleaningPreparation();
    EndRun(CANCELED);
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
        EndRun(CANCELED);
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
    // Results left from the previous tick go first; the run is asked for more
    // only once they are all applied.
    const bool backlog = HasQueuedResults();
    // Asked before taking, as the scan poll does: nothing comes after a
    // not-working answer.
    const bool working = backlog || m_run->IsWorking();
    std::size_t taken = 0;
    if (!backlog) {
        taken = m_run->TakeBatch();
        QueueTakenBatch();
    }
    bool current = true;
    const long long cleaned = ApplyResults(ticket, m_applyMs, &current);
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
        EndRun(reason);
    }
}

void CleaningRunScope::QueueTakenBatch() {
    BatchProducer<CleaningResult>::Batch batch = m_run->MoveBatch();
    if (!HasQueuedResults()) {
        m_queued = std::move(batch);
        m_queuedAt = 0;
        return;
    }
    m_queued.insert(m_queued.end(), std::make_move_iterator(batch.begin()),
                    std::make_move_iterator(batch.end()));
}

long long CleaningRunScope::ApplyResults(const RunGeneration::Ticket& ticket, int budgetMs,
                                         bool* current) {
    long long cleaned = 0;
    // Moved here: a slot that resets or destroys the scope must not pull the
    // results from under this loop.
    BatchProducer<CleaningResult>::Batch batch;
    batch.swap(m_queued);
    std::size_t at = m_queuedAt;
    m_queuedAt = 0;
    QElapsedTimer clock;
    clock.start();
    std::size_t sinceLook = 0;
    // One change for the views: a folder's last child cleaned re-sums and
    // re-checks every ancestor, and a run cleans many; the rows that changed
    // are announced once when these results are applied, not once per result.
    const AbstractGarbage::CheckStateChange change;
    while (at < batch.size()) {
        if (budgetMs >= 0 && sinceLook == applyStep) {
            if (clock.elapsed() >= budgetMs) {
                break;
            }
            sinceLook = 0;
        }
        ++sinceLook;
        const CleaningResult& result = batch[at++];
        AbstractGarbage* item = FindItemForPath(result.path);
        if (!item) {
            continue;
        }
        if (IsCleanedCode(result.code)) {
            // A folder may already show clean (its last child was); it still
            // counts once. An item reported twice does not count twice.
            if (!m_countedItems.Insert(item)) {
                continue;
            }
            if (!m_shownCleanAhead.isEmpty()) {
                m_shownCleanAhead.remove(item);
            }
            // A file whose blocks another name still holds frees nothing; the
            // last name frees them, though the scan counted them elsewhere.
            const long long size = result.freed >= 0 ? result.freed : GetCleanedSize(item);
            ++m_totalCleanedItems;
            ++m_lastCleanedItems;
            m_totalCleanedSize += size;
            m_lastCleanedSize += size;
            cleaned += size;
            const bool parentWasClean = item->GetParent() && item->GetParent()->IsClean();
            item->SetClean(true);
            if (!parentWasClean) {
                NoteShownCleanAhead(item);
            }
        } else {
            LOG(ERROR) << "ERROR WHILE CLEANING \"" << Util::LogText(result.path)
                       << "\": " << result.code;
            // Still there: a folder that showed clean once its last child was
            // (then failed itself) is not.
            item->SetClean(false);
            item->SetError(ConvertErrorCode(result.code));
        }
        // A slot of ItemChanged may have reset the scope: its items are gone.
        if (!ticket.IsCurrent()) {
            *current = false;
            return cleaned;
        }
    }
    if (at < batch.size()) {
        // What a slot had queued meanwhile (an abort applies all it takes, so
        // normally nothing) came after these.
        if (HasQueuedResults()) {
            batch.insert(
                batch.end(),
                std::make_move_iterator(m_queued.begin() + static_cast<std::ptrdiff_t>(m_queuedAt)),
                std::make_move_iterator(m_queued.end()));
        }
        m_queued = std::move(batch);
        m_queuedAt = at;
    }
    return cleaned;
}

void CleaningRunScope::NoteShownCleanAhead(AbstractGarbage* item) {
    for (AbstractGarbage* a = item->GetParent(); a && !a->IsRoot() && a->IsClean();
         a = a->GetParent()) {
        m_shownCleanAhead.insert(a);
    }
}

bool CleaningRunScope::DoSettleShownClean() {
    const QList<AbstractGarbage*> ahead = m_shownCleanAhead.values();
    m_shownCleanAhead.clear();
    const RunGeneration::Ticket ticket = TakeTicket();
    {
        const AbstractGarbage::CheckStateChange change;
        for (AbstractGarbage* item : ahead) {
            // Only an item a report of its own path would reach: a group of
            // the view is clean when its children are.
            if (!item->IsClean() || m_countedItems.Contains(item) ||
                FindItemForPath(item->GetPath()) != item || !PathExists(item->GetPath())) {
                continue;
            }
            item->SetClean(false);
            if (!ticket.IsCurrent()) {
                return false;
            }
        }
    }
    // The change's watchers are told as it closes, and may reset the scope
    // (which ends the run) or destroy it.
    return ticket.IsCurrent() && IsCleaning();
}

void CleaningRunScope::EndRun(FinishReason reason) {
    if (DoSettleShownClean()) {
        FinishCleaning(reason);
    }
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
        EndRun(CANCELED);
        return;
    }
    const RunGeneration::Ticket ticket = TakeTicket();
    m_run->Stop();
    // What the run has reported is true and is shown, all of it; what it
    // still does on the path it is on is not waited for.
    m_run->TakeBatch();
    QueueTakenBatch();
    bool current = true;
    const long long cleaned = ApplyResults(ticket, -1, &current);
    if (!current) {
        return;
    }
    if (cleaned > 0 && m_cleaningWatcher) {
        m_cleaningWatcher->CheckCleanedSize(cleaned);
    }
    if (ticket.IsCurrent() && IsCleaning()) {
        EndRun(CANCELED);
    }
}

void CleaningRunScope::ResetScope(const std::function<void()>& dropItems) {
    EndRunsBeforeReset();
    emit BeforeClear();
    Util::SignalBlocker blocker(this);
    InvalidateBatches();
    m_totalItems = 0;
    m_state = IDLE;
    ResetScanningRun();
    dropItems();
    m_totalSize = 0;
    m_scanningStartTime = QDateTime();
    m_scanningStopTime = QDateTime();
    ResetCleaning();
    m_totalCleanedItems = 0;
    m_totalCleanedSize = 0;
    blocker.revert();
    emit AfterClear();
}

void CleaningRunScope::ResetCleaningRun() {
    if (IsCleaning()) {
        AbortCleaningRun();
    }
    m_lastCleanedItems = 0;
    m_lastCleanedSize = 0;
    BatchProducer<CleaningResult>::Batch().swap(m_queued);
    m_queuedAt = 0;
    m_countedItems.Clear();
    m_shownCleanAhead.clear();
    m_cleaningStartTime = QDateTime();
    m_cleaningStopTime = QDateTime();
}

}  // namespace Varnex::Cleaner::Details
