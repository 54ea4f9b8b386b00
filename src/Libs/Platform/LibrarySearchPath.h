#pragma once

#include <QString>
#include <QStringList>

namespace Varnex::Platform {

// The environment variable through which a child process finds shared
// libraries that are not installed system-wide: DYLD_LIBRARY_PATH on macOS,
// LD_LIBRARY_PATH elsewhere.
QString LibrarySearchVariable();

// The value that puts `folders` first, ahead of `previous` (the value the
// variable had so far). Empty entries never appear: an empty entry would make
// the loader search the current folder.
QString PrependLibraryFolders(const QStringList& folders, const QString& previous);

}  // namespace Varnex::Platform
