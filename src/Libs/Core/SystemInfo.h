#pragma once

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <memory>

#include "CleanerCommon/StorageInfo.h"
#include "Core/MemoryBank.h"

namespace Varnex::Cleaner {

// A one-time description of the machine for display: model, system, user,
// processor, memory, graphics and disks. Values come from the reports of the
// `system_profiler` tool (looked up in PATH) and from the mounted volumes list.
//
// Threads: the main thread. The constructor and Update() block while the tool
// runs (four reports; a report not done after 10 seconds is stopped and
// logged, and what it printed until then is read) and while the volumes are
// measured.
//
// Failures are logged and leave safe values: a missing tool or an unreadable
// report gives null strings and zero numbers, never negative sizes or speeds.
class SystemInfo : public QObject {
    Q_OBJECT
public:
    // Reads everything at once (calls Update()).
    explicit SystemInfo(QObject* parent = nullptr);
    ~SystemInfo() override;

    // The mounted volumes as last read (a copy).
    QList<StorageInfo> GetDisks() const;
    // The memory modules as last read, in the report's order (a copy).
    QList<MemoryBank> GetMemoryBanks() const;

signals:
    // Declared for the application; the library never emits it.
    void AvailableDiskSpaceChanged(int);

public slots:
    // Re-reads every report and the volumes list, replacing all values.
    void Update();

public:
    Q_INVOKABLE QString GetModelIdentifier() const;
    Q_INVOKABLE QString GetModelName() const;
    // The report's "System Version" unchanged, e.g. "OS X 10.9.5 (13F34)".
    Q_INVOKABLE QString GetSystemName() const;
    // The same without "OS X " and the parenthesised build, e.g. "10.9.5".
    Q_INVOKABLE QString GetSystemVersion() const;
    // Bytes: the sum of the banks' sizes.
    Q_INVOKABLE long long GetMemorySize() const;
    // Hertz of the first bank; 0 without banks.
    Q_INVOKABLE long long GetMemorySpeed() const;
    // Type of the first bank; a null string without banks.
    Q_INVOKABLE QString GetMemoryType() const;
    // "8 GB 1600 MHz DDR3".
    Q_INVOKABLE QString GetMemoryInfoString() const;
    // Hertz; 0 when unknown.
    Q_INVOKABLE long long GetCpuSpeed() const;
    // "2.4 GHz Intel Core i5".
    Q_INVOKABLE QString GetCpuInfoString() const;
    // Bytes over all volumes.
    Q_INVOKABLE long long GetTotalDiskSpace() const;
    Q_INVOKABLE long long GetAvailableDiskSpace() const;
    Q_INVOKABLE QString GetGpuChipsetModel() const;
    // Bytes; 0 when unknown.
    Q_INVOKABLE long long GetGpuMemorySize() const;
    // "Intel Iris 2 GB".
    Q_INVOKABLE QString GetGraphicsInfoString() const;
    // The report's "User Name", e.g. "John Appleseed (john)".
    Q_INVOKABLE QString GetUserName() const;

    // The readers of the reports' text, which Update() feeds with the tool's
    // output; they run nothing and log what Update() logs. Any thread.
    using KeyValues = QList<QPair<QString, QString>>;
    struct MemoryReport {
        QList<MemoryBank> banks;  // the slots that hold memory, in order
        long long size = 0;       // bytes, the sum of the banks' sizes
    };
    struct GraphicsReport {
        QString chipset;       // the last graphics processor's
        long long memory = 0;  // bytes of that processor; 0 when unknown
    };
    // The trimmed "Key: value" lines of a report after its section headers.
    static KeyValues ParseKeyValues(const QString& report);
    static MemoryReport ParseMemoryReport(const QString& report);
    static GraphicsReport ParseGraphicsReport(const KeyValues& pairs);
    // "OS X 10.9.5 (13F34)" -> "10.9.5".
    static QString ShortSystemVersion(QString name);
    // A speed of the report in hertz; 0 for text that is not one.
    static long long ReadFrequency(const QString& text, const char* what);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner
