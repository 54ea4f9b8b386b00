#pragma once

#include <QStringList>

#include "ScopeKind.h"

namespace Klarvik {

// What the command line asked for.
struct Options {
    QString command;  // "scan" or "clean"
    ScopeKind kind = ScopeKind::Caches;
    QStringList paths;
    QStringList exclusions;
    QStringList selections;  // absolute, in the scan's spelling
    bool json = false;       // one JSON document
    bool jsonl = false;      // JSON Lines: a record an item, progress, a summary
    bool list = false;       // after cleaning, what was removed and the tree as it is
    bool quiet = false;      // text: the totals without the tree
    int depth = -1;          // text: the tree down to this depth (0: roots); -1 all
    QString sort;            // text: "size", "name" or empty (the tree's order)
    bool yes = false;
    bool dryRun = false;
    // --kind duplicates
    QString keep;              // "newest" (default) or "oldest"
    bool deleteFiles = false;  // --delete: not to the Trash
    bool gentle = false;       // --gentle: the library's pause per entry
    // --kind launch-agents|login-items
    QStringList enables;   // --enable: switched on after the scan
    QStringList disables;  // --disable: switched off after the scan
    // scan|clean with scope names: the folders the antivirus scope scans
    QStringList antiVirusPaths;  // --antivirus-path
};

// Exit codes: 0 done; 1 something failed, an item anywhere in the tree is in
// error, or a root was refused while others were scanned;
// 2 bad usage or no root could be scanned; 130 stopped by Ctrl-C.
enum ExitCode { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_INTERRUPTED = 130 };

// Scans and prints the tree and the totals.
int RunScan(const Options& options);
// Scans, then cleans what is selected by default, after a confirmation.
int RunClean(const Options& options);

}  // namespace Klarvik
