#pragma once

#include <QString>

namespace Varnex::Cleaner::Details {

// Where the user's photo library (the iPhoto library) is, and whether its
// application runs. The photo application names the library in its
// preferences, $HOME/Library/Preferences/com.apple.IPhoto.plist, key
// "RootDirectory".
//
// Any thread.
class PhotoLibrary {
public:
    static QString GetPreferencesPath();
    // The library folder the preferences name; empty when they name none.
    static QString LoadLibraryPath();
    // LoadLibraryPath() names an existing folder.
    static bool DoesLibraryExist();
    // The library's main database, "Database/Library.apdb".
    static QString GetDatabasePath(const QString& libraryPath);

    // Whether the photo application runs: a process whose program is
    // ".../iPhoto.app/Contents/MacOS/iPhoto" (`ps ax -o command=`). When that
    // cannot be told (ps fails), true, with *problem saying why: nothing is
    // written to a library that may be open.
    static bool IsApplicationRunning(QString* problem = nullptr);
};

}  // namespace Varnex::Cleaner::Details
