#pragma once

#include <QString>
#include <memory>

#include "Core/details/CleaningRunScope.h"

namespace Varnex::Cleaner::Details {

// Compacts the main database of the user's photo library: one item, the file
// Database/Library.apdb of the library the photo application's preferences
// name (PhotoLibrary), with size 0; "cleaning" it runs SQLite's VACUUM on it
// on a worker thread. Nothing is deleted and no size is gained or counted.
//
// The scope scans at once when it is made (it holds its item and is idle
// afterwards) and again on StartScanning(). Without a library it has no item.
//
// A cleaning fails, the database untouched, when the file is not there (it is
// never created: the database is opened read-write but never made), is not
// a regular file, is not a database, when the photo application runs (or
// whether it does cannot be told), or when VACUUM fails.
//
// Threads: the scope's; the vacuum runs on a worker thread with a database
// connection of its own, removed before the worker ends.
class iPhotoVacuumScope : public CleaningRunScope {
    Q_OBJECT
public:
    explicit iPhotoVacuumScope(QObject* parent = nullptr);
    ~iPhotoVacuumScope() override;

    static QString LoadLibraryPath();
    static bool DoesLibraryExist();

    // Runs VACUUM on the database at `path` on the calling thread. True when
    // done; otherwise *problem says why (and nothing was changed).
    static bool Vacuum(const QString& path, QString* problem);

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override { return true; }
    float GetScanningProgress() const override { return 1.0f; }

public slots:
    void DoStartScanning() override;

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    BatchProducer<CleaningResult>* PrepareCleaningRun(long long* count) override;
    AbstractGarbage* FindItemForPath(const QString& path) const override;
    // The compaction frees no counted bytes.
    long long GetCleanedSize(AbstractGarbage*) const override { return 0; }

private:
    class Impl;
    // Shows the database of `libraryPath` as the scope's one item.
    void DoShowDatabase(const QString& libraryPath);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
