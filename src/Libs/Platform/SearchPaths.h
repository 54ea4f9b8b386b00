#pragma once

#include <QString>
#include <QStringList>

// The folders Cocoa's search-path look-ups name on a Mac, answered for this
// machine: fixed system folders lie below the system root (SystemPath()), the
// user's own below the home folder. Any thread; nothing here touches the file
// system, so the folders need not exist (neither does Cocoa check).
namespace Varnex::Platform {

// NSSearchPathForDirectoriesInDomains(NSAllApplicationsDirectory,
// NSAllDomainsMask, YES): the folders where applications are installed, domain
// by domain (user, local, network, system) and within each domain
// Applications, Applications/Utilities, Developer/Applications and
// Applications/Demos:
//   ~/Applications ... ~/Applications/Demos        (left out without a home)
//   /Applications ... /Applications/Demos
//   /Network/Applications ... /Network/Applications/Demos
//   /System/Applications ... /System/Applications/Demos
// The user's entries are below HomePath(), every other one below SystemPath().
QStringList AllApplicationsDirectories();

// The folders of the user domain alone (the first four entries above, or none).
QStringList UserApplicationsDirectories();

// NSFileManager's URLForDirectory:NSLibraryDirectory inDomain:NSAllDomainsMask:
// the user's Library folder, HomePath() + "/Library". Empty when there is no
// usable home: not an absolute path, or the file-system root itself (QDir
// answers "/" when HOME is unset, and "/Library" is the machine's library,
// not the user's).
QString UserLibraryDirectory();

// The home folder if it can stand for the user's own folder (an absolute path
// other than "/", without a trailing '/'), else empty.
QString UsableHomePath();

}  // namespace Varnex::Platform
