#pragma once

#include <QStringList>
#include <memory>

#include "Core/details/SelectionTrait.h"
#include "Core/details/ServerCleaningScope.h"

namespace Varnex::Cleaner::Details {

class DuplicatesScanner;

// Files with identical contents below the search folders: one root
// GarbageDuplicatesGroup per content, one GarbageFileEx per copy. Copies
// arrive unselected; checking a group selects every copy but the one the
// selection trait keeps. Cleaning moves the selected copies to the Trash
// (or deletes them when the Trash is off) through the removal server.
//
// Before a copy is planned it is looked at again: one whose size,
// modification time, device or inode changed since the scan is not planned
// (its error says so), and a group is never left without a copy that is
// still there: when every remaining copy would go, the one the trait keeps
// stays, and a group that has only one such copy plans nothing.
//
// Threads: the scope's; the scanner works on its producer's thread.
class DuplicatesGarbageScope : public ServerCleaningScope {
    Q_OBJECT
public:
    explicit DuplicatesGarbageScope(QObject* parent = nullptr);
    ~DuplicatesGarbageScope() override;

    void AddSearchPath(const QString& path);
    void RemoveSearchPath(const QString& path);
    QStringList GetSearchPaths() const;
    void ClearSearchPaths();

    void SetSelectionTrait(SelectionTrait trait);
    SelectionTrait GetSelectionTrait() const;
    // Asks every group to choose its kept copy again.
    void Reselect();
    void SetMinSize(long long bytes);
    long long GetMinSize() const;
    void SetUseTrash(bool use);
    bool GetUseTrash() const;
    // The pause at the start of every path task of the scanner, in
    // microseconds (default 20).
    void SetTaskInterval(unsigned int us);

    DuplicatesScanner& GetScanner();

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;

public slots:
    void DoStartScanning() override;

signals:
    void SearchPathsChanged(QStringList paths);

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    void PlanItems() override;
    void ProcessCleaningResults() override;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
