#include "Platform/AppleScript.h"

#include "Platform/ToolRun.h"

namespace Varnex::Platform {

namespace {

// What a script prints is its result; nothing the caller reads.
const qint64 outputLimit = 1 << 20;

}  // namespace

bool RunAppleScript(const QString& source, int timeLimitMs, QString* error,
                    const std::atomic<bool>* cancel) {
    const ToolOutcome outcome = RunTool(QStringLiteral("osascript"),
                                        {QStringLiteral("-e"), source}, timeLimitMs, outputLimit,
                                        cancel);
    if (outcome.Succeeded()) {
        return true;
    }
    if (error) {
        *error = outcome.Describe();
    }
    return false;
}

}  // namespace Varnex::Platform
