#pragma once

#include <QDateTime>
#include <QString>

namespace Varnex::Cleaner::Details {

// What `mdls -name kMDItemLastUsedDate PATH` prints, read. The tool's output
// is outside data: anything but the one expected line gives no date.
// Any thread; never logs.
class MdlsOutput {
public:
    // The one line mdls prints for the attribute:
    //   "kMDItemLastUsedDate = 2013-05-20 12:34:56 +0000"
    // as a local date-time. Anything else (no date for a never-used bundle,
    // more lines, another date form, a zone offset past +-14:59) gives a null
    // date-time, so that the caller falls back.
    static QDateTime ParseLastUsedDate(const QString& output);

    // "+0000" -> 0, "-0130" -> -5400 seconds; false for anything else.
    static bool ParseUtcOffset(const QString& text, int* seconds);
};

}  // namespace Varnex::Cleaner::Details
