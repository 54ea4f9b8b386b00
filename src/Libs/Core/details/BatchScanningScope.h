#pragma once

#include <algorithm>

#include "CleanerWorkaround/GuiAntifreeze.h"
#include "Core/AbstractGarbageScope.h"
#include "Core/details/IScanProducer.h"
#include "Core/details/RunGeneration.h"

namespace Varnex::Cleaner::Details {

// The scanning sequence shared by every scope that scans with a background
// producer (IScanProducer): start it, take its results in batches on the
// scanning timer, hand each batch to the scope's InsertBatch(), give the event
// loop a turn every 20 ms, and finish exactly once: DONE when a poll saw the
// producer not working and brought nothing more (so its last batch was
// applied), FAILED when the producer failed, CANCELED after a stop.
//
// A batch holds a Ticket (TakeTicket()) and asks it after every point where
// the scope may have been reset or destroyed under it: the event loop's turn
// (GiveEventLoopATurn) and every signal it emits (InsertGroup). Once it is no
// longer current the batch returns at once and touches nothing of the scope.
//
// Threads: the scope's.
class BatchScanningScope : public AbstractGarbageScope {
    Q_OBJECT
public:
    ~BatchScanningScope() override;

    // Never goes back within a scan.
    float GetScanningProgress() const override;

public slots:
    void DoStopScanning() override;

protected:
    explicit BatchScanningScope(QObject* parent);

    // The producer this scope scans with; not owned, set once by the
    // concrete scope's constructor.
    void SetProducer(IScanProducer* producer) { m_producer = producer; }
    IScanProducer* GetProducer() const { return m_producer; }

    // Starts a scan with the producer configured beforehand: SCANNING, the
    // producer started, the scanning timer, ScanningStarted. A producer that
    // does not start ends the scan FAILED on the first poll.
    void StartProducerScan();
    // For Reset(): every batch under way stops being current, the producer is
    // stopped, waited for and cleared, and progress goes back to 0.
    void ResetScanningRun();
    // When the scan of what is shown began (ns since the epoch), kept across
    // continued scans until a reset; 0 before any. An entry whose status
    // changed later was not seen as it is. The fine clock: whatever was
    // stamped before the scan is never later (file systems stamp from a clock
    // that may lag it by a tick, so an entry changed within that tick after
    // the start may count as seen; the scan itself is looking then).
    long long GetScanStartTime() const { return m_scanStarted; }
    // For scans that continue with the items already shown: progress back to 0.
    void ResetScanningProgress() { m_lastScanningProgress = 0; }

    // How a scan whose producer ended by itself finishes: FAILED when the
    // producer failed, else DONE. A scope that learns of a failure from what
    // the producer reported says so here.
    virtual FinishReason GetEndOfScanReason() const;

    // Applies the producer's current batch. Returns false when the ticket
    // stopped being current (the batch was abandoned).
    virtual bool InsertBatch(const RunGeneration::Ticket& ticket) = 0;
    // The cleaning poll of the concrete cleaning sequence (default nothing).
    virtual void ProcessCleaningResults();

    RunGeneration::Ticket TakeTicket() const { return m_generation.Take(); }
    // Lets the event loop run when 20 ms have passed since its last turn.
    // False when the ticket is no longer current afterwards.
    bool GiveEventLoopATurn(const RunGeneration::Ticket& ticket) const;
    // Inserts items under `where` (null: new roots), in slices of at most
    // insertSlice items with a turn of the event loop between two slices (a
    // folder of a million files is no longer one step). Each slice has its
    // pair of insertion signals: `add` attaches each of its items (AddChild
    // or AddRoot), then `done` runs (a size update) before ItemsInserted.
    // False when the ticket stopped being current on the way; the items not
    // attached by then are deleted.
    template <class Add, class Done>
    bool InsertGroup(AbstractGarbage* where, const GarbageList& items,
                     const RunGeneration::Ticket& ticket, Add&& add, Done&& done);
    // Moves every ticket taken so far out of date (resets, destruction).
    void InvalidateBatches() { m_generation.Advance(); }
    bool IsApplyingBatch() const override { return m_generation.IsBusy(); }

    // The scan poll; run from timerEvent() on the scanning timer.
    void ProcessScanningResults();
    void timerEvent(QTimerEvent* event) override;

private:
    IScanProducer* m_producer = nullptr;
    mutable float m_lastScanningProgress = 0;
    bool m_startFailed = false;
    long long m_scanStarted = 0;
    RunGeneration m_generation;
    Util::GuiAntifreeze m_antifreeze{20};

    static constexpr int insertSlice = 4096;
};

template <class Add, class Done>
bool BatchScanningScope::InsertGroup(AbstractGarbage* where, const GarbageList& items,
                                     const RunGeneration::Ticket& ticket, Add&& add, Done&& done) {
    const int n = items.size();
    const auto abandon = [&items, n](int from) {
        for (int j = from; j < n; ++j) {
            delete items.at(j);
        }
        return false;
    };
    for (int from = 0; from < n; from += insertSlice) {
        if (from > 0 && !GiveEventLoopATurn(ticket)) {
            return abandon(from);
        }
        const int end = std::min(n, from + insertSlice);
        emit ItemsAboutToBeInserted(where, end - from);
        for (int i = from; i < end; ++i) {
            if (!ticket.IsCurrent()) {
                return abandon(i);
            }
            add(items.at(i));
        }
        if (!ticket.IsCurrent()) {
            return abandon(end);
        }
        done();
        if (!ticket.IsCurrent()) {
            return abandon(end);
        }
        emit ItemsInserted(where, end - from);
        if (!ticket.IsCurrent()) {
            return abandon(end);
        }
    }
    return true;
}

}  // namespace Varnex::Cleaner::Details
