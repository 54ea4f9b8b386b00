#pragma once

#include <QStringList>
#include <memory>

#include "Core/details/ServerCleaningScope.h"

namespace Varnex::Cleaner {
class AntiVirusManager;
}

namespace Varnex::Cleaner::Details {

// Infected files in the folders and files the user chose: `clamscan` runs
// over them with the manager's installed engine and databases, and every file
// it reports infected becomes a root GarbageFileEx (kind INFECTED, the virus
// name as description). The findings of the last scan are kept in
// lastViruses (VirusFindingsFile) and come back when the scope is made.
//
// What the scanner prints is not trusted as it stands: a line is split at its
// last ": ", and a finding counts only for a regular file below one of the
// paths scanned, in its one spelling, with no symbolic link on the way (the
// scanner follows none), not excluded. Before anything is
// removed, each selected finding is confirmed by a scan of that file alone
// (InfectionCheck); a finding that is not confirmed stays, REFUSED.
//
// A scan finishes FAILED when the scanner could not run or reported errors
// (a missing database, an unreadable folder: "Total errors:" in its summary);
// GetScanProblem() tells why. Stopping a scan holds the scanner (SIGSTOP)
// and finishes CANCELED at once; ContinueScanning() lets it go on.
//
// Threads: the scope's; the scanner is a child process read on a thread of
// its own, the confirmation runs on another.
class AntiVirusScope : public ServerCleaningScope {
    Q_OBJECT
public:
    AntiVirusScope(AntiVirusManager* manager, QObject* parent = nullptr);
    ~AntiVirusScope() override;

    // $HOME/Library/Application Support/Varnex/Klarvik/lastViruses.
    static QString GetLastVirusesPath();

    bool AddPath(const QString& path);
    bool RemovePath(const QString& path);
    QStringList GetPaths() const;
    void ClearPaths();

    // Why the last scan failed; empty when it did not.
    QString GetScanProblem() const;
    // Reported paths passed over because their names are not UTF-8.
    long long GetSkippedNames() const;

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;
    // The scanner does not tell how far it is.
    float GetScanningProgress() const override;
    bool CanContinueScanning() const override;

signals:
    void PathsChanged(const QStringList& paths);

public slots:
    void DoStartScanning() override;
    void DoStopScanning() override;
    void DoContinueScanning() override;

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    FinishReason GetEndOfScanReason() const override;
    void PlanItems() override;
    bool StartCheckingBeforePlanning(long long* count) override;
    bool IsCheckingBeforePlanning() const override;
    void DropCheckingBeforePlanning() override;

private:
    class Impl;
    void DoRestore();
    void DoSave();
    void DoUpdateExclusions();
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
