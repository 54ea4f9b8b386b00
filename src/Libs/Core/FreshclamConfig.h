#pragma once

#include <QString>

namespace Varnex::Cleaner::Details {

// The updater's configuration file (freshclam.conf in the engine's etc
// folder) and what its exit codes mean.
class FreshclamConfig {
public:
    // Writes the two lines
    //   DatabaseDirectory <dbFolder>
    //   DatabaseMirror <mirrorHost>
    // as local 8-bit text, creating the folder of `confPath` (and its parents)
    // first. The file is replaced atomically: a failure leaves the old file
    // (or none), never half a file. False, with the reason in *problem and an
    // ERROR, when the folder can't be created, the file can't be written, or
    // the values would not give exactly those two lines (empty, a line break,
    // a zero byte, a blank in the host, text local 8-bit can't hold). A
    // symbolic link at `confPath` is refused, not written through.
    static bool Write(const QString& confPath, const QString& dbFolder, const QString& mirrorHost,
                      QString* problem = nullptr);

    // What a freshclam exit code means, for the log and the user.
    static QString DescribeExit(int code);
};

}  // namespace Varnex::Cleaner::Details
