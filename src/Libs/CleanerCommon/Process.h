#pragma once

#include <QString>
#include <QStringList>

// Running a command-line tool and taking what it prints.
namespace Varnex::Cleaner {

// How long ReadProcess() lets a tool run unless told otherwise: 30 seconds.
// Callers on the main thread pass a few seconds of their own.
constexpr int readProcessTimeLimitMs = 30000;

// Runs `program` (looked up in PATH) with the arguments, waits for it to end
// and returns its standard output, decoded as UTF-8 (bytes that are not become
// U+FFFD: this is report text, never a path). Standard input is empty and
// standard error is discarded. The exit status does not matter.
//  - A program that cannot be started gives an empty text and a WARNING.
//  - A program still running after the time limit is killed together with
//    everything it started (it runs in a process group of its own); an ERROR is
//    logged and the output read until then is returned.
//  - A program that dies of a signal of its own (a crash) gives an empty
//    text and an ERROR: what it printed may stop anywhere.
// Blocks the calling thread (any thread; no event loop needed).
QString ReadProcess(const QString& program, const QString& arg);
QString ReadProcess(const QString& program, const QString& arg1, const QString& arg2,
                    const QString& arg3);
QString ReadProcess(const QString& program, const QStringList& args,
                    int timeLimitMs = readProcessTimeLimitMs);

}  // namespace Varnex::Cleaner
