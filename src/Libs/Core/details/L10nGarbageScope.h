#pragma once

#include <QList>
#include <QStringList>
#include <memory>

#include "Async/AsyncCache.h"
#include "Core/details/AppsDB.h"
#include "Core/details/ServerCleaningScope.h"

namespace Varnex::Cleaner::Details {

class GarbageL10nBundle;

// Localization folders (".lproj") offered for removal, grouped by language:
// one root GarbageL10n per language, one GarbageL10nBundle child per
// application (or "System") holding that language's folders. Two instances:
// the applications' (scanning every application bundle of the paths cache)
// and the system's (scanning the system library folders).
//
// What a scan found is written to the applications database after the scan,
// in the background; a later scan shows those rows at once and scans only
// the bundles (or system folders) that have none. English and the excluded
// languages are never offered; the user's own languages, an application's
// only localization and "Base" are never selected by default.
//
// Cleaning removes each planned ".lproj" folder as a whole tree, and only one
// that still is a real folder (not a link) inside a bundle of the paths cache
// or below a system library folder, whatever the rows said. Sizes are the blocks removal frees
// (FSScanner::Result::diskSize, the folders' own included), and so are the
// rows'. A bundle counts as cleaned once, when its last folder is gone, with
// the blocks its removals really gave back.
//
// Threads: the scope's (main) thread. The database work runs on the caches'
// threads and never reaches back into the scope.
class L10nGarbageScope : public ServerCleaningScope {
    Q_OBJECT
public:
    using AppPathsCache = AsyncCache<QStringList>;

    L10nGarbageScope(std::shared_ptr<AppPathsCache> appPathsCache, bool isSystem,
                     QObject* parent = nullptr);
    ~L10nGarbageScope() override;

    bool IsSystem() const;

    // The English name of the language a folder name or code stands for
    // ("fr", "French", "nds" -> "German"); empty when none.
    static QString LanguageNameByCode(const QString& code);

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;
    float GetScanningProgress() const override;
    float GetCleaningProgress() const override;
    // For a language name or a scanned path: the base's checkers, a name
    // ending with "English", or an exclusion equal to it (without
    // "language://").
    bool IsExclusion(const QString& text) const override;
    ExclusionChecker GetExclusionTest() const override;
    // Cancels the database writer and waits for it (what it has not written
    // is scanned again next time).
    void WaitBeforeAppQuit() override;
    // Waits until the database writer has stored what it was given (a
    // program that ends right after its scan or cleaning).
    void WaitForCaching();

    // The bundle holding the localization folder of `path` (the folder or a
    // file inside it), or null.
    GarbageL10nBundle* FindL10nBundleForPath(const QString& path) const;

public slots:
    void DoStartScanning() override;

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    void PlanItems() override;
    BatchProducer<CleaningResult>* PrepareCleaningRun(long long* count) override;
    AbstractGarbage* FindItemForPath(const QString& path) const override;
    long long GetCleanedSize(AbstractGarbage* item) const override;

private:
    class Impl;

    void RefreshL10nCache();
    void StartCachingL10ns();
    // The second half of a start, once both caches are ready: shows the
    // cached rows and starts the scanner on what they do not cover. Runs once
    // per scan.
    void DoStartScanningInternal();
    // Shows the rows that still stand for a localization folder of a known
    // bundle and leaves only those in *cached; false when the scope was
    // reset on the way.
    bool InsertCachedL10ns(QList<AppsDB::L10n>* cached, const RunGeneration::Ticket& ticket);
    void ScanUncovered(const QList<AppsDB::L10n>& cached);
    void OnScanningFinished(FinishReason reason);
    // Adds one localization folder to its language and bundle, creating and
    // showing them as needed. Null when the folder is not offered (English,
    // excluded, no language, outside a bundle); *current false when the
    // scope was reset on the way.
    // Why the localization folder `lprojPath` of `bundlePath` must stay (its
    // files are sealed in the code signature, or the seal cannot be read);
    // empty when it may go. Each seal is read once per scope.
    QString SealProblem(const QString& lprojPath, const QString& bundlePath);
    GarbageL10nBundle* AddL10nFolder(const QString& path, bool fromScan,
                                     const RunGeneration::Ticket& ticket, bool* current);
    // Never selected by default: an application's only localization.
    void ApplySelectionDefaults();
    void FilterCleaningResults(std::vector<CleaningResult>* batch);
    void RebuildExclusionTest();

    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
