#pragma once

#include <QList>
#include <QSet>
#include <memory>

#include "CleanerFS/FSCleanerServer.h"
#include "Core/AbstractGarbageScope.h"

namespace Varnex::Cleaner::Details {

class FSCleanerServerContext;

// The cleaning sequence shared by every scope that removes through the removal
// server: plan, start, poll the results into item states, stop, finish.
// Concrete scopes say what differs through the hooks: which items are planned
// and with which flags (PlanItems), how an item is found for a reported path
// (FindItemForPath), and how much a cleaned item counts (GetCleanedSize).
//
// Threads: the scope's. Every run ends in exactly one CleaningFinished; a path
// reported twice is counted once; codes other than 1 and 3 are errors.
class ServerCleaningScope : public AbstractGarbageScope {
    Q_OBJECT
public:
    ~ServerCleaningScope() override;

    bool DoStartCleaning() override;
    void DoStopCleaning() override;

    // The name of this scope's context on the removal server.
    QString GetContextName() const;

protected:
    explicit ServerCleaningScope(QObject* parent);

    // Creates the removal context, named after `owner`'s address. Once, from
    // the concrete scope's constructor.
    void CreateRemovalContext(const void* owner);
    FSCleanerServerContext* GetRemovalContext() const { return m_context.get(); }

    // Plans every selected item on the context (PlanToRemoveOnServer or the
    // scope's own rule) and returns the number of planned paths.
    virtual long long PlanItems() = 0;
    virtual AbstractGarbage* FindItemForPath(const QString& path) const = 0;
    // The bytes a cleaned item adds to the cleaned totals (default: its size).
    virtual long long GetCleanedSize(AbstractGarbage* item) const;

    // The cleaning poll: run from timerEvent() on the cleaning timer.
    void ProcessCleaningResults();
    // Stops the server's run, waits for it to let go of the current path,
    // applies what it reported and finishes with CANCELED.
    void AbortCleaningRun() override;
    // For ResetCleaning(): ends a run that is still going, then zeroes the
    // per-run counters and times.
    void ResetCleaningRun();

private:
    // Applies a batch of results; returns the bytes they cleaned.
    long long ApplyResults(const QList<FSCleanerServer::Result>& results);

    std::unique_ptr<FSCleanerServerContext> m_context;
    // Paths counted as cleaned in this run: a path reported twice counts once.
    QSet<QString> m_countedPaths;
};

}  // namespace Varnex::Cleaner::Details
