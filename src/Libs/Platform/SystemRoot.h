#pragma once

#include <QString>

namespace Varnex::Platform {

// The folder below which the fixed macOS folders ("/Applications", "/Library",
// "/System/Library", "/Users", "/private/var", ...) are found: the value of the
// environment variable KLARVIK_SYSROOT without a trailing '/', or "" when it is
// unset, empty or "/" (the folders are then where macOS has them).
// Read on every call, so a test or the demo may point it elsewhere at run time.
QString SystemRoot();

// A fixed system path as it lies on this machine: SystemRoot() + macPath.
// macPath must be absolute; a relative or empty one is returned unchanged.
// Every literal macOS folder goes through here before it is opened or compared.
QString SystemPath(const QString& macPath);

// The user's home folder: $HOME, or the passwd entry when HOME is unset or
// empty; an empty string when neither gives one.
QString HomePath();

}  // namespace Varnex::Platform
