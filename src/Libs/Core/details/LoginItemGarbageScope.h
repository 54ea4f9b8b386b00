#pragma once

#include <QString>
#include <memory>

#include "Core/details/CleaningRunScope.h"

namespace Varnex::Cleaner::Details {

class GarbageLoginItem;

// The applications that start when the user logs in (Platform/LoginItems.h),
// one root GarbageLoginItem each, and those the user switched off, which are
// remembered in the settings file GetSettingsPath() (a QSettings array
// "loginItems" of "path" values) so that they still show, switched off, in
// later scans. Nothing is removed from the disk: "cleaning" an item takes it
// out of the login list and forgets it.
//
// The settings file is written whole at the start of a scan, after cleaning,
// on Reset() and when the scope is destroyed, and only once a scan of this
// scope has read it (and the login list) and shown what they hold: a scope
// that never got that far never overwrites what an earlier session saved,
// and a settings file that exists but cannot be read is never overwritten.
// A write that fails keeps the file as it was (it is replaced atomically)
// and the entries in memory, for the next save.
//
// Threads: the scope's, including the login list calls.
class LoginItemGarbageScope : public CleaningRunScope {
    Q_OBJECT
public:
    explicit LoginItemGarbageScope(QObject* parent = nullptr);
    ~LoginItemGarbageScope() override;

    // $HOME/Library/Application Support/Varnex/Klarvik/loginItems.
    static QString GetSettingsPath();

    // Puts the application into the login list and shows it switched on.
    // False (nothing shown or changed) when it could not be inserted.
    bool AddLoginItem(const QString& path);
    // Writes the switched-off items to the settings file. True when written;
    // false when it failed (logged) or the scope has nothing it may write yet.
    bool SaveDisabledLoginItems();

    GarbageLoginItem* FindLoginItem(const QString& path) const;

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;
    // The whole scan is one step.
    float GetScanningProgress() const override { return 1.0f; }

public slots:
    void DoStartScanning() override;

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    BatchProducer<CleaningResult>* PrepareCleaningRun(long long* count) override;
    AbstractGarbage* FindItemForPath(const QString& path) const override;

private:
    class Impl;
    // Takes one item out of the login list for the cleaning run.
    CleaningResult DoCleanItem(const QString& path);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
