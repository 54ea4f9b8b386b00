#include "Core/DatabaseInfo.h"

#include <errno.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QHash>
#include <QList>
#include <limits>

#include "CleanerCommon/LogText.h"

namespace Varnex::Cleaner {

namespace {

const QByteArray headerMagic = "ClamAV-VDB";
// Fields 0 to 3 are all that is used: the magic, time, version and count.
const int usedColons = 4;
// The largest zone offset there is (+14:00); anything past it is garbage.
const int maxZoneHours = 14;

const QHash<QString, int>& MonthTable() {
    static const QHash<QString, int> table{
        {QStringLiteral("Jan"), 1},  {QStringLiteral("Feb"), 2},  {QStringLiteral("Mar"), 3},
        {QStringLiteral("Apr"), 4},  {QStringLiteral("May"), 5},  {QStringLiteral("Jun"), 6},
        {QStringLiteral("Jul"), 7},  {QStringLiteral("Aug"), 8},  {QStringLiteral("Sep"), 9},
        {QStringLiteral("Oct"), 10}, {QStringLiteral("Nov"), 11}, {QStringLiteral("Dec"), 12},
    };
    return table;
}

bool AllDigits(const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

// A non-negative decimal number that fits an int: digits only, no sign, no
// blanks. False for anything else.
bool ParseCount(const QByteArray& field, int* value) {
    const QString text = QString::fromLatin1(field);
    if (!AllDigits(text) || text.size() > 10) {
        return false;
    }
    const qlonglong n = text.toLongLong();
    if (n > std::numeric_limits<int>::max()) {
        return false;
    }
    *value = static_cast<int>(n);
    return true;
}

// "14 Dec 2016 08-18 -0500" in UTC; invalid when any part does not read.
QDateTime ParseBuildTime(const QByteArray& field) {
    const QStringList parts = QString::fromLatin1(field).split(QLatin1Char(' '));
    if (parts.size() != 5) {
        return {};
    }
    QString day = parts[0];
    const QString& zone = parts[4];
    if (day.size() == 1) {
        day.prepend(QLatin1Char('0'));
    }
    const int month = MonthTable().value(parts[1], 0);
    if (month == 0 || zone.size() != 5 ||
        (zone[0] != QLatin1Char('+') && zone[0] != QLatin1Char('-')) || !AllDigits(zone.mid(1))) {
        return {};
    }
    const int zoneHours = zone.midRef(1, 2).toInt();
    const int zoneMinutes = zone.midRef(3, 2).toInt();
    if (zoneHours > maxZoneHours || zoneMinutes > 59) {
        return {};
    }
    const int offset =
        (zone[0] == QLatin1Char('-') ? -1 : 1) * (zoneHours * 3600 + zoneMinutes * 60);
    const QString text = day + QLatin1Char(' ') +
                         QString::number(month).rightJustified(2, QLatin1Char('0')) +
                         QLatin1Char(' ') + parts[2] + QLatin1Char(' ') + parts[3];
    QDateTime local = QDateTime::fromString(text, QStringLiteral("dd MM yyyy hh-mm"));
    if (!local.isValid()) {
        return {};
    }
    // Read as a wall-clock time, then placed at its zone.
    local = QDateTime(local.date(), local.time(), Qt::OffsetFromUTC, offset);
    return local.isValid() ? local.toUTC() : QDateTime();
}

std::string Describe(const QByteArray& header) {
    return Util::LogText(QString::fromLatin1(header.left(80)));
}

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(::strerror(error));
}

}  // namespace

void DatabaseInfo::Clear() {
    time = QDateTime();
    version = -1;
    signatures = 0;
}

DatabaseInfo DatabaseInfo::ParseHeader(const QByteArray& header) {
    DatabaseInfo info;
    if (header.count(':') < usedColons - 1) {
        LOG(WARNING) << "A database header with too few fields: \"" << Describe(header) << "\"";
        return info;
    }
    const QList<QByteArray> fields = header.split(':');
    if (fields[0] != headerMagic) {
        LOG(WARNING) << "Not a database header (bad magic): \"" << Describe(header) << "\"";
        return info;
    }
    int version = -1;
    int signatures = 0;
    if (!ParseCount(fields[2], &version) || !ParseCount(fields[3], &signatures)) {
        LOG(WARNING) << "A database header without a valid version and signature count: \""
                     << Describe(header) << "\"";
        return info;
    }
    info.version = version;
    info.signatures = signatures;
    info.time = ParseBuildTime(fields[1]);
    if (!info.time.isValid()) {
        LOG(WARNING) << "Can't read the build time of database version " << version << ": \""
                     << Util::LogText(QString::fromLatin1(fields[1])) << "\"";
    }
    return info;
}

DatabaseInfo DatabaseInfo::ReadFile(const QString& path, QString* problem) {
    auto fail = [&](const QString& text) {
        LOG(ERROR) << Util::LogText(text);
        if (problem) {
            *problem = text;
        }
        return DatabaseInfo();
    };
    if (problem) {
        problem->clear();
    }
    const QByteArray encoded = path.toLocal8Bit();
    if (path.isEmpty() || QString::fromLocal8Bit(encoded) != path) {
        return fail(QStringLiteral("Can't open ") + path + QStringLiteral(": bad path"));
    }
    // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
    const int fd = ::open(encoded.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return fail(QStringLiteral("Can't open ") + path + QStringLiteral(": ") + ErrnoText(errno));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(QStringLiteral("Can't read a database header: ") + path + QStringLiteral(": ") +
                    ErrnoText(error));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("Can't read a database header: ") + path +
                    QStringLiteral(" (not a regular file)"));
    }
    QByteArray header;
    char buf[headerSize];
    int colons = 0;
    QString readError;
    while (header.size() < headerSize && colons < usedColons) {
        const ssize_t n = ::read(fd, buf, static_cast<size_t>(headerSize - header.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            readError = ErrnoText(errno);
            break;
        }
        if (n == 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            header.append(buf[i]);
            if (buf[i] == ':' && ++colons == usedColons) {
                break;
            }
        }
    }
    ::close(fd);
    if (colons < usedColons) {
        QString why;
        if (!readError.isEmpty()) {
            why = QStringLiteral(": ") + readError;
        } else if (header.size() >= headerSize) {
            why = QStringLiteral(" (no header in the first %1 bytes)").arg(headerSize);
        } else {
            why = QStringLiteral(" (the file ends within the header)");
        }
        return fail(QStringLiteral("Can't read a database header: ") + path + why);
    }
    const DatabaseInfo info = ParseHeader(header);
    if (info.IsNull()) {
        return fail(QStringLiteral("Can't parse header of a local virus database: ") + path);
    }
    return info;
}

}  // namespace Varnex::Cleaner
