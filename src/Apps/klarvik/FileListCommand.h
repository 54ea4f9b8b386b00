#pragma once

#include <QString>

#include "Commands.h"
#include "TreeCensus.h"

namespace Varnex::Cleaner {
class AbstractGarbage;
class AbstractGarbageScope;
}  // namespace Varnex::Cleaner

namespace Klarvik {

// A kind whose scan gives a flat list of files (large and old files, infected
// files): what differs from one such kind to another.
class FileListKind {
public:
    virtual ~FileListKind() = default;

    virtual Varnex::Cleaner::AbstractGarbageScope& Scope() = 0;
    // Takes a path of the command line; false with the reason when it can't.
    virtual bool AddPath(const QString& path, bool cleaning, QString* refusal) = 0;
    // The paths taken.
    virtual int PathCount() const = 0;
    // "searching", "scanning": what is done to a path.
    virtual QString Verb() const = 0;
    // Said when no path of the command line could be taken.
    virtual QString NoPathMessage() const = 0;
    // One line of the list, after the check box.
    virtual QString Line(Varnex::Cleaner::AbstractGarbage* item) const = 0;
    // The items and what the scan left out.
    virtual TreeCensus Census() const = 0;
    // Why the scan failed, when it did and the kind knows; empty otherwise.
    virtual QString ScanProblem() const { return QString(); }
};

// `klarvik scan|clean --kind KIND [--select PATH]... PATH...` for such a kind:
// the files largest first, then, for clean, exactly the items selected (by
// default, or with --select) removed after a confirmation (--yes, --dry-run).
// Main thread; returns an exit code of Commands.h.
int RunFileList(const Options& options, FileListKind& kind);

}  // namespace Klarvik
