#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "Async/AsyncCache.h"

// The inventory of installed applications: where application bundles are
// searched for, the fixed name sets that classify them, the split into
// standard and other vendors' applications, the sandbox data folders, and the
// exclusion checkers the facade gives the localization and the large and old
// files scopes.
//
// Fixed macOS folders are taken below the system root (Platform::SystemPath())
// and the user's own below the home folder, at every call.
//
// Threads: the name sets are constants built when the library is loaded,
// before any thread starts; everything here may be called from any thread
// except MakeApplicationCaches() (main thread).
namespace Varnex::Cleaner {

// Applications whose bundles are never listed and whose localizations are
// never offered (46 names).
extern const QSet<QString> systemProtectedApplications;
// Applications counted as standard (49 names).
extern const QSet<QString> standardApplications;
// systemProtectedApplications and a few more that are in neither list
// (the product's own application among them).
extern const QSet<QString> excludedApplications;
// Folders (as on a Mac) whose applications are in neither list.
extern const QStringList excludedPrefixes;

// The application bundles below `roots`, down to seven folder levels below
// each root (`depth` is the level of the roots, 0 at the top). With no roots:
// every application folder of every domain except the per-user ones below
// SystemPath("/Users"), then SystemPath("/Users") itself, so that every user's
// home folder is searched. Bundles of systemProtectedApplications are left
// out, bundles are not searched inside, links to other folders are not
// followed (logged "PASSING SYMLINK: "), hidden entries and names that are not
// UTF-8 are skipped, and a link to a bundle that is listed by its own path is
// dropped. Paths are absolute and in the order found.
//
// `stop` is asked before every entry; once it answers true the result is
// empty, never a part of the list.
QStringList GetApplications(const std::function<bool()>& stop, const QStringList& roots, int depth);

// The name of the application a bundle path names: the last component up to
// its first '.': "/Applications/Foo.Bar.app" -> "Foo". "" for a path ending
// in '/'.
QString ExtarctApplicationName(const QString& path);

// Whether the application at `path` is in neither the standard nor the other
// vendors' list: its name is in excludedApplications, or it lies inside one
// of excludedPrefixes (below the system root; whole components compare, so
// "/Applications/Utilities Pro.app" is not inside "/Applications/Utilities").
bool IsAppExcluded(const QString& path);

// The user's Library folder (Platform::UserLibraryDirectory(): $HOME/Library).
// Empty when there is no usable home folder: callers never build a path on an
// empty answer (it would resolve against the current folder).
QString GetPathUserLibrary();

// For every sandbox container of the user, "<container>/Data/Library/" +
// subFolder when that is a folder. Paths reached through a symbolic link are
// left out, so a root never leads outside its container. Empty without a
// user Library folder or for an empty or non-relative sub-folder.
QStringList GetSandboxPaths(const QString& subFolder);

// Which applications a split keeps.
enum class ApplicationGroup { STANDARD, OTHER };

// The applications of `group` among `paths`, in order: those not excluded by
// IsAppExcluded() whose name is (STANDARD) or is not (OTHER) in
// standardApplications.
QStringList SplitApplications(const QStringList& paths, ApplicationGroup group);

using ApplicationPathsCache = AsyncCache<QStringList>;

// The producer of the application paths cache: GetApplications(stop, {}, 0).
ApplicationPathsCache::Producer MakeApplicationPathsProducer();

// The producer of a split cache. It takes the paths cache's current value
// (waiting for the run under way, and giving up when its own stop predicate
// turns true) and splits it. When the paths cache has no value that is ready
// (no run, canceled, failed) the run fails instead of answering an empty
// list, so a reader never takes "no applications" for the truth.
//
// The producer holds `paths` until it is destroyed: the split cache keeps the
// paths cache alive, and both are released on the main thread.
ApplicationPathsCache::Producer MakeApplicationSplitProducer(
    std::shared_ptr<ApplicationPathsCache> paths, ApplicationGroup group);

// The three caches the facade shares between the application and
// localization scopes.
struct ApplicationCaches {
    std::shared_ptr<ApplicationPathsCache> paths;
    std::shared_ptr<ApplicationPathsCache> standard;
    std::shared_ptr<ApplicationPathsCache> other;
};

// Main thread: creates the three caches with their producers and INFO lines
// on readiness ("A list of all applications has been loaded", "A list of
// strandard applications has been loaded", "A list of third party
// applications has been loaded") and refreshes them, the paths cache first.
// Register callbacks of your own with CallOnReady() on the returned caches
// before the event loop runs again.
ApplicationCaches MakeApplicationCaches();

// The exclusion checker of the unused application languages scope: the path
// lies in a bundle of systemProtectedApplications.
bool IsL10nOfProtectedApplication(const QString& path);

// The exclusion checker of the large and old files scope: the product's own
// files ("varnex" in any letter case) inside a bundle or in the user's
// Library folder.
bool IsLargeAndOldExcluded(const QString& path);

}  // namespace Varnex::Cleaner
