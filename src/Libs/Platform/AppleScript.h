#pragma once

#include <QString>
#include <atomic>

namespace Varnex::Platform {

// Runs an AppleScript source through `osascript -e SOURCE` (looked up in
// PATH) and waits for it, at most `timeLimitMs` (then it is killed), or until
// `*cancel` becomes true. True when the script ran and returned; otherwise
// *error tells what went wrong: the tool's message and exit code, a time-out,
// a crash, or that it could not be started. Blocks the calling thread (any
// thread). Never logs.
bool RunAppleScript(const QString& source, int timeLimitMs, QString* error,
                    const std::atomic<bool>* cancel = nullptr);

}  // namespace Varnex::Platform
