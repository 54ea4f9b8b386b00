#include "CoreInt/CallStack.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <cstring>

namespace Varnex {

namespace {

const int maxFrames = 128;

std::string Demangle(const std::string& symbol) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !demangled) {
        return symbol;
    }
    std::string result(demangled);
    std::free(demangled);
    return result;
}

// backtrace_symbols() writes "module(symbol+0xoffset) [0xaddress]"; the
// symbol part may be empty and the parentheses missing.
std::string DescribeFrame(const char* text) {
    const char* open = std::strchr(text, '(');
    const char* close = open ? std::strchr(open, ')') : nullptr;
    if (!open || !close) {
        return text;
    }
    const std::string module(text, open);
    std::string inner(open + 1, close);
    std::string offset;
    const std::size_t plus = inner.rfind('+');
    if (plus != std::string::npos) {
        offset = inner.substr(plus);
        inner.resize(plus);
    }
    const char* address = std::strchr(close, '[');
    std::string line = inner.empty() ? (address ? std::string(address) : std::string("??"))
                                     : Demangle(inner) + (offset.empty() ? "" : " " + offset);
    return line + " (" + module + ")";
}

}  // namespace

__attribute__((noinline)) std::string GetCallStack() {
    void* frames[maxFrames];
    const int count = ::backtrace(frames, maxFrames);
    char** symbols = ::backtrace_symbols(frames, count);
    // The stack starts at the caller: frames before it are this function and,
    // under a sanitizer, the interceptor of backtrace().
    const void* caller = __builtin_return_address(0);
    int first = 1;
    for (int i = 0; i < count; ++i) {
        if (frames[i] == caller) {
            first = i;
            break;
        }
    }
    std::string result;
    for (int i = first; i < count; ++i) {
        result += "#" + std::to_string(i - first) + " ";
        result += symbols ? DescribeFrame(symbols[i]) : std::string("??");
        result += "\n";
    }
    std::free(symbols);
    return result;
}

}  // namespace Varnex
