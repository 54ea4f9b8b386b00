#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <atomic>

// launchd's jobs through the `launchctl` tool, run by name as a child process
// (looked up in PATH; tests and the demo put a stand-in first).
namespace Varnex::Platform {

// What `launchctl list` said: the labels of the loaded jobs.
struct LaunchJobListing {
    bool ok = false;       // the tool ran, exited with 0 and its listing was read
    QSet<QString> labels;  // exact labels of the loaded jobs
    int badLines = 0;      // lines that were not "PID<TAB>status<TAB>label"
    bool header = false;   // it began with the header line
    QString problem;       // why it is not ok

    // Whether the job of `label` is loaded. False for an empty label and
    // whenever the listing could not be read: loaded is never guessed.
    bool IsLoaded(const QString& label) const {
        return ok && !label.isEmpty() && labels.contains(label);
    }
};

// How long a listing, a load or an unload may take.
constexpr int launchctlTimeLimitMs = 30000;

// Reads the output of `launchctl list`: an optional header line
// "PID\tStatus\tLabel", then one job a line, three columns separated by tabs:
// the PID (digits) or "-", the last exit status (an integer, possibly
// negative) or "-", and the label, taken whole as it stands. A line that is
// not of this shape (fewer or more columns, a PID that is not a number, an
// empty label, bytes that are not UTF-8) is counted in badLines and ignored.
// Sets ok (the text was read; whether it can be believed is ListLaunchJobs'
// judgement). Never logs.
LaunchJobListing ParseLaunchctlList(const QByteArray& output);

// Runs `launchctl list` and parses it. A tool that cannot be started, exits
// with another code than 0, is killed after the time limit or prints too much
// gives ok false and a problem; so does a listing without its header or with
// a line that cannot be read (the job on that line might be any of ours, so
// "not loaded" could not be believed for any). The failure is logged
// (WARNING). `*cancel` becoming true ends the run (ok false).
LaunchJobListing ListLaunchJobs(int timeLimitMs = launchctlTimeLimitMs,
                                const std::atomic<bool>* cancel = nullptr);

// Runs `launchctl load -w PATH` (or "unload"). True when it exited with 0;
// otherwise false, *problem says why, and a WARNING is logged. Whether the job
// is loaded afterwards is for ListLaunchJobs() to tell.
// `*cancel` becoming true kills the tool (false, "interrupted").
bool SwitchLaunchJob(const QString& path, bool load, QString* problem = nullptr,
                     int timeLimitMs = launchctlTimeLimitMs,
                     const std::atomic<bool>* cancel = nullptr);

}  // namespace Varnex::Platform
