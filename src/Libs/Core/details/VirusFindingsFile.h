#pragma once

#include <QString>
#include <vector>

namespace Varnex::Cleaner::Details {

// The infected files the last virus scan reported, kept between runs in one
// small file: a 64-bit big-endian count (the files the scanner reported on,
// -1: not known), then one line per finding.
//
// Lines were written as "<path>, <virus name>, <size>" until a path with ", "
// or a line break in it could not be told apart. They are written now behind
// a marker line, with the path and the name percent-encoded (UTF-8), so any
// name survives; files in the old form are still read, splitting each line at
// its last two ", " (a virus name has no ", "; a path may).
//
// Threads: any; one file per call.
class VirusFindingsFile {
public:
    struct Finding {
        QString path;
        QString name;
        long long size = 0;
    };

    // The findings in `path` whose line reads cleanly, in file order;
    // *handled gets the stored count (-1 when the file is missing or
    // unreadable). A missing file is no error; a damaged one is logged and
    // gives what can be read of it.
    static std::vector<Finding> Load(const QString& path, long long* handled);
    // Replaces the file as a whole (never a half-written one), creating its
    // folder. False, with a WARNING, when it could not be written.
    static bool Save(const QString& path, long long handled, const std::vector<Finding>& findings);
};

}  // namespace Varnex::Cleaner::Details
