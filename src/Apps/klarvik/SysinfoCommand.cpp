#include "SysinfoCommand.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "CleanerCommon/Sizes.h"
#include "Commands.h"
#include "Core/SystemInfo.h"
#include "Platform/PathCodec.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::FormatFrequencyGHz;
using Varnex::Cleaner::FormatFrequencyMHz;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::MemoryBank;
using Varnex::Cleaner::StorageInfo;
using Varnex::Cleaner::SystemInfo;

namespace {

void Print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

QString OrUnknown(const QString& text) {
    return text.trimmed().isEmpty() ? QStringLiteral("unknown") : text;
}

QJsonObject ToJson(const SystemInfo& info) {
    QJsonArray banks;
    for (const MemoryBank& bank : info.GetMemoryBanks()) {
        banks.append(QJsonObject{{"type", bank.type},
                                 {"size", static_cast<qint64>(bank.size)},
                                 {"speed", static_cast<qint64>(bank.speed)}});
    }
    QJsonArray disks;
    for (const StorageInfo& disk : info.GetDisks()) {
        disks.append(QJsonObject{{"name", disk.name},
                                 {"mount_path", disk.mountPath},
                                 {"capacity", static_cast<qint64>(disk.capacity)},
                                 {"available", static_cast<qint64>(disk.available)}});
    }
    return QJsonObject{{"model_name", info.GetModelName()},
                       {"model_identifier", info.GetModelIdentifier()},
                       {"system_name", info.GetSystemName()},
                       {"system_version", info.GetSystemVersion()},
                       {"user_name", info.GetUserName()},
                       {"cpu_speed", static_cast<qint64>(info.GetCpuSpeed())},
                       {"cpu_info", info.GetCpuInfoString()},
                       {"memory_size", static_cast<qint64>(info.GetMemorySize())},
                       {"memory_speed", static_cast<qint64>(info.GetMemorySpeed())},
                       {"memory_type", info.GetMemoryType()},
                       {"memory_info", info.GetMemoryInfoString()},
                       {"memory_banks", banks},
                       {"gpu_chipset_model", info.GetGpuChipsetModel()},
                       {"gpu_memory_size", static_cast<qint64>(info.GetGpuMemorySize())},
                       {"graphics_info", info.GetGraphicsInfoString()},
                       {"total_disk_space", static_cast<qint64>(info.GetTotalDiskSpace())},
                       {"available_disk_space", static_cast<qint64>(info.GetAvailableDiskSpace())},
                       {"disks", disks}};
}

// The parts that are known, in order, with one space between: a value the
// system did not report ("0 MHz", " 0 B") is left out rather than shown.
QString Known(std::initializer_list<QString> parts) {
    QStringList known;
    for (const QString& part : parts) {
        if (!part.trimmed().isEmpty()) {
            known.append(part.trimmed());
        }
    }
    return known.join(QLatin1Char(' '));
}

QString ToText(const SystemInfo& info) {
    QString model = info.GetModelName();
    if (!info.GetModelIdentifier().isEmpty() && info.GetModelIdentifier() != model) {
        model += QStringLiteral(" (%1)").arg(info.GetModelIdentifier());
    }
    QString text;
    const auto line = [&text](const char* label, const QString& value) {
        text +=
            QStringLiteral("%1 %2\n").arg(QLatin1String(label), -11).arg(Shown(OrUnknown(value)));
    };
    line("Model:", model);
    line("System:", info.GetSystemName());
    line("Version:", info.GetSystemVersion());
    line("User:", info.GetUserName());
    const auto ifKnown = [](long long value, const QString& text) {
        return value > 0 ? text : QString();
    };
    // The processor's name is only offered after its speed: "2.4 GHz Intel Core i5".
    const QString cpuSpeed = FormatFrequencyGHz(info.GetCpuSpeed(), 1);
    const QString cpuInfo = info.GetCpuInfoString();
    const QString cpuName = cpuInfo.startsWith(cpuSpeed + QLatin1Char(' '))
                                ? cpuInfo.mid(cpuSpeed.size() + 1)
                                : cpuInfo;
    line("Processor:", Known({ifKnown(info.GetCpuSpeed(), cpuSpeed), cpuName}));
    line("Memory:",
         Known({ifKnown(info.GetMemorySize(), FormatSize(info.GetMemorySize(), 0)),
                ifKnown(info.GetMemorySpeed(), FormatFrequencyMHz(info.GetMemorySpeed())),
                info.GetMemoryType()}));
    line("Graphics:",
         info.GetGpuChipsetModel().trimmed().isEmpty()
             ? QString()
             : Known({info.GetGpuChipsetModel(),
                      ifKnown(info.GetGpuMemorySize(), FormatSize(info.GetGpuMemorySize(), 0))}));
    line("Disks:", info.GetDisks().isEmpty()
                       ? QString()
                       : QStringLiteral("%1 total, %2 available")
                             .arg(FormatSize(info.GetTotalDiskSpace(), 1),
                                  FormatSize(info.GetAvailableDiskSpace(), 1)));
    for (const StorageInfo& disk : info.GetDisks()) {
        text += QStringLiteral("  %1 %2 %3 total, %4 available\n")
                    .arg(Shown(disk.name), -10)
                    .arg(Shown(disk.mountPath), -20)
                    .arg(FormatSize(disk.capacity, 1), FormatSize(disk.available, 1));
    }
    return text;
}

}  // namespace

void AppendToolFolderToPath() {
    std::string folder;
    if (!Varnex::Platform::EncodePath(QCoreApplication::applicationDirPath(), &folder) ||
        folder.empty() || folder.find(':') != std::string::npos) {
        return;  // a folder with ':' cannot be written into PATH
    }
    QByteArray path = qgetenv("PATH");
    if (!path.isEmpty()) {
        path += ':';
    }
    qputenv("PATH", path + QByteArray::fromStdString(folder));
}

int RunSysinfo(bool json) {
    const SystemInfo info;
    if (json) {
        Print(QString::fromUtf8(QJsonDocument(ToJson(info)).toJson(QJsonDocument::Indented)));
    } else {
        Print(ToText(info));
    }
    return EXIT_DONE;
}

}  // namespace Klarvik
