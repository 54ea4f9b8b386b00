#pragma once

namespace Varnex::Cleaner {

// The photo application (iPhoto) as a process, for the photo library's trash.
// Each call runs a command-line tool and waits for it, at most 30 s. Any
// thread.

// Whether the photo application runs (`ps`). When that cannot be told, true:
// a library that may be open is treated as open.
bool IsIPhotoAlive();
// Asks the photo application to quit (`killall iPhoto`); true when it exited 0.
bool KillIPhoto();
// Starts the photo application (`open /Applications/iPhoto.app`, below the
// system root); true when it exited 0.
bool OpenIPhoto();

}  // namespace Varnex::Cleaner
