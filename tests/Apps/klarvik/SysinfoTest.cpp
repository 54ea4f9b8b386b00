// `klarvik sysinfo`: the real program, with a fake system_profiler first on
// PATH or with only the stand-in built beside it.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::RunProgram;
using Varnex::Test::TempTree;

namespace {

const long long gb = 1024LL * 1024 * 1024;

// Sets PATH for the life of the object; klarvik inherits it.
class PathOverride {
public:
    explicit PathOverride(const QByteArray& path) : m_old(qgetenv("PATH")) {
        qputenv("PATH", path);
    }
    ~PathOverride() { qputenv("PATH", m_old); }

private:
    QByteArray m_old;
};

// A system_profiler that prints <data type>.txt of its folder.
struct FakeProfiler {
    TempTree tree;
    PathOverride path{tree.Root().toUtf8() + ":" + qgetenv("PATH")};

    FakeProfiler() {
        tree.MakeFile("system_profiler", "#!/bin/sh\ncat \"${0%/*}/$1.txt\" 2>/dev/null\n");
        QFile::setPermissions(tree.Path("system_profiler"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        tree.MakeFile("SPSoftwareDataType.txt",
                      "Software:\n\n    System Software Overview:\n\n"
                      "      System Version: OS X 10.9.5 (13F34)\n"
                      "      User Name: J\xc3\xb6hn \xc3\x84ppleseed (john)\n\n");
        tree.MakeFile("SPHardwareDataType.txt",
                      "Hardware:\n\n    Hardware Overview:\n\n"
                      "      Model Name: MacBook Pro\n"
                      "      Model Identifier: MacBookPro11,1\n"
                      "      Processor Name: Intel Core i5\n"
                      "      Processor Speed: 2.4 GHz\n\n");
        const QByteArray bank =
            "          Size: 4 GB\n          Type: DDR3\n          Speed: 1600 MHz\n";
        tree.MakeFile("SPMemoryDataType.txt",
                      "Memory:\n\n    Memory Slots:\n\n      ECC: Disabled\n\n"
                      "        BANK 0/DIMM0:\n\n" +
                          bank + "\n        BANK 1/DIMM0:\n\n" + bank + "\n");
        tree.MakeFile("SPDisplaysDataType.txt",
                      "Graphics/Displays:\n\n    Intel Iris:\n\n"
                      "      Chipset Model: Intel Iris\n"
                      "      VRAM (Dynamic, Max): 1536 MB\n\n");
    }
};

struct Outcome {
    int code;
    QByteArray out;
    QByteArray err;
};

Outcome Sysinfo(const QStringList& extra = {}) {
    Outcome r;
    r.code = RunProgram(KLARVIK_PROGRAM, QStringList{"sysinfo"} + extra, &r.out, &r.err);
    return r;
}

}  // namespace

TEST(KlarvikSysinfo, JsonCarriesEveryValue) {
    FakeProfiler tool;
    const Outcome r = Sysinfo({"--json"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    QJsonParseError error;
    const QJsonObject doc = QJsonDocument::fromJson(r.out, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
    EXPECT_EQ(doc.value("model_name").toString(), "MacBook Pro");
    EXPECT_EQ(doc.value("model_identifier").toString(), "MacBookPro11,1");
    EXPECT_EQ(doc.value("system_name").toString(), "OS X 10.9.5 (13F34)");
    EXPECT_EQ(doc.value("system_version").toString(), "10.9.5");
    EXPECT_EQ(doc.value("user_name").toString(),
              QString::fromUtf8("J\xc3\xb6hn \xc3\x84ppleseed (john)"));
    EXPECT_EQ(doc.value("cpu_speed").toDouble(), 2.4e9);
    EXPECT_EQ(doc.value("cpu_info").toString(), "2.4 GHz Intel Core i5");
    EXPECT_EQ(doc.value("memory_size").toDouble(), 8.0 * gb);
    EXPECT_EQ(doc.value("memory_speed").toDouble(), 1.6e9);
    EXPECT_EQ(doc.value("memory_type").toString(), "DDR3");
    EXPECT_EQ(doc.value("memory_info").toString(), "8 GB 1600 MHz DDR3");
    const QJsonArray banks = doc.value("memory_banks").toArray();
    ASSERT_EQ(banks.size(), 2);
    EXPECT_EQ(banks.at(1).toObject().value("size").toDouble(), 4.0 * gb);
    EXPECT_EQ(doc.value("gpu_chipset_model").toString(), "Intel Iris");
    EXPECT_EQ(doc.value("gpu_memory_size").toDouble(), 1536.0 * 1024 * 1024);
    EXPECT_EQ(doc.value("graphics_info").toString(), "Intel Iris 2 GB");

    const QJsonArray disks = doc.value("disks").toArray();
    ASSERT_FALSE(disks.isEmpty());
    double capacity = 0;
    for (const QJsonValue& disk : disks) {
        EXPECT_FALSE(disk.toObject().value("name").toString().isEmpty());
        EXPECT_TRUE(disk.toObject().value("mount_path").toString().startsWith('/'));
        capacity += disk.toObject().value("capacity").toDouble();
    }
    EXPECT_EQ(doc.value("total_disk_space").toDouble(), capacity);
    EXPECT_GT(doc.value("available_disk_space").toDouble(), 0);
}

TEST(KlarvikSysinfo, TextShowsTheDisplayStrings) {
    FakeProfiler tool;
    const Outcome r = Sysinfo();
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QString text = QString::fromUtf8(r.out);
    EXPECT_TRUE(text.contains("Model:      MacBook Pro (MacBookPro11,1)\n")) << r.out.toStdString();
    EXPECT_TRUE(text.contains("Version:    10.9.5\n"));
    EXPECT_TRUE(
        text.contains(QString::fromUtf8("User:       J\xc3\xb6hn \xc3\x84ppleseed (john)\n")));
    EXPECT_TRUE(text.contains("Processor:  2.4 GHz Intel Core i5\n"));
    EXPECT_TRUE(text.contains("Memory:     8 GB 1600 MHz DDR3\n"));
    EXPECT_TRUE(text.contains("Graphics:   Intel Iris 2 GB\n"));
    EXPECT_TRUE(text.contains("Disks:"));
}

TEST(KlarvikSysinfo, TextLeavesOutWhatTheSystemDidNotSay) {
    FakeProfiler tool;
    tool.tree.MakeFile("SPHardwareDataType.txt",
                       "Hardware:\n\n    Hardware Overview:\n\n"
                       "      Model Name: MacBook Pro\n"
                       "      Processor Name: Intel Core i5\n\n");
    tool.tree.MakeFile("SPMemoryDataType.txt",
                       "Memory:\n\n    Memory Slots:\n\n      ECC: Disabled\n\n"
                       "        BANK 0/DIMM0:\n\n          Size: 4 GB\n\n");
    tool.tree.MakeFile("SPDisplaysDataType.txt",
                       "Graphics/Displays:\n\n    Intel Iris:\n\n"
                       "      Chipset Model: Intel Iris\n\n");
    const Outcome r = Sysinfo();
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Processor:  Intel Core i5\n")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Memory:     4 GB\n")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Graphics:   Intel Iris\n"));
    EXPECT_FALSE(r.out.contains(" 0 ")) << "no \"0 MHz\", \"0 GHz\" or \"0 B\"";
    EXPECT_FALSE(r.out.contains(" \n")) << "no empty field at the end of a line";
}

// No system_profiler on PATH at all: klarvik finds the stand-in beside itself.
TEST(KlarvikSysinfo, FallsBackToTheStandInBesideTheProgram) {
    TempTree empty;
    PathOverride path(empty.Root().toUtf8());
    const Outcome r = Sysinfo({"--json"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    EXPECT_FALSE(doc.value("system_version").toString().isEmpty()) << r.out.toStdString();
    EXPECT_FALSE(doc.value("user_name").toString().isEmpty());
    EXPECT_GT(doc.value("memory_size").toDouble(), 0);
    EXPECT_FALSE(doc.value("cpu_info").toString().section(' ', 2).isEmpty());
}

TEST(KlarvikSysinfo, HelpNamesTheCommand) {
    QByteArray out;
    ASSERT_EQ(RunProgram(KLARVIK_PROGRAM, {"--help"}, &out), 0);
    EXPECT_TRUE(out.contains("sysinfo"));
}
