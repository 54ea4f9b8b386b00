#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// The persistent cache of what the slow scans found before: application
// bundles with their measured sizes, the localization folders of applications
// and of the system, and the localizations the user never wants offered for
// removal. Two SQLite files in "~/Library/Application Support/Varnex/Klarvik":
// apps.db (tables Application, L10n, L10nExclusion) and sysl10ns.db (SysL10n).
//
// Threads: every function may be called from any thread. Each thread gets its
// own connection per file, opened (and the file created or repaired) on its
// first call and closed when the thread ends. Failures are logged here and
// answered with false or an empty list; nothing throws.
//
// A file that another program holds locked costs a call on the main thread a
// fraction of a second and one on another thread at most five seconds; then
// every call fails at once until a retry delay has passed (one second,
// doubling while the lock stays, up to a minute). A file found damaged is set
// aside ("apps.db.invalid", ".invalid.1", ...) and made anew.
namespace Varnex::Cleaner::Details::AppsDB {

// Which file a function works on. Any other value makes every function fail.
enum DBName : int {
    Applications = 0,  // apps.db, table L10n for localizations
    SystemL10ns = 1,   // sysl10ns.db, table SysL10n
};

// One application bundle. Dates are kept to the whole second; an invalid date
// is stored as "unknown" and read back invalid.
struct Application {
    QString path;
    QString name;
    QString bundleId;
    qint64 size = 0;
    QDateTime lastModified;
    bool isDirty = false;  // a localization was removed after the size was measured
};

// One localization folder; appPath is empty for the system's localizations.
struct L10n {
    QString path;
    QString name;
    QString appPath;
    qint64 size = 0;
    QDateTime lastModified;
};

// Where the latest call on a file that reached it left it.
enum class Availability {
    AVAILABLE,  // it succeeded (also before any call)
    LOCKED,     // another connection held the file locked; calls fail at once until the retry time
    FAILED,     // any other failure (unreadable, not creatable, a statement failed)
};
Availability GetAvailability(DBName db);

// Applications. A bundle without a name or an identifier (null strings) is
// recorded with empty ones. Saving a path that is already recorded succeeds
// and leaves the recorded row as it is.
QList<Application> LoadApplications();
// The same, telling a failure (false) from an empty table. `stop` is asked
// while the call waits for a locked file: once it answers true the call gives
// up (false), for a newer one took its place.
bool LoadApplications(QList<Application>* apps, const std::function<bool()>& stop);
bool SaveApplication(const Application& app);
// isDirty false; an invalid lastModified takes the modification time of `path`.
bool SaveApplication(const QString& path, const QString& name, const QString& bundleId, qint64 size,
                     const QDateTime& lastModified);
// All of `apps` in one transaction, as SaveApplication would save each; on any
// failure none of them is saved.
bool SaveApplications(const QList<Application>& apps);
bool SetBundleSize(const QString& path, qint64 size);
bool RemoveApplicationByPath(const QString& path);

// Localizations.
QList<L10n> LoadL10ns(DBName db);
bool DeleteAllL10ns(DBName db);
bool SaveL10n(const L10n& l10n, DBName db);
bool SaveL10n(const QString& path, const QString& name, const QString& appPath, qint64 size,
              const QDateTime& lastModified, DBName db);
// All of `l10ns` in one transaction, as SaveL10n would save each; on any
// failure none of them is saved.
bool SaveL10ns(const QList<L10n>& l10ns, DBName db);
// Drops one localization row; for Applications its enclosing bundle is marked dirty.
bool RemoveL10nByPath(const QString& path, DBName db);
// Applications: drops the bundle's localizations and marks it dirty.
// SystemL10ns: the system's localizations have no owner, so all are dropped.
bool RemoveL10nsByAppPath(const QString& appPath, DBName db);

// The user's excluded localization names, in the order they were saved.
// Saving replaces the whole list at once: on failure the old list stays.
// Each file keeps its own list (L10nExclusion in apps.db, SysL10nExclusion in
// sysl10ns.db); the forms without a file are those of apps.db.
QStringList LoadL10nExclusions();
bool SaveL10nExclusions(const QStringList& names);
QStringList LoadL10nExclusions(DBName db);
bool SaveL10nExclusions(const QStringList& names, DBName db);

// The modification time of `path` (links followed), in UTC: what a row's
// lastModified holds. Invalid when unknown. Any thread.
QDateTime ModificationTime(const QString& path);

// Drop rows whose path is gone or was modified after it was measured (and,
// for applications, paths that are not bundles).
void ClearRemovedApplications();
void ClearRemovedL10ns(DBName db);

// Closes the calling thread's connections now instead of when the thread
// ends (for threads that live on but are done with the database). The next
// call opens them again.
void CloseConnections();

}  // namespace Varnex::Cleaner::Details::AppsDB
