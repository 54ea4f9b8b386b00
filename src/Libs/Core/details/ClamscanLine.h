#pragma once

#include <QByteArray>
#include <QString>

namespace Varnex::Cleaner::Details {

// One line of what `clamscan` prints, taken apart and nothing more: whether a
// reported path names a file that exists, lies below what was scanned and is
// no exclusion is for the scope to tell. The output is outside data; a line
// of no known shape is OTHER. Any thread; never logs.
//   "/path/to/file: OK", "/path/to/file: Eicar-Test-Signature FOUND"
//       -> RESULT: the path is what comes before the last ": " (a name may
//          hold one), the result what follows; a line with a zero byte is
//          OTHER (no path holds one);
//   "----------- SCAN SUMMARY -----------" -> SUMMARY;
//   "Total errors: 2", after the summary line -> ERRORS.
class ClamscanLine {
public:
    enum Kind { OTHER, SUMMARY, ERRORS, RESULT };

    Kind kind = OTHER;
    QByteArray path;       // RESULT: the path's bytes, starting with '/'
    QByteArray result;     // RESULT: what the scanner said of it
    long long errors = 0;  // ERRORS: the count as printed (0 when unreadable)

    // `summarySeen`: whether the summary line came earlier in the output.
    static ClamscanLine Parse(const QByteArray& line, bool summarySeen);

    // Whether a RESULT says the file is infected ("... FOUND").
    bool IsFound() const;
    // The virus name of a FOUND result (UTF-8); null otherwise.
    QString VirusName() const;
    // Whether `name` can be a virus name: a short text without control
    // characters. Anything else on a FOUND line is not one.
    static bool IsPlausibleVirusName(const QString& name);

    static constexpr int maxVirusNameLength = 256;
};

}  // namespace Varnex::Cleaner::Details
