#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace Varnex::Cleaner {

// What the header of a ClamAV signature database (a CVD header) tells: when
// the database was built, its version and how many signatures it holds. The
// header is ASCII text, fields separated by ':':
//   ClamAV-VDB:14 Dec 2016 08-18 -0500:22731:1540000:63:...
// field 0 the magic text, 1 the build time with its zone offset, 2 the
// version, 3 the signature count; later fields are not used.
//
// An unset info (IsNull()) has an invalid time, version -1 and 0 signatures;
// it stands for "no usable database", so a header that is not one never looks
// like an installed database.
struct DatabaseInfo {
    // A CVD header is this long; nothing past it is ever read.
    static constexpr int headerSize = 512;

    QDateTime time;  // build time in UTC; invalid when unset or unreadable
    int version = -1;
    int signatures = 0;

    bool IsNull() const { return version < 0; }
    void Clear();

    bool operator==(const DatabaseInfo& other) const {
        return time == other.time && version == other.version && signatures == other.signatures;
    }
    bool operator!=(const DatabaseInfo& other) const { return !(*this == other); }

    // Parses the first fields of a header (the installed file's or the first
    // bytes fetched from a mirror). Unset when the magic is not "ClamAV-VDB",
    // when fewer than four fields are there, or when the version or the
    // signature count is not a non-negative decimal number. A build time that
    // does not read leaves the time invalid but keeps version and count.
    // A rejected header is logged (WARNING) with the reason.
    static DatabaseInfo ParseHeader(const QByteArray& header);

    // Reads the header of the database file at `path`: at most headerSize
    // bytes, up to and including the fourth ':'. Only a regular file is read
    // (never a device, FIFO or socket, which could block or never end). On
    // failure the result is unset, *problem (when given) says why, in one of
    // the forms "Can't open <path>...", "Can't read a database header:
    // <path>..." or "Can't parse header of a local virus database: <path>",
    // and the same text is logged as an ERROR.
    static DatabaseInfo ReadFile(const QString& path, QString* problem = nullptr);
};

}  // namespace Varnex::Cleaner
