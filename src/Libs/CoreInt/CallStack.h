#pragma once

#include <string>

namespace Varnex {

// The call stack of the calling thread as text, innermost caller first, one
// frame a line: "#0 Varnex::Foo::Bar(int) +0x1c (libfoo.so)". Function names
// are demangled where the symbol is known (functions of the executable need
// -rdynamic to be named; functions with internal linkage show as addresses).
// GetCallStack's own frame is left out. Meant to be appended to the message of
// an exception. Any thread; never throws for want of symbols.
std::string GetCallStack();

}  // namespace Varnex
