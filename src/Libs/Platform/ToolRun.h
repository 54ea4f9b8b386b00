#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>

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
    bool interrupted = false;  // killed because the runs were interrupted

    bool Succeeded() const {
        return started && !timedOut && !crashed && !outputCut && !interrupted && exitCode == 0;
    }
    // "exit code 3: <last error line>", "timed out after N ms", ... for log lines.
    QString Describe() const;
};

// Runs `program` (looked up in PATH) with `args`, standard input empty, in a
// process group of its own, and waits for it: at most `timeLimitMs`, after
// which the whole group is killed. Output beyond `outputLimit` bytes ends the
// run too (a tool that floods its pipe is not believed), and so do
// InterruptToolRuns() and `*cancel` becoming true (a run the caller gave up
// on: interrupted). Blocks the calling thread (any thread; no event loop
// needed). Never logs.
ToolOutcome RunTool(const QString& program, const QStringList& args, int timeLimitMs,
                    qint64 outputLimit = 16 << 20, const std::atomic<bool>* cancel = nullptr);

// Kills the tools being run and makes every later RunTool() return at once,
// interrupted: for a program that is ending (Ctrl-C, quitting). The child
// runs in a group of its own and never sees the terminal's signal; this is
// how it learns. Async-signal-safe.
void InterruptToolRuns();
// Whether InterruptToolRuns() was called.
bool AreToolRunsInterrupted();

}  // namespace Varnex::Platform
