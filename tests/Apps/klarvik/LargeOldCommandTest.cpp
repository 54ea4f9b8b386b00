// `klarvik scan|clean --kind large-old` through the real program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include "common/ImmutableGuard.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::RunProgram;
using Varnex::Test::TempTree;

namespace {

int Klarvik(const QStringList& args, QByteArray* out, QByteArray* err) {
    return RunProgram(KLARVIK_PROGRAM, args, out, err);
}

}  // namespace

// Nothing is selected by default; clean removes exactly the files named, a
// name that is not an item of the scan removes nothing, and a search inside
// the system's own folders is refused for cleaning.
TEST(KlarvikLargeOld, RemovesExactlyTheSelectedFiles) {
    TempTree t;
    t.MakeSparseFile("r/big: é\nx.mov", 20000000);
    t.MakeSparseFile("r/keep.iso", 30000000);
    t.MakeFile("r/small.txt", "small");
    const QString r = QDir(t.Path("r")).canonicalPath();
    QByteArray out, err;

    t.MakeFileBytes("r/odd\xff.bin", std::string(10, 'o'));
    ASSERT_EQ(Klarvik({"scan", "--kind", "large-old", r}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("Total: 2 files")) << out.data();
    EXPECT_EQ(out.count("[ ] "), 2) << out.data();
    EXPECT_TRUE(out.contains(" video ")) << out.data();
    // The name the search could not show is told.
    ASSERT_EQ(Klarvik({"scan", "--kind", "large-old", "--json", r}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("\"not_utf8_names\": 1")) << out.data();

    EXPECT_EQ(Klarvik({"clean", "--kind", "large-old", "--yes", r}, &out, &err), 0);
    EXPECT_TRUE(err.contains("nothing is selected")) << err.data();
    EXPECT_EQ(Klarvik({"clean", "--kind", "large-old", "--yes", "--select", r + "/small.txt",
                       "--select", r + "/keep.iso", r},
                      &out, &err),
              2);
    EXPECT_TRUE(t.Exists("r/keep.iso"));
    EXPECT_EQ(Klarvik({"clean", "--kind", "large-old", "--yes", "/usr/share"}, &out, &err), 2);
    EXPECT_TRUE(err.contains("system's own folder")) << err.data();

    ASSERT_EQ(Klarvik({"clean", "--kind", "large-old", "--yes", "--select",
                       r + "/big: é\nx.mov", r},
                      &out, &err),
              0)
        << err.data();
    EXPECT_FALSE(t.Exists("r/big: é\nx.mov"));
    EXPECT_TRUE(t.Exists("r/keep.iso"));
    EXPECT_TRUE(t.Exists("r/small.txt"));
    EXPECT_TRUE(out.contains("Removed 1 item")) << out.data();
}

// A search folder may hold the system's own folders (the system root as a
// home): their files are shown, never removed, whether the system root below
// which they lie is named or reached through a link.
TEST(KlarvikLargeOld, NeverRemovesAFileInTheSystemsOwnFolders) {
    const QString sysroot = QString::fromLocal8Bit(qgetenv("KLARVIK_SYSROOT"));
    ASSERT_FALSE(sysroot.isEmpty());
    TempTree t;
    t.MakeSymlink(sysroot, "root-link");
    QDir().mkpath(sysroot + "/usr/share");
    const QString big = sysroot + "/usr/share/big.bin";
    ASSERT_EQ(::truncate(QFile::encodeName(big).constData(), 0), -1);  // not there yet
    QFile file(big);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(20000000));
    file.close();
    // The home folder may be searched itself; here it is the system root.
    Varnex::Test::ScopedEnv home("HOME", sysroot.toUtf8());
    QByteArray out, err;
    for (const QString& root : {sysroot, t.Path("root-link")}) {
        const QString item = root + "/usr/share/big.bin";
        EXPECT_EQ(Klarvik({"clean", "--kind", "large-old", "--yes", "--select", item, root}, &out,
                          &err),
                  2)
            << out.data();
        EXPECT_TRUE(err.contains("system's own folder")) << err.data();
        EXPECT_TRUE(QFile::exists(big));
    }
    QFile::remove(big);
}

// A package that could be removed only in part says why it stayed, in the
// text and in the JSON Lines record.
TEST(KlarvikLargeOld, APackageNotRemovedSaysWhy) {
    TempTree t;
    t.MakeSparseFile("r/Big.app/Contents/Resources/data.bin", 20000000);
    t.MakeFile("r/Big.app/Contents/Info.plist", "<plist/>");
    const QString r = QDir(t.Path("r")).canonicalPath();
    const QString package = r + "/Big.app";
    Varnex::Test::ImmutableGuard stuck;
    if (!stuck.Set(t.Path("r/Big.app/Contents/Resources/data.bin"))) {
        GTEST_SKIP() << "no immutable files here";
    }
    QByteArray out, err;
    EXPECT_EQ(
        Klarvik({"clean", "--kind", "large-old", "--yes", "--select", package, r}, &out, &err), 1);
    EXPECT_TRUE(out.contains("not removed: " + package.toUtf8() + " (Permission denied)"))
        << out.data();
    EXPECT_EQ(Klarvik({"clean", "--kind", "large-old", "--yes", "--jsonl", "--select", package, r},
                      &out, &err),
              1);
    EXPECT_TRUE(
        out.contains("{\"type\":\"failed\",\"path\":\"" + package.toUtf8() +
                     "\",\"error\":\"permission_denied\",\"message\":\"Permission denied\"}"))
        << out.data();
    EXPECT_TRUE(t.Exists("r/Big.app/Contents/Resources/data.bin"));
    EXPECT_FALSE(t.Exists("r/Big.app/Contents/Info.plist"));
}
