#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

// Names taken apart from paths. Everything here is lexical: nothing touches the
// file system, "." and ".." are ordinary names, letter case matters, and empty
// components ("//", a trailing '/') are skipped. Any thread.
namespace Varnex::Cleaner {

// The outermost application bundle in `path`: the first component that ends in
// ".app" and has a name before it. A file of a helper application nested in
// another bundle belongs to the outer one, the application a user installed.
//   ExtractBundlePath("/Applications/Xcode.app/Contents/Applications/Instruments.app/x")
//     = "/Applications/Xcode.app";  ExtractBundleName(...) = "Xcode".
// Empty when there is none ("Foo.appx", ".app" and "Foo.App" are not bundles).
QString ExtractBundlePath(const QString& path);
QString ExtractBundleName(const QString& path);

// The bundle identifier a library path names: the first component below
//  - the per-user Darwin cache folder (GetDarwinUserCachePath(), when set), or
//  - the first "Library/Caches", "Library/Preferences",
//    "Library/Saved Application State" or "Library/Containers" in the path,
// taken as it stands (a preferences entry keeps its ".plist", a saved state its
// ".savedState"; callers strip them). So everything inside a sandbox container
// belongs to the container's application:
//   "~/Library/Caches/com.apple.Safari/x"                       -> "com.apple.Safari"
//   "~/Library/Preferences/com.apple.Safari.plist"              -> "com.apple.Safari.plist"
//   "~/Library/Containers/com.a.b/Data/Library/Caches/c/d"      -> "com.a.b"
// Empty for the library folders themselves and for every other path.
QString ExtractBundleIdentifier(const QString& path);

// The last component of a path for which ExtractBundleIdentifier() is not
// empty, empty otherwise. The two agree exactly for an entry directly inside a
// library folder ("Preferences/com.apple.Safari.plist"), not for anything
// deeper ("Preferences/ByHost/com.apple.Safari.1234.plist" gives "ByHost" and
// "com.apple.Safari.1234.plist").
QString ExtractBundleIdentifierLast(const QString& path);

// The innermost localization folder in `path`: a component "<name>.lproj" with
// a non-empty name (case-sensitive; "fr.lprojX" and ".lproj" are not one).
//   ExtractLProjPath("/A/Foo.app/Contents/Resources/fr_CA.lproj/x.strings")
//     = "/A/Foo.app/Contents/Resources/fr_CA.lproj";  ExtractLProjName(...) = "fr_CA".
// Empty when there is none.
QString ExtractLProjPath(const QString& path);
QString ExtractLProjName(const QString& path);

// The language of a localization name without region or script: everything
// before the first '_' or '-'. "fr_CA" -> "fr", "zh-Hans" -> "zh",
// "pt-BR" -> "pt", "English" -> "English", "Base" -> "Base".
QString ExtractBasicLangCode(const QString& lprojName);

// The folder that holds `path`: "/a/b/c" -> "/a/b", "/a" -> "/", "/a/b/" -> "/a";
// "/" and "" -> "". Scheme paths keep their scheme: "iPhoto://2015/Trip.album"
// -> "iPhoto://2015", and a top entry "iPhoto://2015" has no parent ("").
// A relative single name has none either.
QString ExtractParentPath(const QString& path);

// The last component: "/a/b.txt" -> "b.txt", "/a/b/" -> "b", "/" -> "".
QString ExtractFileName(const QString& path);

// `paths` without the entries that lie inside another entry or repeat an
// earlier one, compared by whole components: "/a/b" is inside "/a" and "/a/",
// not inside "/a/bc"; "/" holds every absolute path. Entries are kept in their
// order and spelling (the first spelling of a repeated one); empty entries are
// dropped. "." and ".." are not resolved.
QStringList FilterSubDirs(const QStringList& paths);

// An absolute path in the one spelling the scanner reports: repeated '/',
// "." components and a trailing '/' dropped ("/a//b/./c/" -> "/a/b/c"; "/"
// stays). Null for a path that is empty, relative, or has a ".." component
// (what it means depends on links, so it is not resolved here).
QString NormalizeAbsolutePath(const QString& path);

// Where the links of a path lead (realpath(3)), as bytes; empty when that
// cannot be told (a missing entry, an unreadable folder on the way).
std::string ResolveLinks(const std::string& path);

// Whether `path` lies inside a Trash folder: below a component named ".Trash"
// or ".Trash-<uid>" (a volume's), or below "$XDG_DATA_HOME/Trash" (default
// "$HOME/.local/share/Trash"). The Trash folder itself is not inside one.
bool IsInTrashFolder(const QString& path);

// Where the system keeps its own bundles and frameworks, below the system
// root: SystemPath("/System/Library"), SystemPath("/Library"); no trailing '/'.
QStringList GetSystemLibraryPrefixes();

// A path's hash for an open-addressing table with a power-of-two mask. qHash
// alone leaves the low bits poorly spread for paths with long common prefixes
// where Qt hashes without CRC32 (31 * h + c); a multiplicative finish spreads
// them.
std::uint32_t PathHash(const QString& path);

}  // namespace Varnex::Cleaner
