// system_profiler: a stand-in for the macOS tool of that name on machines that
// lack it. It prints the hardware, software, memory and displays reports about
// this machine in the text layout the cleaner reads:
//
//   Hardware:                       <- report title
//                                   <- empty line
//       Hardware Overview:          <- section title
//                                   <- empty line
//         Model Name: ...           <- "Key: value" lines
//
// Sources: /proc/cpuinfo, /proc/meminfo, /proc/uptime, /sys/class/dmi/id,
// /proc/device-tree/model, /etc/os-release, the user database and
// /sys/class/drm. A field with no source is left out.
//
// Usage: system_profiler [DATA_TYPE...]   (no data type: every report)
//        system_profiler -listDataTypes
// Unknown data types print nothing, as the real tool does.
//
// KLARVIK_PROFILER_ROOT, when set, is a folder that stands in for "/" when the
// sources are read (tests lay out fake /proc and /sys trees there).
#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QSysInfo>
#include <cstdio>

#include "Platform/PathCodec.h"

namespace {

const char* const dataTypes[] = {"SPHardwareDataType", "SPSoftwareDataType", "SPMemoryDataType",
                                 "SPDisplaysDataType"};

// Firmware fields that vendors leave filled with placeholders.
const char* const placeholders[] = {"to be filled by o.e.m.",
                                    "default string",
                                    "not specified",
                                    "system product name",
                                    "system version",
                                    "none",
                                    "o.e.m.",
                                    "not applicable",
                                    "n/a",
                                    "unknown",
                                    "0123456789"};

QString Source(const QString& path) {
    static const QString root =
        Varnex::Platform::DecodePathOrNull(qgetenv("KLARVIK_PROFILER_ROOT").toStdString());
    return root + path;
}

QByteArray ReadBytes(const QString& path) {
    QFile file(Source(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // Files below /proc and /sys report no size: read to the end, within reason
    // (/proc/cpuinfo of a machine with hundreds of processors runs to megabytes).
    return file.read(16 << 20);
}

// The first line of a one-value file, trimmed; empty when missing.
QString ReadValue(const QString& path) {
    QByteArray bytes = ReadBytes(path);
    const int end = bytes.indexOf('\n');
    if (end >= 0) {
        bytes.truncate(end);
    }
    bytes.replace('\0', "");  // device-tree strings end in NUL
    return QString::fromUtf8(bytes).trimmed();
}

QString FirmwareValue(const QString& name) {
    const QString value = ReadValue(QStringLiteral("/sys/class/dmi/id/") + name);
    for (const char* placeholder : placeholders) {
        if (value.compare(QLatin1String(placeholder), Qt::CaseInsensitive) == 0) {
            return {};
        }
    }
    return value;
}

// The lines of a report; Field() leaves out fields without a value.
class Report {
public:
    explicit Report(const char* title) { m_text = QLatin1String(title) + QLatin1String(":\n\n"); }
    void Title(int indent, const QString& title) {
        m_text += QString(indent, QLatin1Char(' ')) + title + QLatin1String(":\n");
    }
    void Field(int indent, const char* key, const QString& value) {
        if (!value.isEmpty()) {
            m_text += QString(indent, QLatin1Char(' ')) + QLatin1String(key) + QLatin1String(": ") +
                      value + QLatin1Char('\n');
        }
    }
    void Blank() { m_text += QLatin1Char('\n'); }
    const QString& Text() const { return m_text; }

private:
    QString m_text;
};

// "24 GB" for memory totals as the hardware overview shows them (binary units,
// whole numbers, like an installed amount).
QString WholeSize(long long bytes) {
    const long long mb = 1024LL * 1024;
    if (bytes >= 1024 * mb) {
        return QString::number((bytes + 512 * mb) / (1024 * mb)) + QLatin1String(" GB");
    }
    return QString::number(bytes / mb) + QLatin1String(" MB");
}

// "2.6 GHz", "3.06 GHz", "800 MHz".
QString Frequency(double mhz) {
    if (mhz < 1000) {
        return QString::number(qRound(mhz)) + QLatin1String(" MHz");
    }
    QString number = QString::number(mhz / 1000, 'f', 2);
    while (number.endsWith(QLatin1Char('0'))) {
        number.chop(1);
    }
    if (number.endsWith(QLatin1Char('.'))) {
        number.chop(1);
    }
    return number + QLatin1String(" GHz");
}

// "MemTotal: 24683792 kB" -> bytes; 0 when missing.
long long MemoryTotal() {
    const QStringList lines =
        QString::fromUtf8(ReadBytes(QStringLiteral("/proc/meminfo"))).split(QLatin1Char('\n'));
    static const QRegularExpression total(QStringLiteral("^MemTotal:\\s*([0-9]+)\\s*kB$"));
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = total.match(line.trimmed());
        if (match.hasMatch()) {
            return match.captured(1).toLongLong() * 1024;
        }
    }
    return 0;
}

struct Processors {
    QString name;
    double mhz = 0;
    int packages = 0;
    int cores = 0;
};

Processors ReadProcessors() {
    Processors result;
    QSet<QString> packages;
    QSet<QString> cores;
    int logical = 0;
    QString package;
    const QStringList lines =
        QString::fromUtf8(ReadBytes(QStringLiteral("/proc/cpuinfo"))).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0) {
            continue;
        }
        const QString key = line.left(colon).trimmed();
        const QString value = line.mid(colon + 1).trimmed();
        if (key == QLatin1String("processor")) {
            ++logical;
        } else if (result.name.isEmpty() &&
                   (key == QLatin1String("model name") || key == QLatin1String("cpu model") ||
                    key == QLatin1String("Hardware"))) {
            result.name = value;
        } else if (result.mhz == 0 && key == QLatin1String("cpu MHz")) {
            result.mhz = value.toDouble();
        } else if (key == QLatin1String("physical id")) {
            package = value;
            packages.insert(value);
        } else if (key == QLatin1String("core id")) {
            cores.insert(package + QLatin1Char('/') + value);
        }
    }
    // The highest rated speed when the kernel knows it, else the current one.
    const double maxKhz =
        ReadValue(QStringLiteral("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"))
            .toDouble();
    if (maxKhz > 0) {
        result.mhz = maxKhz / 1000;
    }
    result.packages = packages.size();
    result.cores = cores.isEmpty() ? logical : cores.size();
    return result;
}

QString Hardware() {
    Report report("Hardware");
    report.Title(4, QStringLiteral("Hardware Overview"));
    report.Blank();
    const QString product = FirmwareValue(QStringLiteral("product_name"));
    QString family = FirmwareValue(QStringLiteral("product_family"));
    if (family.isEmpty()) {
        family = product;
    }
    if (family.isEmpty()) {
        family = ReadValue(QStringLiteral("/proc/device-tree/model"));
    }
    report.Field(6, "Model Name", family);
    report.Field(6, "Model Identifier", product);
    const Processors cpu = ReadProcessors();
    report.Field(6, "Processor Name", cpu.name);
    report.Field(6, "Processor Speed", cpu.mhz > 0 ? Frequency(cpu.mhz) : QString());
    report.Field(6, "Number of Processors",
                 cpu.packages > 0 ? QString::number(cpu.packages) : QString());
    report.Field(6, "Total Number of Cores",
                 cpu.cores > 0 ? QString::number(cpu.cores) : QString());
    const long long memory = MemoryTotal();
    report.Field(6, "Memory", memory > 0 ? WholeSize(memory) : QString());
    report.Field(6, "Boot ROM Version", FirmwareValue(QStringLiteral("bios_version")));
    report.Field(6, "Serial Number (system)", FirmwareValue(QStringLiteral("product_serial")));
    report.Field(6, "Hardware UUID", FirmwareValue(QStringLiteral("product_uuid")).toUpper());
    report.Blank();
    return report.Text();
}

// A value of os-release: unquoted, with the shell escapes it allows.
QString OsReleaseValue(const QString& raw) {
    QString value = raw.trimmed();
    if (value.size() >= 2 && (value.startsWith(QLatin1Char('"')) || value.startsWith('\'')) &&
        value.endsWith(value.at(0))) {
        value = value.mid(1, value.size() - 2);
    }
    QString out;
    for (int i = 0; i < value.size(); ++i) {
        if (value.at(i) == QLatin1Char('\\') && i + 1 < value.size()) {
            ++i;
        }
        out += value.at(i);
    }
    return out;
}

QString SystemVersion() {
    QByteArray bytes = ReadBytes(QStringLiteral("/etc/os-release"));
    if (bytes.isEmpty()) {
        bytes = ReadBytes(QStringLiteral("/usr/lib/os-release"));
    }
    QMap<QString, QString> fields;
    for (const QString& line : QString::fromUtf8(bytes).split(QLatin1Char('\n'))) {
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals > 0 && !line.startsWith(QLatin1Char('#'))) {
            fields[line.left(equals).trimmed()] = OsReleaseValue(line.mid(equals + 1));
        }
    }
    if (!fields.value(QStringLiteral("PRETTY_NAME")).isEmpty()) {
        return fields.value(QStringLiteral("PRETTY_NAME"));
    }
    return (fields.value(QStringLiteral("NAME")) + QLatin1Char(' ') +
            fields.value(QStringLiteral("VERSION")))
        .trimmed();
}

// "Full Name (login)", as the real report writes it; the login alone when the
// user database has no full name.
QString UserName() {
    const passwd* user = ::getpwuid(::getuid());
    if (!user || !user->pw_name) {
        return {};
    }
    const QString login = QString::fromUtf8(user->pw_name);
    const QString fullName =
        user->pw_gecos ? QString::fromUtf8(user->pw_gecos).section(QLatin1Char(','), 0, 0).trimmed()
                       : QString();
    return fullName.isEmpty() ? login : fullName + QLatin1String(" (") + login + QLatin1Char(')');
}

// "3 days 2:11" or "7 minutes".
QString TimeSinceBoot() {
    const QString uptime =
        ReadValue(QStringLiteral("/proc/uptime")).section(QLatin1Char(' '), 0, 0);
    bool ok = false;
    const long long seconds = static_cast<long long>(uptime.toDouble(&ok));
    if (!ok || seconds < 0) {
        return {};
    }
    const long long days = seconds / 86400;
    const long long hours = seconds % 86400 / 3600;
    const long long minutes = seconds % 3600 / 60;
    if (days == 0 && hours == 0) {
        return QString::number(minutes) + QLatin1String(minutes == 1 ? " minute" : " minutes");
    }
    QString text = QStringLiteral("%1:%2").arg(hours).arg(minutes, 2, 10, QLatin1Char('0'));
    if (days > 0) {
        text = QString::number(days) + QLatin1String(days == 1 ? " day " : " days ") + text;
    }
    return text;
}

QString Software() {
    Report report("Software");
    report.Title(4, QStringLiteral("System Software Overview"));
    report.Blank();
    report.Field(6, "System Version", SystemVersion());
    const QString kernel = QSysInfo::kernelType();
    report.Field(6, "Kernel Version",
                 kernel.isEmpty() ? QString()
                                  : kernel.left(1).toUpper() + kernel.mid(1) + QLatin1Char(' ') +
                                        QSysInfo::kernelVersion());
    report.Field(6, "Computer Name", QSysInfo::machineHostName());
    report.Field(6, "User Name", UserName());
    report.Field(6, "Time since boot", TimeSinceBoot());
    report.Blank();
    return report.Text();
}

// The kernel shows one bank: all the memory it manages. Module details (type,
// speed, slots) need the firmware tables, which only root may read.
QString Memory() {
    Report report("Memory");
    report.Title(4, QStringLiteral("Memory Slots"));
    report.Blank();
    const long long total = MemoryTotal();
    if (total > 0) {
        // Slots follow two empty lines; the slot's title sits between them.
        report.Blank();
        report.Title(8, QStringLiteral("System Memory"));
        report.Blank();
        report.Field(10, "Size", QString::number(total / (1024 * 1024)) + QLatin1String(" MB"));
        report.Blank();
    }
    return report.Text();
}

QString VendorName(const QString& id) {
    static const QMap<QString, QString> vendors = {
        {QStringLiteral("0x8086"), QStringLiteral("Intel")},
        {QStringLiteral("0x1002"), QStringLiteral("AMD")},
        {QStringLiteral("0x10de"), QStringLiteral("NVIDIA")},
        {QStringLiteral("0x1af4"), QStringLiteral("Red Hat")},
        {QStringLiteral("0x15ad"), QStringLiteral("VMware")},
        {QStringLiteral("0x80ee"), QStringLiteral("VirtualBox")},
        {QStringLiteral("0x1234"), QStringLiteral("QEMU")},
        {QStringLiteral("0x1b36"), QStringLiteral("QEMU")},
        {QStringLiteral("0x1414"), QStringLiteral("Microsoft")}};
    return vendors.value(id.toLower(), id);
}

QString Displays() {
    Report report("Graphics/Displays");
    const QDir drm(Source(QStringLiteral("/sys/class/drm")));
    static const QRegularExpression cardName(QStringLiteral("^card[0-9]+$"));
    const QStringList entries = drm.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& card : entries) {
        if (!cardName.match(card).hasMatch()) {
            continue;
        }
        const QString device =
            QStringLiteral("/sys/class/drm/") + card + QStringLiteral("/device/");
        const QString vendor = ReadValue(device + QStringLiteral("vendor"));
        const QString deviceId = ReadValue(device + QStringLiteral("device"));
        const QString driver =
            QFileInfo(QFileInfo(Source(device + QStringLiteral("driver"))).symLinkTarget())
                .fileName();
        QString chipset =
            vendor.isEmpty() ? driver : VendorName(vendor) + QLatin1Char(' ') + deviceId;
        if (chipset.trimmed().isEmpty()) {
            chipset = card;
        }
        report.Title(4, chipset);
        report.Blank();
        report.Field(6, "Chipset Model", chipset);
        report.Field(6, "Type", QStringLiteral("GPU"));
        const QString subsystem =
            QFileInfo(QFileInfo(Source(device + QStringLiteral("subsystem"))).symLinkTarget())
                .fileName();
        report.Field(6, "Bus",
                     subsystem == QLatin1String("pci") ? QStringLiteral("PCIe") : QString());
        const long long vram =
            ReadValue(device + QStringLiteral("mem_info_vram_total")).toLongLong();
        report.Field(
            6, "VRAM (Total)",
            vram > 0 ? QString::number(vram / (1024 * 1024)) + QLatin1String(" MB") : QString());
        report.Field(6, "Vendor",
                     vendor.isEmpty()
                         ? QString()
                         : VendorName(vendor) + QLatin1String(" (") + vendor + QLatin1Char(')'));
        report.Field(6, "Device ID", deviceId);
        report.Field(6, "Revision ID", ReadValue(device + QStringLiteral("revision")));
        report.Field(6, "Driver", driver);
        // Connected outputs are the card's entries "cardN-<connector>".
        bool anyDisplay = false;
        for (const QString& entry : entries) {
            if (!entry.startsWith(card + QLatin1Char('-'))) {
                continue;
            }
            const QString output = QStringLiteral("/sys/class/drm/") + entry + QLatin1Char('/');
            if (ReadValue(output + QStringLiteral("status")) != QLatin1String("connected")) {
                continue;
            }
            if (!anyDisplay) {
                report.Title(6, QStringLiteral("Displays"));
                anyDisplay = true;
            }
            report.Title(8, entry.mid(card.size() + 1));
            const QString mode = ReadValue(output + QStringLiteral("modes"));  // "1920x1080"
            if (mode.count(QLatin1Char('x')) == 1) {
                report.Field(10, "Resolution",
                             QString(mode).replace(QLatin1Char('x'), QLatin1String(" x ")));
            }
        }
        report.Blank();
    }
    return report.Text();
}

QString Print(const QString& dataType) {
    if (dataType == QLatin1String("SPHardwareDataType")) {
        return Hardware();
    }
    if (dataType == QLatin1String("SPSoftwareDataType")) {
        return Software();
    }
    if (dataType == QLatin1String("SPMemoryDataType")) {
        return Memory();
    }
    if (dataType == QLatin1String("SPDisplaysDataType")) {
        return Displays();
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromUtf8(argv[i]);
    }
    QString out;
    if (args.contains(QStringLiteral("-listDataTypes"))) {
        out = QStringLiteral("Available Datatypes:\n");
        for (const char* type : dataTypes) {
            out += QLatin1String(type) + QLatin1Char('\n');
        }
    } else {
        if (args.isEmpty()) {
            for (const char* type : dataTypes) {
                args << QLatin1String(type);
            }
        }
        for (const QString& type : qAsConst(args)) {
            out += Print(type);
        }
    }
    const QByteArray bytes = out.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
