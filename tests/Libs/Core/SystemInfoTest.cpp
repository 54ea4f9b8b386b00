// SystemInfo over real child processes: fixture reports through a fake
// system_profiler first on PATH, the stand-in built with the project, and no
// tool at all.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include "CleanerCommon/Sizes.h"
#include "Core/SystemInfo.h"
#include "common/LogCapture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Cleaner::MemoryBank;
using Varnex::Cleaner::StorageInfo;
using Varnex::Cleaner::SystemInfo;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;

namespace {

const char* const source = "src/Libs/Core/SystemInfo";
const long long mb = 1024LL * 1024;
const long long gb = 1024 * mb;

// Sets an environment variable for the life of the object.
using EnvOverride = Varnex::Test::ScopedEnv;

const QByteArray softwareReport =
    "Software:\n"
    "\n"
    "    System Software Overview:\n"
    "\n"
    "      System Version: OS X 10.9.5 (13F34)\n"
    "      Kernel Version: Darwin 13.4.0\n"
    "      Boot Volume: Macintosh HD\n"
    "      Computer Name: J\xc3\xb6hn\xe2\x80\x99s MacBook Pro\n"
    "      User Name: J\xc3\xb6hn \xc3\x84ppleseed (john)\n"
    "      Time since boot: 3 days 2:11\n"
    "\n";

const QByteArray hardwareReport =
    "Hardware:\n"
    "\n"
    "    Hardware Overview:\n"
    "\n"
    "      Model Name: MacBook Pro\n"
    "      Model Identifier: MacBookPro11,1\n"
    "      Processor Name: Intel Core i5\n"
    "      Processor Speed: 2.4 GHz\n"
    "      Number of Processors: 1\n"
    "      L2 Cache (per Core): 256 KB\n"
    "      Memory: 8 GB\n"
    "      Serial Number (system): C02LXXXXXXXX\n"
    "\n";

QByteArray Bank(const QByteArray& title, const QByteArray& keys) {
    return "        " + title + ":\n\n" + keys + "\n";
}

const QByteArray memoryHeader =
    "Memory:\n"
    "\n"
    "    Memory Slots:\n"
    "\n"
    "      ECC: Disabled\n"
    "      Upgradeable Memory: No\n"
    "\n";

const QByteArray ddr3Bank =
    "          Size: 4 GB\n"
    "          Type: DDR3\n"
    "          Speed: 1600 MHz\n"
    "          Status: OK\n"
    "          Part Number: 0x484D54343147533641465238412D50422020\n";

const QByteArray memoryReport =
    memoryHeader + Bank("BANK 0/DIMM0", ddr3Bank) + Bank("BANK 1/DIMM0", ddr3Bank);

const QByteArray displaysReport =
    "Graphics/Displays:\n"
    "\n"
    "    Intel Iris:\n"
    "\n"
    "      Chipset Model: Intel Iris\n"
    "      Type: GPU\n"
    "      Bus: Built-In\n"
    "      VRAM (Dynamic, Max): 1536 MB\n"
    "      Vendor: Intel (0x8086)\n"
    "      Displays:\n"
    "        Color LCD:\n"
    "          Resolution: 2560 x 1600 Retina\n"
    "          Pixel Depth: 32-Bit Color (ARGB8888)\n"
    "\n";

// A fake system_profiler first on PATH: prints <data type>.txt of its folder
// and notes each call.
class FakeProfiler {
public:
    FakeProfiler() : m_path("PATH", m_tree.Root().toUtf8() + ":" + qgetenv("PATH")) {
        m_tree.MakeFile("system_profiler",
                        "#!/bin/sh\n"
                        "echo \"$1\" >> \"${0%/*}/calls\"\n"
                        "cat \"${0%/*}/$1.txt\" 2>/dev/null\n"
                        "[ -e \"${0%/*}/$1.hangs\" ] && sleep 300\n"
                        "exit 0\n");
        QFile::setPermissions(m_tree.Path("system_profiler"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        Report("SPSoftwareDataType", softwareReport);
        Report("SPHardwareDataType", hardwareReport);
        Report("SPMemoryDataType", memoryReport);
        Report("SPDisplaysDataType", displaysReport);
    }
    void Report(const QString& dataType, const QByteArray& text) {
        m_tree.MakeFile(dataType + ".txt", text);
    }
    void Hang(const QString& dataType) { m_tree.MakeFile(dataType + ".hangs", ""); }
    QStringList Calls() const {
        return QString::fromUtf8(m_tree.Read("calls")).split('\n', Qt::SkipEmptyParts);
    }

private:
    TempTree m_tree;
    EnvOverride m_path;
};

QString StandInFolder() {
    return QFileInfo(QStringLiteral(SYSTEM_PROFILER_PROGRAM)).absolutePath();
}

}  // namespace

TEST(SystemInfo, ReadsEveryReportOfTheToolAndUpdateReplacesThem) {
    FakeProfiler tool;
    LogCapture log;
    SystemInfo info;
    EXPECT_EQ(tool.Calls(), QStringList({"SPSoftwareDataType", "SPHardwareDataType",
                                         "SPMemoryDataType", "SPDisplaysDataType"}));
    EXPECT_EQ(info.GetSystemName(), "OS X 10.9.5 (13F34)");
    EXPECT_EQ(info.GetSystemVersion(), "10.9.5");
    EXPECT_EQ(info.GetUserName(), QString::fromUtf8("J\xc3\xb6hn \xc3\x84ppleseed (john)"));
    EXPECT_EQ(info.GetModelName(), "MacBook Pro");
    EXPECT_EQ(info.GetModelIdentifier(), "MacBookPro11,1");
    EXPECT_EQ(info.GetCpuSpeed(), 2400000000LL);
    EXPECT_EQ(info.GetCpuInfoString(), "2.4 GHz Intel Core i5");
    EXPECT_EQ(info.GetMemorySize(), 8 * gb);
    EXPECT_EQ(info.GetMemorySpeed(), 1600000000LL);
    EXPECT_EQ(info.GetMemoryInfoString(), "8 GB 1600 MHz DDR3");
    const MemoryBank ddr3{QStringLiteral("DDR3"), 4 * gb, 1600000000LL};
    EXPECT_EQ(info.GetMemoryBanks(), QList<MemoryBank>({ddr3, ddr3}));
    EXPECT_EQ(info.GetGpuChipsetModel(), "Intel Iris");
    EXPECT_EQ(info.GetGpuMemorySize(), 1536 * mb);
    EXPECT_EQ(info.GetGraphicsInfoString(), "Intel Iris 2 GB");
    // This machine's volumes; the totals add them up.
    long long capacity = 0;
    long long available = 0;
    for (const StorageInfo& disk : info.GetDisks()) {
        capacity += disk.capacity;
        available += disk.available;
    }
    EXPECT_GT(capacity, 0);
    EXPECT_EQ(info.GetTotalDiskSpace(), capacity);
    EXPECT_EQ(info.GetAvailableDiskSpace(), available);
    EXPECT_EQ(log.Count(google::ERROR, "", source), 0) << log.Dump();
    EXPECT_EQ(log.Count(google::WARNING, "", source), 0) << log.Dump();

    info.Update();
    EXPECT_EQ(info.GetMemoryBanks().size(), 2) << "banks are replaced, not appended";
    tool.Report("SPMemoryDataType", "Memory Slots:\n");
    tool.Report("SPHardwareDataType", "Hardware:\n\n  Overview:\n\n      Model Name: iMac\n");
    tool.Report("SPDisplaysDataType", "");
    info.Update();
    EXPECT_EQ(info.GetModelName(), "iMac");
    EXPECT_TRUE(info.GetModelIdentifier().isEmpty());
    EXPECT_EQ(info.GetCpuSpeed(), 0);
    EXPECT_EQ(info.GetMemorySize(), 0);
    EXPECT_TRUE(info.GetMemoryBanks().isEmpty());
    EXPECT_TRUE(info.GetGpuChipsetModel().isEmpty());
    EXPECT_EQ(info.GetGpuMemorySize(), 0);
    EXPECT_TRUE(log.Contains(google::WARNING,
                             "Empty report from system_profiler SPDisplaysDataType", source));
}

// Each header line checked in turn; the first mismatch ends the memory parsing.
TEST(SystemInfo, MemoryHeaderMismatchesAreLogged) {
    const struct {
        QByteArray header;
        int step;
    } cases[] = {
        {"Memory Slots:\n\n", 0},
        {"memory:\n\n    Memory Slots:\n\n", 0},
        {"Memory:", 1},
        {"Memory:\n    Memory Slots:\n\n", 1},
        {"Memory:\n\n    Memory:\n\n", 2},
        {"Memory:\n\n", 2},
        {"Memory:\n\n    Memory Slots:\n      ECC: Disabled\n\n", 3},
        {"Memory:\n\n    Memory Slots:", 3},
    };
    FakeProfiler tool;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header.toStdString());
        // A header cut short is the whole report; otherwise a bank follows.
        tool.Report("SPMemoryDataType",
                    c.header.endsWith('\n') ? c.header + Bank("BANK 0/DIMM0", ddr3Bank) : c.header);
        LogCapture log;
        SystemInfo info;
        EXPECT_EQ(log.Count(google::ERROR, "Can't parse memory information", source), 1)
            << log.Dump();
        EXPECT_TRUE(log.Contains(
            google::ERROR, "Can't parse memory information: " + std::to_string(c.step), source));
        EXPECT_TRUE(info.GetMemoryBanks().isEmpty());
        EXPECT_EQ(info.GetModelName(), "MacBook Pro") << "the other reports still count";
    }
}

// A bank has only keys of its own; empty slots add nothing; the last bank
// counts without a trailing empty line.
TEST(SystemInfo, MemoryBanks) {
    const QByteArray empty =
        "          Size: Empty\n          Type: Empty\n          Speed: Empty\n";
    FakeProfiler tool;
    QByteArray report = memoryHeader + Bank("BANK 0/DIMM0", empty) +
                        Bank("BANK 1/DIMM0", ddr3Bank) +
                        Bank("BANK 2/DIMM0", "          Size: 2 GB\n") +
                        Bank("BANK 3/DIMM0", "          Speed: 1333 MHz\n") +
                        "        BANK 4/DIMM0:\n\n" + ddr3Bank;
    report.chop(1);  // not even the final newline
    tool.Report("SPMemoryDataType", report);
    LogCapture log;
    SystemInfo info;
    const QList<MemoryBank> banks = info.GetMemoryBanks();
    ASSERT_EQ(banks.size(), 3) << "neither an empty slot nor a bank without a size";
    EXPECT_EQ(info.GetMemoryType(), "DDR3") << "the first installed module describes the memory";
    EXPECT_EQ(banks.at(1).size, 2 * gb);
    EXPECT_TRUE(banks.at(1).type.isNull());
    EXPECT_EQ(banks.at(1).speed, 0);
    EXPECT_EQ(info.GetMemorySize(), 10 * gb);
    EXPECT_EQ(log.Count(google::INFO, "Empty memory slot", source), 1);
    EXPECT_TRUE(log.Contains(google::WARNING, "Can't read the size of a memory bank: \"\"", source))
        << log.Dump();

    // Only empty slots: no memory at all, which is an error.
    tool.Report("SPMemoryDataType", memoryHeader + Bank("BANK 0/DIMM0", empty));
    info.Update();
    EXPECT_EQ(info.GetMemorySize(), 0);
    EXPECT_TRUE(info.GetMemoryBanks().isEmpty());
    EXPECT_TRUE(log.Contains(google::ERROR, "Error while reading memory info", source));
}

TEST(SystemInfo, GraphicsMemoryIsNeverNegative) {
    const QByteArray header = "Graphics/Displays:\n\n    GPU:\n\n";
    const struct {
        QByteArray report;
        QString chipset;
        long long memory;
    } cases[] = {
        // Only the total: the fallback.
        {header + "      Chipset Model: NVIDIA GeForce GT 750M\n      VRAM (Total): 2048 MB\n\n",
         "NVIDIA GeForce GT 750M", 2 * gb},
        // Neither key readable.
        {header + "      Chipset Model: Radeon\n      VRAM (Dynamic, Max): -1 MB\n"
                  "      VRAM (Total): plenty\n\n",
         "Radeon", 0},
        // Two processors: the memory shown is that of the chipset shown.
        {displaysReport +
             "    NVIDIA GeForce GT 750M:\n\n      Chipset Model: NVIDIA GeForce GT 750M\n"
             "      VRAM (Total): 2048 MB\n\n",
         "NVIDIA GeForce GT 750M", 2 * gb},
    };
    FakeProfiler tool;
    for (const auto& c : cases) {
        tool.Report("SPDisplaysDataType", c.report);
        LogCapture log;
        SystemInfo info;
        EXPECT_EQ(info.GetGpuChipsetModel(), c.chipset);
        EXPECT_EQ(info.GetGpuMemorySize(), c.memory) << c.report.toStdString();
        EXPECT_EQ(log.Contains(google::WARNING, "Can't read the graphics memory of Radeon", source),
                  c.memory == 0);
    }
}

TEST(SystemInfo, ReportLinesTheRulesDoNotTrust) {
    FakeProfiler tool;
    tool.Report("SPHardwareDataType",
                "Hardware:\n"
                "\n"
                "    Model Identifier: Header\n"  // before the second empty line
                "\n"
                "      Model Name: Mac: Pro\n"  // two colons
                "      Processor Name: Intel Core i7\n"
                "      Processor Name: Intel Core i9\n"  // the later line wins
                "      Processor Speed: fast\n"
                "      : no key\n"
                "      just words\n"
                "\n");
    tool.Report("SPSoftwareDataType",
                "Software:\n\n  Overview:\n\n      System Version: Mac OS X 10.6.8\n"
                "      User Name: line\n");
    LogCapture log;
    SystemInfo info;
    EXPECT_TRUE(info.GetModelIdentifier().isEmpty());
    EXPECT_TRUE(info.GetModelName().isEmpty());
    EXPECT_EQ(info.GetCpuSpeed(), 0);
    EXPECT_EQ(info.GetCpuInfoString(), "0.0 GHz Intel Core i9");
    EXPECT_TRUE(log.Contains(google::WARNING, "Can't read processor speed: \"fast\"", source));
    EXPECT_EQ(info.GetSystemName(), "Mac OS X 10.6.8");
    EXPECT_EQ(info.GetSystemVersion(), "Mac 10.6.8") << "no parenthesis: the whole text stays";
    EXPECT_EQ(info.GetUserName(), "line");

    const struct {
        QByteArray name;
        QString version;
    } versions[] = {{"macOS 13.4 (22F66)", "macOS 13.4"},
                    {"OS X 10.9(13A603)", "10.9"},
                    {"(13A603)", ""},
                    {"OS X OS X 10.10  (14A389)", "10.10"}};
    for (const auto& v : versions) {
        tool.Report("SPSoftwareDataType",
                    "Software:\n\n  Overview:\n\n      System Version: " + v.name + "\n\n");
        info.Update();
        EXPECT_EQ(info.GetSystemVersion(), v.version) << v.name.toStdString();
    }
}

TEST(SystemInfo, HostileReportsGiveSafeValues) {
    FakeProfiler tool;
    // Sizes whose sum leaves the 64-bit range; a speed that is no speed.
    const QByteArray huge = "          Size: 8000000 TB\n          Speed: Empty\n";
    tool.Report("SPMemoryDataType", memoryHeader + Bank("A", huge) + Bank("B", huge) +
                                        Bank("C", "          Size: 99999999999 PB\n"));
    {
        LogCapture log;
        SystemInfo info;
        EXPECT_EQ(info.GetMemorySize(), 8000000LL * 1024 * gb);
        EXPECT_EQ(info.GetMemoryBanks().size(), 1);
        EXPECT_EQ(info.GetMemorySpeed(), 0);
        EXPECT_TRUE(log.Contains(google::WARNING, "Memory size out of range", source));
        EXPECT_TRUE(log.Contains(google::WARNING, "Can't read memory speed: \"Empty\"", source));
        EXPECT_TRUE(log.Contains(
            google::WARNING, "Can't read the size of a memory bank: \"99999999999 PB\"", source));
    }
    // Windows line ends, bytes that are not UTF-8, NULs, a line with a newline
    // escaped into it: nothing matches, nothing breaks.
    QByteArray garbage = memoryReport;
    garbage.replace("\n", "\r\n");
    tool.Report("SPMemoryDataType", garbage);
    QByteArray hardware = "Hardware:\n\n\n\xff\xfe: \x80";
    hardware.append('\0');
    hardware += ":\n\n      Model Name: \xc0\xaf\n";
    tool.Report("SPHardwareDataType", hardware);
    {
        LogCapture log;
        SystemInfo info;
        EXPECT_EQ(info.GetMemorySize(), 0);
        EXPECT_TRUE(log.Contains(google::ERROR, "Can't parse memory information: 0", source));
        EXPECT_EQ(info.GetModelName(), QString(2, QChar::ReplacementCharacter));
    }
}

TEST(SystemInfo, MissingToolLeavesEmptyValues) {
    TempTree empty;
    EnvOverride path("PATH", empty.Root().toUtf8());
    LogCapture log;
    SystemInfo info;
    EXPECT_TRUE(info.GetSystemName().isEmpty());
    EXPECT_TRUE(info.GetUserName().isEmpty());
    EXPECT_TRUE(info.GetModelName().isEmpty());
    EXPECT_TRUE(info.GetGpuChipsetModel().isEmpty());
    EXPECT_EQ(info.GetMemorySize(), 0);
    EXPECT_FALSE(info.GetDisks().isEmpty()) << "the volumes do not come from the tool";
    EXPECT_EQ(log.Count(google::WARNING, "Can't start system_profiler"), 4) << log.Dump();
    EXPECT_TRUE(log.Contains(google::ERROR, "Error while reading memory info", source));
}

// A report that never ends is stopped after ten seconds; the others count.
TEST(SystemInfo, AStuckToolIsStopped) {
    FakeProfiler tool;
    tool.Hang("SPDisplaysDataType");
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    SystemInfo info;
    EXPECT_LT(clock.elapsed(), 25000);  // a hang guard; the old limit was 30 s a report
    EXPECT_TRUE(log.Contains(google::ERROR, "SPDisplaysDataType: still running after 10000 ms"))
        << log.Dump();
    EXPECT_EQ(info.GetGpuChipsetModel(), "Intel Iris") << "what it printed before it hung";
    EXPECT_EQ(info.GetMemorySize(), 8 * gb);
}

// The stand-in built with the project, reading this machine (its parsing of
// each file is checked on a made-up machine below).
TEST(SystemInfo, StandInDescribesThisMachine) {
    EnvOverride path("PATH", StandInFolder().toUtf8());
    LogCapture log;
    SystemInfo info;
    // "2.6 GHz Intel(R) Xeon(R) Processor": a processor name after the speed.
    EXPECT_FALSE(info.GetCpuInfoString().section(' ', 2).isEmpty())
        << info.GetCpuInfoString().toStdString();
    EXPECT_FALSE(info.GetSystemVersion().isEmpty());
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(user, nullptr);
    EXPECT_TRUE(info.GetUserName() == QString::fromUtf8(user->pw_name) ||
                info.GetUserName().endsWith(QStringLiteral(" (%1)").arg(user->pw_name)))
        << info.GetUserName().toStdString();
    EXPECT_EQ(info.GetMemoryBanks().size(), 1);
    EXPECT_GT(info.GetMemorySize(), 0);
    EXPECT_EQ(log.Count(google::ERROR, "", source), 0) << log.Dump();
}

// The stand-in over a made-up machine: firmware names, a graphics card with its
// own memory and a connected display, placeholders left out.
TEST(SystemInfo, StandInReadsFirmwareAndGraphicsCards) {
    TempTree root;
    root.MakeFile("proc/cpuinfo",
                  "processor\t: 0\nmodel name\t: AMD Ryzen 9 5900X 12-Core Processor\n"
                  "cpu MHz\t\t: 3700.000\nphysical id\t: 0\ncore id\t\t: 0\n\n"
                  "processor\t: 1\nmodel name\t: AMD Ryzen 9 5900X 12-Core Processor\n"
                  "cpu MHz\t\t: 2200.000\nphysical id\t: 0\ncore id\t\t: 1\n\n");
    root.MakeFile("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "4950000\n");
    root.MakeFile("proc/meminfo", "MemTotal:       16318464 kB\nMemFree:  1 kB\n");
    root.MakeFile("etc/os-release",
                  "NAME=\"Fedora Linux\"\nPRETTY_NAME=\"Fedora Linux 39 (Workstation Edition)\"\n");
    root.MakeFile("sys/class/dmi/id/product_name", "20KH006MUS\n");
    root.MakeFile("sys/class/dmi/id/product_family", "ThinkPad X1 Carbon 6th\n");
    root.MakeFile("sys/class/dmi/id/product_serial", "To Be Filled By O.E.M.\n");
    root.MakeFile("sys/class/drm/card0/device/vendor", "0x1002\n");
    root.MakeFile("sys/class/drm/card0/device/device", "0x73bf\n");
    root.MakeFile("sys/class/drm/card0/device/mem_info_vram_total", "17163091968\n");
    root.MakeSymlink("../../../bus/pci/drivers/amdgpu", "sys/class/drm/card0/device/driver");
    root.MakeFile("sys/class/drm/card0-DP-1/status", "connected\n");
    root.MakeFile("sys/class/drm/card0-DP-1/modes", "2560x1440\n1920x1080\n");
    root.MakeFile("sys/class/drm/card0-HDMI-A-1/status", "disconnected\n");
    root.MakeDir("sys/class/drm/renderD128");
    EnvOverride sysRoot("KLARVIK_PROFILER_ROOT", root.Root().toUtf8());

    QByteArray out;
    ASSERT_EQ(Varnex::Test::RunProgram(SYSTEM_PROFILER_PROGRAM,
                                       {"SPHardwareDataType", "SPDisplaysDataType"}, &out),
              0);
    EXPECT_TRUE(out.contains("      Total Number of Cores: 2\n")) << out.toStdString();
    EXPECT_TRUE(out.contains("      Memory: 16 GB\n"));
    EXPECT_TRUE(out.contains("      Driver: amdgpu\n"));
    EXPECT_TRUE(out.contains("        DP-1:\n          Resolution: 2560 x 1440\n"));
    EXPECT_FALSE(out.contains("HDMI")) << "only connected displays";
    EXPECT_FALSE(out.contains("Serial Number")) << "a placeholder is no value";
    EXPECT_FALSE(out.contains("renderD128"));

    EnvOverride path("PATH", StandInFolder().toUtf8());
    SystemInfo info;
    EXPECT_EQ(info.GetModelName(), "ThinkPad X1 Carbon 6th");
    EXPECT_EQ(info.GetModelIdentifier(), "20KH006MUS");
    EXPECT_EQ(info.GetCpuInfoString(), "5.0 GHz AMD Ryzen 9 5900X 12-Core Processor");
    EXPECT_EQ(info.GetCpuSpeed(), 4950000000LL);
    EXPECT_EQ(info.GetMemorySize(), 15936 * mb);
    EXPECT_EQ(info.GetSystemName(), "Fedora Linux 39 (Workstation Edition)");
    EXPECT_EQ(info.GetSystemVersion(), "Fedora Linux 39");
    EXPECT_EQ(info.GetGpuChipsetModel(), "AMD 0x73bf");
    EXPECT_EQ(info.GetGpuMemorySize(), 16368 * mb);

    // Nothing to read at all: the reports keep their layout and stay empty.
    TempTree bare;
    EnvOverride bareRoot("KLARVIK_PROFILER_ROOT", bare.Root().toUtf8());
    LogCapture log;
    info.Update();
    EXPECT_TRUE(info.GetCpuInfoString().startsWith("0.0 GHz"));
    EXPECT_EQ(info.GetMemorySize(), 0);
    EXPECT_FALSE(log.Contains(google::ERROR, "Can't parse memory information", source))
        << log.Dump();
    EXPECT_TRUE(log.Contains(google::ERROR, "Error while reading memory info", source));
}
