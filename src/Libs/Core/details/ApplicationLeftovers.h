#pragma once

#include <QString>
#include <QStringList>
#include <vector>

// What belongs to an application outside its bundle: the library folders
// searched and the names that tie an entry to a bundle identifier. Entries are
// tied by the exact identifier only, never by a part of the application's
// name: a name like "Notes" or "Mail" is shared by many unrelated things.
// Crash reports are the exception, as the system names them after the
// application's file name. Pure functions of text; any thread.
namespace Varnex::Cleaner::Details::ApplicationLeftovers {

// A bundle identifier that may go into a path: reverse-DNS characters only
// (ASCII letters, digits, '.', '-', '_'), at least two components, no empty
// component (so never "", ".", "..", a leading or trailing '.'), no '/'.
bool IsValidBundleIdentifier(const QString& id);

// Where leftovers are searched: the entries directly inside `folder` that
// Matches() ties to an identifier go into the group `group`.
struct Root {
    QString group;
    QString folder;
    enum Rule {
        CACHES,       // id, id.cache, id.plist
        PREFERENCES,  // id.plist
        SAVED_STATE,  // id.savedState
        PLAIN,        // id
        GROUP,        // <team>.id, the team ten upper-case letters or digits
        HTTP,         // id, id.binarycookies
        CRASHES,      // crash reports: see CrashOwner()
    } rule = PLAIN;
};

// The group names, as shown.
extern const QString cachesName;
extern const QString preferencesName;
extern const QString savedStatesName;
extern const QString crashesName;

// The roots below the user's Library folder `library` (and the per-user
// Darwin cache folder `darwinCache` when not empty), in the order groups are
// shown. Empty without a library folder.
std::vector<Root> MakeRoots(const QString& library, const QString& darwinCache);

// Whether the entry `name` directly inside a root of `rule` belongs to `id`
// (valid identifiers only; hidden names never match). Not for CRASHES.
bool Matches(Root::Rule rule, const QString& name, const QString& id);

// Whether `name` is the name of a crash report (".crash", ".plist" or ".ips").
bool IsCrashReport(const QString& name);

// The key of `candidates` (application file names without ".app", and
// identifiers) that a crash report named `name` is filed under: the longest
// one that `name` starts with followed by '_'. Empty when none does, or when
// the longest match is not unique (`candidates` may repeat a key: two
// applications of one name can not be told apart by their reports). A
// ".ips" report is filed under the name before its time stamp, exactly.
QString CrashOwner(const QString& name, const QStringList& candidates);

// Whether `path` is `folder` or lies inside it, comparing whole components
// ("/L/Caches2" is not inside "/L/Caches").
bool IsSameOrInside(const QString& path, const QString& folder);

}  // namespace Varnex::Cleaner::Details::ApplicationLeftovers
