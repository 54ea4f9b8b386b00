#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Varnex::Cleaner {

// The engine's version data, all of it outside data: the installed engine's
// file "version" and the engine information document of the download
// location. Any thread; never logs (the callers say what was refused).
class EngineVersion {
public:
    // The largest engine information document read; a larger one is refused.
    static constexpr qint64 infoLimitBytes = 64 * 1024;

    // A version names a folder and goes into file names and URLs: non-empty,
    // at most 32 characters, digits with dot-separated parts and an optional
    // "-suffix" (`^[0-9]+(\.[0-9A-Za-z]+)*(-[0-9A-Za-z.]+)?$`), no "..".
    static bool IsSafe(const QString& version);

    // The text of an installed "version" file (its first bytes, at most a few
    // hundred): up to a zero byte, line ends dropped, trimmed.
    static QString FromVersionFile(QByteArray bytes);

    // The versions the information document offers, in its order: the safe
    // strings of the array "engineVersions" of its top object. Strings that
    // are not safe versions go to *rejected. False, with *problem, when the
    // body is larger than infoLimitBytes or is not JSON; then no version.
    static bool FromInfoDocument(const QByteArray& body, QStringList* versions,
                                 QStringList* rejected, QString* problem);
};

}  // namespace Varnex::Cleaner
