#pragma once

#include <QList>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "Core/details/AppsDB.h"

namespace Varnex::Cleaner::Details {

// What a localization scope shares with its background work: the records
// waiting to be written to the database, the paths whose rows are to go, and
// the exclusions as last handed over. The loader and the writer run on the
// caches' threads and hold the store by a shared pointer, never the scope, so
// they may end after the scope is gone without touching it.
//
// Threads: every function may be called from any thread.
class L10nStore {
public:
    explicit L10nStore(AppsDB::DBName db) : m_db(db) {}

    AppsDB::DBName GetDBName() const { return m_db; }

    // Queue records for the writer.
    void Plan(const QList<AppsDB::L10n>& l10ns);
    // The queued records, leaving the queue empty (a new scan shows them and
    // queues them again).
    QList<AppsDB::L10n> TakeAll();
    // The row of `path` is to go, and so is a queued record of it.
    void PlanRemoval(const QString& path);
    bool HasWork() const;

    void SetExclusions(const QStringList& exclusions);
    QStringList GetExclusions() const;

    // True once after the database was written (the cached rows are stale).
    bool TakeChanged() { return m_changed.exchange(false); }

    // The cache's producer: brings the database in line with the current
    // exclusions (a name no longer excluded drops every row, so that it is
    // found again) and with the disk, and loads the rows.
    QList<AppsDB::L10n> Load(const std::function<bool()>& stop);
    // The writer: removes the rows planned to go, then writes the queue in
    // one transaction, retrying a busy database a few times. A batch that
    // cannot be written is dropped (the bundles are scanned again next time)
    // and makes the answer false.
    bool Write(const std::function<bool()>& stop);

private:
    const AppsDB::DBName m_db;
    mutable std::mutex m_queueMutex;
    QList<AppsDB::L10n> m_queue;
    QStringList m_removals;
    std::uint64_t m_taken = 0;  // TakeAll() calls, to tell a queue taken during a write
    mutable std::mutex m_exclusionsMutex;
    QStringList m_exclusions;
    std::atomic<bool> m_changed{false};
};

}  // namespace Varnex::Cleaner::Details
