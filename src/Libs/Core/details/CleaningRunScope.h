#pragma once

#include <QSet>
#include <QString>
#include <functional>

#include "Core/details/BatchScanningScope.h"
#include "Core/details/CountedItems.h"

namespace Varnex::Cleaner::Details {

// One outcome of a cleaning run: the path of an item and a result code of the
// removal server's set (FSCleaner::Error): 1 removed and 3 already gone count
// as cleaned, every other code is an error of the item.
struct CleaningResult {
    QString path;
    int code = 0;
    // Bytes the removal truly gave back, when the remover knows (see
    // FSCleanerServer::Result::freed); -1: the item's own count stands.
    long long freed = -1;
};

// The cleaning sequence shared by every scope: start a run over the selected
// items, poll its results on the cleaning timer into item states (for a
// bounded time per tick, the rest on the next ones, in the order reported),
// let the cleaning watcher veto, stop, finish exactly once and only after the
// last result reported was applied (FAILED when the run failed, CANCELED when
// it was stopped, DONE otherwise). The run is a
// producer of CleaningResult: the removal server for scopes that remove
// files (ServerCleaningScope), or the scope's own job (switching launch
// agents, a script, a database vacuum).
//
// A result counts once per run, only with a cleaned code and only for an item
// the scope still has; nothing else is ever counted as cleaned.
//
// Threads: the scope's.
class CleaningRunScope : public BatchScanningScope {
    Q_OBJECT
public:
    ~CleaningRunScope() override;

    bool DoStartCleaning() override;
    void DoStopCleaning() override;

    // How long one tick of the cleaning timer applies results (default
    // 15 ms); what is left waits for the next tick, ahead of anything newer.
    // 0: one step of results per tick.
    void SetApplyTimePerTick(int ms) { m_applyMs = ms > 0 ? ms : 0; }

protected:
    explicit CleaningRunScope(QObject* parent);

    // Prepares the run for the selected items: the number of items it will
    // work on (0: nothing to do, no run) and the run itself, not yet started
    // and owned by the scope. Null or 0 refuses the start.
    //
    // A preparation too long for one turn of the event loop (planning a
    // million items) may stop after its first items and say so with
    // IsPreparingCleaningRun(): the scope is then CLEANING at once, and the
    // cleaning timer has ContinuePreparingCleaningRun() finish the work,
    // giving the event loop its turns, before the run starts.
    virtual BatchProducer<CleaningResult>* PrepareCleaningRun(long long* count) = 0;
    virtual bool IsPreparingCleaningRun() const { return false; }
    // True while the preparation waits for background work of its own (files
    // checked one by one before they are planned): the cleaning timer then
    // looks again on its next tick instead of continuing it.
    virtual bool IsPreparationWaiting() const { return false; }
    // Finishes the preparation; *count as for PrepareCleaningRun(). False
    // when it was abandoned on the way (the scope was reset, stopped, or its
    // preparation dropped during a turn of the event loop).
    virtual bool ContinuePreparingCleaningRun(const RunGeneration::Ticket& ticket,
                                              long long* count);
    // Drops a preparation under way (a stop or a reset before the run began).
    virtual void DropCleaningPreparation() {}
    // The item a reported path belongs to, or null (then the result is ignored).
    virtual AbstractGarbage* FindItemForPath(const QString& path) const = 0;
    // The bytes a cleaned item adds to the cleaned totals (default: its size).
    virtual long long GetCleanedSize(AbstractGarbage* item) const;
    // Logged as "PLANNED TO REMOVE: n" when a run starts (server runs).
    virtual bool LogsPlannedCount() const { return false; }

    void ProcessCleaningResults() override;
    // Ends a run at once, for a reset: asks it to stop, applies what it has
    // reported so far (the watcher is told of those bytes) and finishes with
    // CANCELED, without waiting for the run to let go.
    void AbortCleaningRun() override;
    // For ResetCleaning(): ends a run that is still going, then zeroes the
    // per-run counters and times.
    void ResetCleaningRun();
    // Reset() of every scope, in one order: the runs ended, BeforeClear, the
    // scope's signals blocked, every batch out of date, the producer stopped
    // and cleared, then `dropItems` (the scope's own indexes, DeleteRoots()),
    // the totals and times zeroed, ResetCleaning(), AfterClear.
    void ResetScope(const std::function<void()>& dropItems);

private:
    // Moves the run's current batch behind the results not applied yet.
    void QueueTakenBatch();
    // Applies queued results in order, for `budgetMs` (looked at every few
    // results; negative: all of them); what is left stays queued. Returns the
    // bytes it cleaned. False in *current when the scope was reset under it.
    long long ApplyResults(const RunGeneration::Ticket& ticket, int budgetMs, bool* current);
    bool HasQueuedResults() const { return m_queuedAt < m_queued.size(); }
    // Starts the prepared run of `count` items; false (nothing started) when
    // it would not start.
    bool StartPreparedRun(long long count);
    // The cleaning timer's work while the run is being prepared.
    void ContinuePreparation();
    // Ends a preparation under way with CANCELED.
    void CancelPreparation();
    // Finishes the run with `reason`, once the folders shown clean ahead of
    // their own report tell the truth (DoSettleShownClean).
    void EndRun(FinishReason reason);
    // A folder shows clean when its last child is cleaned, before the run
    // reaches the folder itself. A run stopped in between never reports it:
    // each such item that was not counted and is still on the disk shows
    // not clean again. False when a slot or a check-state watcher reset the
    // scope meanwhile (the run is over then).
    bool DoSettleShownClean();
    // Notes `item`'s ancestors that have just turned clean with it.
    void NoteShownCleanAhead(AbstractGarbage* item);

    BatchProducer<CleaningResult>* m_run = nullptr;
    bool m_preparing = false;  // CLEANING, the run not started yet
    // Results taken from the run and not applied yet: m_queued from m_queuedAt on.
    BatchProducer<CleaningResult>::Batch m_queued;
    std::size_t m_queuedAt = 0;
    int m_applyMs;
    CountedItems m_countedItems;
    // Ancestors of cleaned items that turned clean with them in this run and
    // were not reported yet (a run reports a folder soon after its contents:
    // few at a time).
    QSet<AbstractGarbage*> m_shownCleanAhead;
};

}  // namespace Varnex::Cleaner::Details
