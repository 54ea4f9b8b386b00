#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <set>
#include <thread>

#include "Core/details/IScanProducer.h"

namespace Varnex::Cleaner::Details {

// A command-line tool as a scope's producer: its standard output, line by
// line. A reader thread runs the tool (looked up in PATH) in a process group of
// its own, with standard input empty, and splits what it prints on '\n'; a
// record is one line without its '\n', as bytes (a path in it is decoded by
// whoever parses the line, through the path codec). The unfinished tail of a
// read waits for the rest of its line; a last line without '\n' is a record
// too.
//
// The work ends when the tool has exited and its output was read. What is left
// of its process group then (helpers it started and left behind) is killed, so
// a run never leaves processes or zombies behind. It fails when:
//  - the tool could not be started (Start() returns false, a WARNING);
//  - it exited with a code outside the accepted set (by default only 0), or by
//    a signal it was not sent by us (a WARNING with its last error output);
//  - it was still running after the time limit (killed, an ERROR).
// Stop() kills the process group; the run then counts as stopped, not failed.
//
// A line longer than the line limit (1 MiB) is dropped whole, never cut
// (a cut line of a report could name another path), with one WARNING per run.
// At most `queueLimitBytes` of lines wait for TakeBatch(); beyond it the
// reader stops reading, so the tool waits on its full pipe. Wait() lifts the
// limit, so it cannot deadlock without a consumer.
//
// Threads: every call from one thread (the scope's); the reader runs on its own.
class ProcessLineProducer : public BatchProducer<QByteArray> {
public:
    static constexpr std::size_t defaultLineLimit = 1 << 20;
    static constexpr std::size_t queueLimitBytes = 16 << 20;
    static constexpr int defaultTimeLimitMs = 30 * 60 * 1000;

    ProcessLineProducer() = default;
    ~ProcessLineProducer() override;
    ProcessLineProducer(const ProcessLineProducer&) = delete;
    ProcessLineProducer& operator=(const ProcessLineProducer&) = delete;

    // What the next Start() runs. A program or argument that cannot be
    // encoded losslessly makes Start() fail.
    void SetCommand(const QString& program, const QStringList& args);
    // Exit codes that end the run without a failure (default {0}).
    void SetAcceptedExitCodes(std::set<int> codes) { m_acceptedCodes = std::move(codes); }
    // Variables ("NAME=value") the tool gets beyond, or instead of, this
    // process's own environment.
    void SetEnvironment(const QStringList& variables);
    // Milliseconds the tool may run; <= 0: no limit.
    void SetTimeLimit(int ms) { m_timeLimitMs = ms; }
    void SetLineLimit(std::size_t bytes) { m_lineLimit = bytes > 0 ? bytes : 1; }

    // Stops and waits for a run still going, then starts the command anew.
    bool Start() override;
    bool IsWorking() const override;
    bool HasFailed() const override;
    bool WasStopped() const override;
    void Stop() override;
    void Wait() override;

    // Holds the tool's whole process group (SIGSTOP) and lets it go on
    // (SIGCONT); what it printed before stays queued. False when no run is
    // under way.
    bool Pause();
    bool Resume();

    // The tool's exit code once the run is over; -1 while running, when it
    // did not start, was killed or ended by a signal.
    int GetExitCode() const;
    // The last lines of its error output (at most 4 KiB), for the scope's log.
    QByteArray GetErrorTail() const;

protected:
    Batch DoTakeBatch() override;
    void DoClear() override;

private:
    void DoRead(pid_t pid, int outFd, int errFd, int wakeFd);
    void DoFinish(pid_t pid, bool killed, bool timedOut);
    // Appends the complete lines of `data` to the queue (caller holds m_mutex).
    void DoSplit(const char* data, std::size_t size, bool last);
    void TellLongLine() const;
    void DoWake() const;
    void DoJoin();

    QByteArray m_program;
    std::vector<QByteArray> m_args;
    std::vector<QByteArray> m_environment;  // the overrides, encoded
    bool m_environmentValid = true;
    bool m_commandValid = false;
    QString m_commandText;  // for log lines
    std::set<int> m_acceptedCodes{0};
    int m_timeLimitMs = defaultTimeLimitMs;
    std::size_t m_lineLimit = defaultLineLimit;

    std::thread m_reader;
    int m_wakeFd = -1;  // eventfd that wakes the reader (stop, space in the queue)

    mutable std::mutex m_mutex;
    std::condition_variable m_space;
    Batch m_pending;
    std::size_t m_pendingBytes = 0;
    QByteArray m_tail;
    bool m_skippingLongLine = false;
    bool m_warnedLongLine = false;
    bool m_longLineToTell = false;
    QByteArray m_errorTail;
    bool m_working = false;
    bool m_failed = false;
    bool m_stopped = false;
    bool m_unlimited = false;
    int m_exitCode = -1;
    pid_t m_pid = -1;  // the running tool, until it is reaped (under m_mutex)
    std::atomic<bool> m_stopRequested{false};
};

}  // namespace Varnex::Cleaner::Details
