#include "SysinfoCommand.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <string>

#include "CleanerCommon/Sizes.h"
#include "Commands.h"
#include "Core/SystemInfo.h"
#include "Platform/PathCodec.h"
#include "ShownText.h"

namespace Klarvik {

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
    line("Processor:", info.GetCpuInfoString());
    line("Memory:", info.GetMemoryInfoString());
    line("Graphics:",
         info.GetGpuChipsetModel().isEmpty() ? QString() : info.GetGraphicsInfoString());
    line("Disks:", QStringLiteral("%1 total, %2 available")
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
