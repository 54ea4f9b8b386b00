#include "Core/SystemInfo.h"

#include <glog/logging.h>

#include <QMap>
#include <QPair>
#include <QStringList>
#include <climits>

#include "CleanerCommon/Disks.h"
#include "CleanerCommon/Process.h"
#include "CleanerCommon/Sizes.h"

namespace Varnex::Cleaner {

namespace {

const char* const PROFILER_PROGRAM = "system_profiler";

const char* const INFO_TYPE_SOFTWARE = "SPSoftwareDataType";
const char* const INFO_TYPE_HARDWARE = "SPHardwareDataType";
const char* const INFO_TYPE_MEMORY = "SPMemoryDataType";
// The storage report and its keys are not read: the volumes come from
// LoadDiskList(), which also knows what the current user may fill.
const char* const INFO_TYPE_STORAGE = "SPStorageDataType";
const char* const INFO_TYPE_DISPLAYS = "SPDisplaysDataType";

const char* const KEY_MODEL_NAME = "Model Name";
const char* const KEY_MODEL_IDENTIFIER = "Model Identifier";
const char* const KEY_MEMORY = "Memory";
const char* const KEY_SYSTEM_VERSION = "System Version";
const char* const KEY_CPU_NAME = "Processor Name";
const char* const KEY_CPU_SPEED = "Processor Speed";
const char* const KEY_MEMORY_TYPE = "Type";
const char* const KEY_MEMORY_SIZE = "Size";
const char* const KEY_MEMORY_SPEED = "Speed";
const char* const KEY_STORAGE_AVAILABLE = "Available";
const char* const KEY_STORAGE_CAPACITY = "Capacity";
const char* const KEY_STORAGE_MOUNT_POINT = "Mount Point";
const char* const KEY_GPU_MODEL = "Chipset Model";
const char* const KEY_GPU_MEMORY_SIZE = "VRAM (Dynamic, Max)";
const char* const KEY_GPU_MEMORY_SIZE2 = "VRAM (Total)";
const char* const KEY_USER_NAME = "User Name";

// What an empty memory slot says instead of a size.
const char* const emptySlot = "Empty";

using KeyValues = SystemInfo::KeyValues;
using KeyMap = QMap<QString, QString>;

QString Key(const char* key) {
    return QString::fromLatin1(key);
}

// How long one report may take before the tool is stopped: the constructor
// runs on the main thread, which must not hang on a stuck tool.
const int reportTimeLimitMs = 10000;

QString ReadReport(const char* dataType) {
    const QString report = ReadProcess(QString::fromLatin1(PROFILER_PROGRAM),
                                       QStringList{Key(dataType)}, reportTimeLimitMs);
    if (report.isEmpty()) {
        LOG(WARNING) << "Empty report from " << PROFILER_PROGRAM << " " << dataType;
    }
    return report;
}

// "Key: value" -> the trimmed pair; false for a line without a colon or with
// more than one (a value that itself holds a colon is not trusted).
bool SplitKeyValue(const QString& line, QString* key, QString* value) {
    const QStringList parts = line.split(QLatin1Char(':'));
    if (parts.size() != 2) {
        return false;
    }
    *key = parts.at(0).trimmed();
    *value = parts.at(1).trimmed();
    return true;
}

// A later line with the same key wins.
void FillMap(KeyMap& map, const char* dataType) {
    map.clear();
    for (const auto& pair : SystemInfo::ParseKeyValues(ReadReport(dataType))) {
        map[pair.first] = pair.second;
    }
}

long long SaturatingAdd(long long a, long long b) {
    if (b > 0 && a > LLONG_MAX - b) {
        return LLONG_MAX;
    }
    return a + b;
}

// Adds the bank described by `keys` to the report. A slot without a readable
// positive size holds no memory: it is not a bank and adds nothing.
void AddMemoryBank(const KeyMap& keys, SystemInfo::MemoryReport* report) {
    const QString sizeText = keys.value(Key(KEY_MEMORY_SIZE));
    const long long size = ParseSize(sizeText);
    if (size <= 0) {
        if (sizeText == QLatin1String(emptySlot)) {
            LOG(INFO) << "Empty memory slot";
        } else {
            LOG(WARNING) << "Can't read the size of a memory bank: \"" << sizeText.toStdString()
                         << "\"";
        }
        return;
    }
    MemoryBank bank;
    bank.type = keys.value(Key(KEY_MEMORY_TYPE));
    bank.size = size;
    bank.speed = SystemInfo::ReadFrequency(keys.value(Key(KEY_MEMORY_SPEED)), "memory speed");
    if (size > LLONG_MAX - report->size) {
        LOG(WARNING) << "Memory size out of range: a bank of " << sizeText.toStdString()
                     << " is not counted";
        return;
    }
    report->size += size;
    report->banks.append(bank);
}

}  // namespace

// The key/value lines of a report in their order. The lines before the second
// empty line are the report's section headers and are skipped.
SystemInfo::KeyValues SystemInfo::ParseKeyValues(const QString& report) {
    KeyValues pairs;
    int emptyLines = 0;
    const QStringList lines = report.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.isEmpty()) {
            ++emptyLines;
            continue;
        }
        QString key;
        QString value;
        if (emptyLines >= 2 && SplitKeyValue(line, &key, &value)) {
            pairs.append(qMakePair(key, value));
        }
    }
    return pairs;
}

// "OS X 10.9.5 (13F34)" -> "10.9.5". The build number goes with the blanks
// before it; text without a parenthesis stays whole.
QString SystemInfo::ShortSystemVersion(QString name) {
    name.remove(QStringLiteral("OS X "), Qt::CaseSensitive);
    const int parenthesis = name.indexOf(QLatin1Char('('));
    if (parenthesis < 0) {
        return name;
    }
    int end = parenthesis;
    while (end > 0 && name.at(end - 1).isSpace()) {
        --end;
    }
    return name.left(end);
}

// A speed of the report in hertz; 0 (and a warning) for text that is not one.
long long SystemInfo::ReadFrequency(const QString& text, const char* what) {
    const long long hz = ParseFrequency(text);
    if (hz < 0) {
        if (!text.isEmpty()) {
            LOG(WARNING) << "Can't read " << what << ": \"" << text.toStdString() << "\"";
        }
        return 0;
    }
    return hz;
}

// The memory report: a fixed header, then one group of "Key: value" lines per
// slot, each group following two empty lines (the slot's title sits between
// them) and ending at the next empty line or at the end of the report.
SystemInfo::MemoryReport SystemInfo::ParseMemoryReport(const QString& text) {
    MemoryReport report;
    QStringList lines = text.split(QLatin1Char('\n'));
    const auto headerMismatch = [](int step) {
        LOG(ERROR) << "Can't parse memory information: " << step;
        return MemoryReport();
    };
    if (lines.isEmpty() || lines.first() != QLatin1String("Memory:")) {
        return headerMismatch(0);
    }
    lines.removeFirst();
    if (lines.isEmpty() || !lines.first().isEmpty()) {
        return headerMismatch(1);
    }
    lines.removeFirst();
    if (lines.isEmpty() || lines.first().trimmed() != QLatin1String("Memory Slots:")) {
        return headerMismatch(2);
    }
    lines.removeFirst();
    if (lines.isEmpty() || !lines.first().isEmpty()) {
        return headerMismatch(3);
    }
    lines.removeFirst();

    int emptyLines = 0;
    bool inBank = false;
    KeyMap keys;  // of the current bank only
    for (const QString& line : qAsConst(lines)) {
        if (!line.isEmpty()) {
            if (emptyLines == 2) {
                emptyLines = 0;
                inBank = true;
            }
            QString key;
            QString value;
            if (inBank && SplitKeyValue(line, &key, &value)) {
                keys[key] = value;
            }
            continue;
        }
        if (inBank) {
            AddMemoryBank(keys, &report);
            keys.clear();
            inBank = false;
        }
        ++emptyLines;
    }
    if (inBank) {
        AddMemoryBank(keys, &report);
    }
    return report;
}

// The displays report lists one section per graphics processor. The last
// processor's chipset is shown, with the memory of that same processor: the
// memory keys count only after its "Chipset Model" line.
SystemInfo::GraphicsReport SystemInfo::ParseGraphicsReport(const KeyValues& pairs) {
    GraphicsReport report;
    QString dynamicMemory;
    QString totalMemory;
    for (const auto& pair : pairs) {
        if (pair.first == QLatin1String(KEY_GPU_MODEL)) {
            report.chipset = pair.second;
            dynamicMemory.clear();
            totalMemory.clear();
        } else if (pair.first == QLatin1String(KEY_GPU_MEMORY_SIZE)) {
            dynamicMemory = pair.second;
        } else if (pair.first == QLatin1String(KEY_GPU_MEMORY_SIZE2)) {
            totalMemory = pair.second;
        }
    }
    report.memory = ParseSize(dynamicMemory);
    if (report.memory == -1) {
        report.memory = ParseSize(totalMemory);
    }
    if (report.memory < 0) {
        if (!report.chipset.isEmpty()) {
            LOG(WARNING) << "Can't read the graphics memory of " << report.chipset.toStdString();
        }
        report.memory = 0;
    }
    return report;
}

struct SystemInfo::Impl {
    QString modelName;
    QString modelIdentifier;
    QString systemName;
    QString systemVersion;
    QString cpuName;
    long long cpuSpeed = 0;
    long long memorySize = 0;
    QList<MemoryBank> memoryBanks;
    QList<StorageInfo> disks;
    QString gpuModel;
    long long gpuMemorySize = 0;
    QString userName;
};

SystemInfo::SystemInfo(QObject* parent) : QObject(parent), m_impl(std::make_unique<Impl>()) {
    Update();
}

SystemInfo::~SystemInfo() = default;

void SystemInfo::Update() {
    Impl& d = *m_impl;
    KeyMap map;

    FillMap(map, INFO_TYPE_SOFTWARE);
    d.systemName = map[Key(KEY_SYSTEM_VERSION)];
    d.systemVersion = ShortSystemVersion(d.systemName);
    d.userName = map[Key(KEY_USER_NAME)];

    FillMap(map, INFO_TYPE_HARDWARE);
    d.modelName = map[Key(KEY_MODEL_NAME)];
    d.modelIdentifier = map[Key(KEY_MODEL_IDENTIFIER)];
    d.cpuName = map[Key(KEY_CPU_NAME)];
    d.cpuSpeed = ReadFrequency(map[Key(KEY_CPU_SPEED)], "processor speed");

    const MemoryReport memory = ParseMemoryReport(ReadReport(INFO_TYPE_MEMORY));
    d.memorySize = memory.size;
    d.memoryBanks = memory.banks;
    if (d.memorySize == 0) {
        LOG(ERROR) << "Error while reading memory info";
    }

    d.disks = LoadDiskList();
    if (d.disks.isEmpty()) {
        LOG(ERROR) << "Error while reading storage info";
    }

    const GraphicsReport graphics = ParseGraphicsReport(ParseKeyValues(ReadReport(INFO_TYPE_DISPLAYS)));
    d.gpuModel = graphics.chipset;
    d.gpuMemorySize = graphics.memory;
}

QList<StorageInfo> SystemInfo::GetDisks() const {
    return m_impl->disks;
}

QList<MemoryBank> SystemInfo::GetMemoryBanks() const {
    return m_impl->memoryBanks;
}

QString SystemInfo::GetModelIdentifier() const {
    return m_impl->modelIdentifier;
}

QString SystemInfo::GetModelName() const {
    return m_impl->modelName;
}

QString SystemInfo::GetSystemName() const {
    return m_impl->systemName;
}

QString SystemInfo::GetSystemVersion() const {
    return m_impl->systemVersion;
}

long long SystemInfo::GetMemorySize() const {
    return m_impl->memorySize;
}

long long SystemInfo::GetMemorySpeed() const {
    return m_impl->memoryBanks.isEmpty() ? 0 : m_impl->memoryBanks.first().speed;
}

QString SystemInfo::GetMemoryType() const {
    return m_impl->memoryBanks.isEmpty() ? QString() : m_impl->memoryBanks.first().type;
}

QString SystemInfo::GetMemoryInfoString() const {
    return FormatSize(GetMemorySize(), 0) + QLatin1Char(' ') +
           FormatFrequencyMHz(GetMemorySpeed()) + QLatin1Char(' ') + GetMemoryType();
}

long long SystemInfo::GetCpuSpeed() const {
    return m_impl->cpuSpeed;
}

QString SystemInfo::GetCpuInfoString() const {
    return FormatFrequencyGHz(m_impl->cpuSpeed, 1) + QLatin1Char(' ') + m_impl->cpuName;
}

long long SystemInfo::GetTotalDiskSpace() const {
    long long total = 0;
    for (const StorageInfo& disk : qAsConst(m_impl->disks)) {
        total = SaturatingAdd(total, disk.capacity);
    }
    return total;
}

long long SystemInfo::GetAvailableDiskSpace() const {
    long long total = 0;
    for (const StorageInfo& disk : qAsConst(m_impl->disks)) {
        total = SaturatingAdd(total, disk.available);
    }
    return total;
}

QString SystemInfo::GetGpuChipsetModel() const {
    return m_impl->gpuModel;
}

long long SystemInfo::GetGpuMemorySize() const {
    return m_impl->gpuMemorySize;
}

QString SystemInfo::GetGraphicsInfoString() const {
    return m_impl->gpuModel + QLatin1Char(' ') + FormatSize(m_impl->gpuMemorySize, 0);
}

QString SystemInfo::GetUserName() const {
    return m_impl->userName;
}

}  // namespace Varnex::Cleaner
