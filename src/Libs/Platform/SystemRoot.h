#pragma once

#include <QString>

namespace Varnex::Platform {

// The environment variables that hold paths (HOME, KLARVIK_SYSROOT and the
// XDG_* folders) are read here and nowhere else, and their bytes become text
// only through the path codec (PathCodec.h): a value that is not strict UTF-8
// is refused, never approximated, so that no folder next to the intended one
// is ever taken for it.
enum class PathVariable {
    UNSET,        // missing or empty
    VALID,        // decoded
    UNDECODABLE,  // set, but not strict UTF-8 or not an absolute path
};
// *value (when given) receives the decoded text for VALID and is left as it
// is otherwise.
PathVariable ReadPathVariable(const char* name, QString* value = nullptr);
// The value's bytes as they are, nullptr when unset: for a cache that only has
// to notice a change. Never to be used as a path.
const char* PathVariableBytes(const char* name);
// "HOME" or "KLARVIK_SYSROOT" when that variable is set but does not decode or
// is not absolute (HOME first), otherwise nullptr. Nobody can tell where the home folder or
// the system root is then: the removal server does not start and IsPathSafe()
// is false for every path.
const char* UndecodablePathVariable();

// The folder below which the fixed macOS folders ("/Applications", "/Library",
// "/System/Library", "/Users", "/private/var", ...) are found: the value of the
// environment variable KLARVIK_SYSROOT without a trailing '/', or "" when it is
// unset, empty or "/" (the folders are then where macOS has them). When it does
// not decode, "/" followed by a lone surrogate: a root that no path built on it
// can cross to bytes with, so nothing is ever looked for in the real system
// folders instead.
// Read on every call, so a test or the demo may point it elsewhere at run time.
QString SystemRoot();

// A fixed system path as it lies on this machine: SystemRoot() + macPath.
// macPath must be absolute; a relative or empty one is returned unchanged.
// Every literal macOS folder goes through here before it is opened or compared.
QString SystemPath(const QString& macPath);

// The user's home folder: $HOME, or the passwd entry when HOME is unset or
// empty; an empty string when neither gives one, and when HOME does not decode
// (the passwd entry might name another folder than the one HOME meant).
QString HomePath();

}  // namespace Varnex::Platform
