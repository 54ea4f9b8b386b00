#include <gtest/gtest.h>

#include <QDir>
#include <QSet>

#include "CleanerCommon/Disks.h"
#include "common/TempTree.h"

using namespace Varnex::Cleaner;
using Varnex::Test::TempTree;

namespace {

StorageInfo Disk(const QString& name, const QString& mount) {
    StorageInfo info;
    info.name = name;
    info.mountPath = mount;
    info.capacity = 100;
    info.available = 10;
    return info;
}

// One mount table line as the kernel writes it (the caller escapes fields).
QByteArray MountLine(int id, const QByteArray& mountPoint, const QByteArray& type,
                     const QByteArray& source, const QByteArray& devNumbers = "8:1") {
    return QByteArray::number(id) + " 1 " + devNumbers + " / " + mountPoint +
           " rw,relatime shared:1 - " + type + " " + source + " rw\n";
}

// The kernel's escaping of mount table fields.
QByteArray Escaped(const QString& path) {
    QByteArray out;
    for (const char c : path.toUtf8()) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            out +=
                '\\' + QByteArray::number(static_cast<unsigned char>(c), 8).rightJustified(3, '0');
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

TEST(FindDisk, DeepestMountByWholeComponents) {
    const QList<StorageInfo> disks = {Disk("Root", "/"), Disk("Data", "/mnt/data"),
                                      Disk("Data 2", "/mnt/data2"),
                                      Disk("Deep", "/mnt/data/deep/")};
    EXPECT_EQ(FindDisk(disks, "/mnt/data/x").name, "Data");
    EXPECT_EQ(FindDisk(disks, "/mnt/data").name, "Data");
    EXPECT_EQ(FindDisk(disks, "/mnt/data/").name, "Data");
    EXPECT_EQ(FindDisk(disks, "/mnt/data2/x").name, "Data 2");
    EXPECT_EQ(FindDisk(disks, "/mnt/datax/x").name, "Root");
    EXPECT_EQ(FindDisk(disks, "/mnt/data/deep").name, "Deep");
    EXPECT_EQ(FindDisk(disks, "/mnt/data/deeper").name, "Data");
    EXPECT_EQ(FindDisk(disks, "/mnt/data/deep/a/b").name, "Deep");
    EXPECT_EQ(FindDisk(disks, "/").name, "Root");
    EXPECT_EQ(FindDisk(disks, "/home/user").mountPath, "/");
    // Order of the list does not matter.
    const QList<StorageInfo> reversed = {disks[3], disks[2], disks[1], disks[0]};
    EXPECT_EQ(FindDisk(reversed, "/mnt/data/deep/a").name, "Deep");
    EXPECT_EQ(FindDisk(reversed, "/mnt/data/a").name, "Data");
}

TEST(FindDisk, NothingHoldsIt) {
    const QList<StorageInfo> disks = {Disk("Data", "/mnt/data")};
    EXPECT_EQ(FindDisk(disks, "/mnt/dat"), StorageInfo());
    EXPECT_EQ(FindDisk(disks, "/mnt/data_old/x"), StorageInfo());
    EXPECT_EQ(FindDisk(disks, "mnt/data/x"), StorageInfo());
    EXPECT_EQ(FindDisk(disks, ""), StorageInfo());
    EXPECT_EQ(FindDisk({}, "/x"), StorageInfo());
    EXPECT_EQ(FindDisk(disks, "/mnt/data/x").capacity, 100);
}

TEST(LoadDiskList, ThisMachine) {
    const QList<StorageInfo> disks = LoadDiskList();
    ASSERT_FALSE(disks.isEmpty());
    QSet<QString> names;
    for (const StorageInfo& disk : disks) {
        EXPECT_FALSE(disk.name.isEmpty());
        EXPECT_FALSE(names.contains(disk.name)) << disk.name.toStdString();
        names.insert(disk.name);
        EXPECT_TRUE(disk.mountPath.startsWith('/'));
        EXPECT_GT(disk.capacity, 0);
        EXPECT_GE(disk.available, 0);
        EXPECT_LE(disk.available, disk.capacity);
        EXPECT_FALSE(disk.mountPath == "/proc" || disk.mountPath == "/sys" ||
                     disk.mountPath.startsWith("/sys/") || disk.mountPath == "/dev/pts")
            << disk.mountPath.toStdString();
    }
    const StorageInfo root = FindDisk(disks, "/");
    EXPECT_EQ(root.mountPath, "/");
    EXPECT_FALSE(FindDisk(disks, QDir::tempPath()).name.isEmpty());
}

TEST(LoadDiskList, MountTableNamesLabelsAndFilters) {
    TempTree tree;
    tree.MakeDir("mnt/Backup Disk");  // space: escaped as \040
    tree.MakeDir("mnt/a/data");
    tree.MakeDir("mnt/b/data");  // same last component: " 2"
    tree.MakeDir("mnt/c/data");  // and " 3"
    tree.MakeDir(QString::fromUtf8("mnt/caf\xc3\xa9\nx"));
    tree.MakeDir("mnt/proc");
    tree.MakeDir("mnt/shm");
    tree.MakeDir("mnt/over");
    tree.MakeDir("mnt/labelled");
    tree.MakeFile("mnt/hosts", "127.0.0.1 localhost\n");
    tree.MakeFile("dev/sdz1", "");
    tree.MakeDir("by-label");
    tree.MakeSymlink(tree.Path("dev/sdz1"), "by-label/My\\x20Photos");

    const auto path = [&](const QString& rel) { return Escaped(tree.Path(rel)); };
    QByteArray table;
    table += MountLine(1, "/", "ext4", "/dev/vda");
    table += MountLine(2, path("mnt/Backup Disk"), "ext4", "/dev/sdb1");
    table += MountLine(3, path("mnt/a/data"), "xfs", "/dev/sdc1");
    table += MountLine(4, path("mnt/b/data"), "btrfs", "/dev/sdd1");
    table += MountLine(5, path("mnt/c/data"), "ext4", "/dev/sde1");
    table += MountLine(6, path(QString::fromUtf8("mnt/caf\xc3\xa9\nx")), "ext4", "/dev/sdf1");
    table += MountLine(7, path("mnt/proc"), "proc", "proc");
    table += MountLine(8, path("mnt/shm"), "tmpfs", "tmpfs");
    table += MountLine(9, path("mnt/hosts"), "ext4", "/dev/vda");        // a file bound in place
    table += MountLine(10, path("mnt/over"), "ext4", "/dev/sdg1");       // hidden by 11
    table += MountLine(11, path("mnt/over"), "squashfs", "/dev/loop0");  // pseudo: neither shown
    table += MountLine(12, path("mnt/labelled"), "ext4", tree.Path("dev/sdz1").toUtf8());
    table += MountLine(13, path("mnt/missing"), "ext4", "/dev/sdh1");  // no such folder
    table += "garbage line\n\n";
    table += MountLine(14, path("mnt/a/data") + "\\777", "ext4", "/dev/sdi1");  // bad escape

    const QList<StorageInfo> disks = Details::DisksFromMountTable(table, tree.Path("by-label"));
    QStringList names;
    QStringList mounts;
    for (const StorageInfo& disk : disks) {
        names << disk.name;
        mounts << disk.mountPath;
        EXPECT_GT(disk.capacity, 0) << disk.name.toStdString();
    }
    EXPECT_EQ(names, QStringList({"Root", "Backup Disk", "data", "data 2", "data 3",
                                  QString::fromUtf8("caf\xc3\xa9\nx"), "My Photos"}));
    EXPECT_EQ(mounts, QStringList({"/", tree.Path("mnt/Backup Disk"), tree.Path("mnt/a/data"),
                                   tree.Path("mnt/b/data"), tree.Path("mnt/c/data"),
                                   tree.Path(QString::fromUtf8("mnt/caf\xc3\xa9\nx")),
                                   tree.Path("mnt/labelled")}));
}

TEST(LoadDiskList, PseudoFileSystems) {
    for (const char* type : {"proc", "sysfs", "tmpfs", "devpts", "cgroup2", "squashfs"}) {
        EXPECT_TRUE(Details::IsPseudoFileSystem(type)) << type;
    }
    for (const char* type : {"ext4", "xfs", "btrfs", "overlay", "vfat", "apfs", "nfs"}) {
        EXPECT_FALSE(Details::IsPseudoFileSystem(type)) << type;
    }
}
