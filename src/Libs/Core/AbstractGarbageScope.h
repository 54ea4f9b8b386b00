#pragma once

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "Core/AbstractGarbage.h"
#include "Core/ICleaningWatcher.h"

namespace Varnex::Cleaner {

// The base of every garbage category: scans for one kind of garbage, owns the
// resulting item tree (the scope is the QObject parent of its roots), keeps
// counters, exclusions and display-name filters, and cleans what is selected.
//
// Threads: everything runs on the scope's thread, except IsExclusion(), which
// the scanners call from their walker threads; exclusions are kept as an
// immutable snapshot swapped under a lock, so that call is safe while the
// scope's thread changes them. Exclusion checkers must be thread-safe.
//
// Every run ends in exactly one ScanningFinished / CleaningFinished.
class AbstractGarbageScope : public QObject {
    Q_OBJECT
    friend class AbstractGarbage;

public:
    enum State {
        IDLE = 0,
        SCANNING = 1,
        CLEANING = 2,
        STOPPING_SCANNING = 3,
        STOPPING_CLEANING = 4
    };
    enum FinishReason { DONE = 0, CANCELED = 1, FAILED = 2 };
    Q_ENUM(FinishReason)

    using ExclusionChecker = std::function<bool(const QString&)>;
    using NameFilter = std::function<QString(AbstractGarbage*)>;

    explicit AbstractGarbageScope(QObject* parent = nullptr);
    ~AbstractGarbageScope() override;

    static QString GetFinishReasonString(FinishReason reason);

    virtual long long GetLastCleanedSize() const;
    virtual long long GetSelectedSizeBeforeCleaning() const;
    virtual void Reset() = 0;
    virtual void ResetCleaning() = 0;
    virtual bool AreAdminRightsRequired() const;
    virtual bool IsCleaningPossible() const = 0;
    virtual float GetScanningProgress() const;
    virtual float GetCleaningProgress() const;
    // Called on walker threads too (see above).
    virtual bool IsExclusion(const QString& path) const;
    // IsExclusion() for many paths at once: one snapshot of the exclusions,
    // read without the lock; empty when there are none. A scope that
    // overrides IsExclusion() overrides this too.
    virtual ExclusionChecker GetExclusionTest() const;
    virtual void WaitBeforeAppQuit();

    State GetState() const { return static_cast<State>(m_state); }
    bool IsScanning() const { return m_state == SCANNING || m_state == STOPPING_SCANNING; }
    bool IsCleaning() const { return m_state == CLEANING || m_state == STOPPING_CLEANING; }
    bool WasScanned() const { return m_wasScanned; }
    bool ContainsError() const { return m_containsError; }
    // True when every root is clean (also when there are none).
    bool IsEmpty() const;
    GarbageList GetRoots() const { return m_roots; }
    int GetNumOfPotentialRoots() const { return m_potentialRoots; }
    long long GetTotalItems() const { return m_totalItems; }
    long long GetTotalHandledItems() const { return m_totalHandledItems; }
    long long GetTotalSize() const { return m_totalSize; }
    long long GetTotalCleanedItems() const { return m_totalCleanedItems; }
    long long GetTotalCleanedSize() const { return m_totalCleanedSize; }
    long long GetLastCleanedItems() const { return m_lastCleanedItems; }
    long long GetSelectedSize() const;
    // (groups, leaves) among the selected items.
    std::pair<long long, long long> GetSelectedItemsCount() const;
    QDateTime GetScanningStartTime() const { return m_scanningStartTime; }
    QDateTime GetScanningStopTime() const { return m_scanningStopTime; }
    QDateTime GetCleaningStartTime() const { return m_cleaningStartTime; }
    QDateTime GetCleaningStopTime() const { return m_cleaningStopTime; }
    bool AreItemsSelectedByDefault() const { return m_itemsSelectedByDefault; }

    void SetAdminRightsRequired(bool required) { m_adminRightsRequired = required; }
    void SetItemsSelectedByDefault(bool selected) { m_itemsSelectedByDefault = selected; }
    void SetCleaningWatcher(std::shared_ptr<ICleaningWatcher> watcher);
    void SetItemNameFilter(NameFilter filter, int fromDepth, int toDepth);
    void AddExclusion(const QString& exclusion);
    void SetExclusions(const QStringList& exclusions);
    QStringList GetExclusions() const;
    // An empty checker is refused (logged): it could only fail on a walker thread.
    void AddExclusionChecker(ExclusionChecker checker);

    QString GetItemName(AbstractGarbage* item) const;

signals:
    void ScanningStarted(Varnex::Cleaner::AbstractGarbageScope*);
    void ScanningFinished(Varnex::Cleaner::AbstractGarbageScope*,
                          Varnex::Cleaner::AbstractGarbageScope::FinishReason);
    void CleaningStarted(Varnex::Cleaner::AbstractGarbageScope*);
    void CleaningFinished(Varnex::Cleaner::AbstractGarbageScope*,
                          Varnex::Cleaner::AbstractGarbageScope::FinishReason);
    void ItemsAboutToBeInserted(Varnex::Cleaner::AbstractGarbage* where, int num);
    void ItemsInserted(Varnex::Cleaner::AbstractGarbage* where, int num);
    void BeforeClear();
    void AfterClear();
    void ItemChanged(Varnex::Cleaner::AbstractGarbage*);
    void ExclusionsChanged();

public slots:
    virtual void DoStartScanning() = 0;
    virtual void DoStopScanning() = 0;
    virtual void DoContinueScanning();
    virtual bool CanContinueScanning() const;
    virtual bool DoStartCleaning() = 0;
    virtual void DoStopCleaning() = 0;

    void StartScanning();
    void StopScanning();
    void ContinueScanning();
    bool StartCleaning();
    void StopCleaning();

protected:
    void AddRoot(AbstractGarbage* item);
    void NotifyChanged(AbstractGarbage* item);
    // Asks the cleaning watcher; a veto calls DoStopCleaning() and answers false.
    bool CheckCleanedSize(long long size);
    void StartScanningTimer();
    void StopScanningTimer();
    void StartCleaningTimer();
    void StopCleaningTimer();

    // Shared steps of the concrete scopes.
    // Stops the scanning timer, sets IDLE and emits ScanningFinished(reason).
    void FinishScanning(FinishReason reason);
    // Stops the cleaning timer, sets IDLE and emits CleaningFinished(reason).
    void FinishCleaning(FinishReason reason);
    // Ends a running scan or cleaning before a reset: asks it to stop and, if it
    // is still running afterwards, finishes it with CANCELED, so that every run
    // ends with exactly one finish signal even when it is dropped half-way.
    void EndRunsBeforeReset();
    // Deletes every root (and with them the item trees) and empties the list.
    // While a batch is being applied (IsApplyingBatch()) the roots are
    // detached and deleted later: an item of theirs may be the one whose
    // signal led here, and it is still on the stack.
    void DeleteRoots();
    virtual bool IsApplyingBatch() const { return false; }
    // Ends a running cleaning at once, for a reset: by default DoStopCleaning()
    // and, if the run is still on, FinishCleaning(CANCELED). Scopes whose
    // cleaning runs elsewhere wait here for the worker to let go of the files.
    virtual void AbortCleaningRun();

    int m_state = IDLE;
    GarbageList m_roots;
    int m_potentialRoots = -1;
    long long m_totalItems = 0;
    long long m_totalHandledItems = -1;
    long long m_totalSize = 0;
    long long m_totalCleanedItems = 0;
    long long m_totalCleanedSize = 0;
    long long m_lastCleanedItems = 0;
    long long m_lastCleanedSize = 0;
    int m_scanningTimer = 0;
    int m_cleaningTimer = 0;
    QDateTime m_scanningStartTime;
    QDateTime m_scanningStopTime;
    QDateTime m_cleaningStartTime;
    QDateTime m_cleaningStopTime;
    bool m_itemsSelectedByDefault = true;
    QMap<int, NameFilter> m_itemNameFilters;
    bool m_adminRightsRequired = false;
    long long m_selectedSizeBeforeCleaning = 0;
    bool m_containsError = false;
    bool m_wasScanned = false;
    std::shared_ptr<ICleaningWatcher> m_cleaningWatcher;

private:
    struct Exclusions {
        QStringList strings;
        // The strings with a character beyond ASCII, composed (NFC).
        QStringList composed;
        QList<ExclusionChecker> checkers;

        void Compose();
        // A checker says so, or the path contains one of the strings, also
        // when one is spelled composed and the other decomposed (as names
        // are stored on macOS volumes).
        bool Match(const QString& path) const;
    };
    std::shared_ptr<const Exclusions> ExclusionSnapshot() const;
    void SetExclusionSnapshot(std::shared_ptr<const Exclusions> exclusions);

    mutable std::mutex m_exclusionsMutex;
    std::shared_ptr<const Exclusions> m_exclusions;
};

}  // namespace Varnex::Cleaner
