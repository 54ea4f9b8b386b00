#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Varnex::Platform {

// How one run of a command-line tool went.
struct ToolOutcome {
    bool started = false;
    bool timedOut = false;  // killed after the time limit
    bool crashed = false;   // ended by a signal
    int exitCode = -1;      // when it exited by itself
    QByteArray output;      // standard output (at most the output limit)
    QByteArray errorTail;   // the last 4 KiB of standard error
    bool outputCut = false; // it printed more than the limit (killed then)

    bool Succeeded() const { return started && !timedOut && !crashed && !outputCut && exitCode == 0; }
    // "exit code 3: <last error line>", "timed out after N ms", ... for log lines.
    QString Describe() const;
};

// Runs `program` (looked up in PATH) with `args`, standard input empty, in a
// process group of its own, and waits for it: at most `timeLimitMs`, after
// which the whole group is killed. Output beyond `outputLimit` bytes ends the
// run too (a tool that floods its pipe is not believed). Blocks the calling
// thread (any thread; no event loop needed). Never logs.
ToolOutcome RunTool(const QString& program, const QStringList& args, int timeLimitMs,
                    qint64 outputLimit = 16 << 20);

}  // namespace Varnex::Platform
