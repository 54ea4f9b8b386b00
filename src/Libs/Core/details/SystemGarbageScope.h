#pragma once

#include <QStringList>
#include <memory>

#include "Core/details/ServerCleaningScope.h"

namespace Varnex::Cleaner::Details {

class GarbageDirectory;

// The general file-system scope: scans a list of root paths recursively, shows
// what it found as a tree of folders and files under one root item per root,
// and removes the selected items through the removal server. Caches, logs,
// trashes, the disk-usage view and the shredder are instances of it that
// differ only in their configuration.
//
// Threads: the scope's (main) thread; the scanner and the removal server work
// in the background and are polled every 40 ms. A root folder itself is never
// removed, only its contents; a link through which a root was configured is
// followed (its contents can be cleaned), links inside a root are shown as
// files and removed as links.
class SystemGarbageScope : public ServerCleaningScope {
    Q_OBJECT
public:
    explicit SystemGarbageScope(QObject* parent = nullptr);
    SystemGarbageScope(QStringList paths, QObject* parent = nullptr);
    ~SystemGarbageScope() override;

    // Root list management; each emits PathsChanged when the list changed.
    // Paths are kept in the scanner's spelling ("/a//b/./c/" is "/a/b/c"); one
    // that is empty, relative or has a ".." component is refused.
    bool AddPath(const QString& path);
    bool RemovePath(const QString& path);
    QStringList GetPaths() const;
    void ClearPaths();

    AbstractGarbage* FindGarbage(const QString& path) const;
    GarbageDirectory* FindDirectory(const QString& path) const;
    // The roots that have no root item yet and do not lie inside one.
    QStringList GetNotScannedLocations() const;
    // Marks the selected items as done without removing them.
    void SetSelectedClean();

    void EnableFillingFilesWithGarbage(bool enable);
    bool IsFillingFilesWithGarbageEnabled() const;
    void SetScanUnsafePaths(bool scan);

    // "/a/b/" -> "/a/b" (one slash), "file:///x" -> "/x"; "/" stays.
    static QString FixPath(const QString& path);

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;
    float GetCleaningProgress() const override;
    bool CanContinueScanning() const override;

public slots:
    void DoStartScanning() override;
    void DoContinueScanning() override;

signals:
    void PathsChanged(QStringList paths);

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    void PlanItems() override;
    long long GetCleanedSize(AbstractGarbage* item) const override;

private:
    class Impl;
    void StartScan(const QStringList& roots);
    // Attaches one new item of a batch under its folder, or as a root.
    void AttachItem(GarbageDirectory* parent, AbstractGarbage* item);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
