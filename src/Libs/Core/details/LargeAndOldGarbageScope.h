#pragma once

#include <QStringList>
#include <memory>

#include "Core/details/ServerCleaningScope.h"
#include "Platform/MetadataQuery.h"

namespace Varnex::Cleaner::Details {

// Big files below the user's search folders, found by the metadata query:
// every file of at least ten million bytes (a package, such as an
// application or a photo library, as one item with the size of its
// contents), each a root GarbageFileEx with its last-used date (the creation
// date when none is known) and its kind. No age is applied here: the view
// decides what is old. Items are never selected by default; the selected
// ones are removed through the removal server, a package as a whole tree,
// and only while the path still holds what the search found.
//
// Threads: the scope's; the query walks on its own thread.
class LargeAndOldGarbageScope : public ServerCleaningScope {
    Q_OBJECT
public:
    explicit LargeAndOldGarbageScope(QObject* parent = nullptr);
    ~LargeAndOldGarbageScope() override;

    // Search folders, kept in one spelling ("/a/b/" and "file:///a/b" are
    // "/a/b"); a path that is relative or has a ".." component is refused.
    // Each change emits SearchPathsChanged. None: the home folder is searched.
    bool AddSearchPath(const QString& path);
    bool RemoveSearchPath(const QString& path);
    QStringList GetSearchPaths() const;
    void ClearSearchPaths();
    // Ends a search under way (the scan finishes CANCELED) and drops what it
    // found that is not shown yet.
    void ClearQuery();

    // The smallest logical size found (default ten million bytes).
    // What the last search left out: names that are not UTF-8, folders
    // that could not be read.
    int GetSkippedNames() const;
    int GetUnreadableFolders() const;
    void SetMinSize(long long bytes);
    // Who tells when a file was last opened (none by default).
    void SetLastUsedProvider(Platform::MetadataQuery::LastUsedProvider provider);

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;
    bool AreAdminRightsRequired() const override;

    static QString FixPath(const QString& path);

public slots:
    void DoStartScanning() override;

signals:
    void SearchPathsChanged(QStringList paths);

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    void PlanItems() override;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
