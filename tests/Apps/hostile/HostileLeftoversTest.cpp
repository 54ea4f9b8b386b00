// The leftovers of an application that is gone, through `klarvik clean
// --kind leftovers`: leftovers that are links to outside folders and files or
// hard links of outside files, a sandbox container that is a link to an
// outside folder, crash reports with names no codec or terminal likes, and a
// second process swapping the library's Caches folder for a link to an
// outside folder holding the same names.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <string>
#include <vector>

#include "BindMount.h"
#include "Hostile.h"
#include "Swapper.h"
#include "common/ScopedEnv.h"
#include "common/TestEnv.h"

using namespace Varnex::Test;

namespace {

// Foo.app recorded by a scan of the applications, then removed by hand; its
// leftovers hostile. `mdls` fails (no last-use times), as off macOS.
class GoneApplication {
public:
    explicit GoneApplication(Hostile& h)
        : m_path("PATH", (h.t.Path("bin") + ":" + qgetenv("PATH")).toUtf8()) {
        h.t.MakeFile("bin/mdls", "#!/bin/sh\nexit 1\n");
        QFile::setPermissions(h.t.Path("bin/mdls"), QFile::ReadOwner | QFile::ExeOwner);
        h.t.MakeFile("sys/Applications/Foo.app/Contents/Info.plist",
                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                     "<key>CFBundleIdentifier</key><string>com.example.foo</string>"
                     "</dict></plist>\n");
        h.t.MakeFile("sys/Applications/Foo.app/Contents/MacOS/Foo", QByteArray(5000, 'f'));
        QByteArray out, err;
        EXPECT_EQ(RunProgram(KLARVIK_PROGRAM, {"scan", "--kind", "third-party-apps"}, &out, &err),
                  0)
            << err.toStdString();
        EXPECT_TRUE(QDir(h.t.Path("sys/Applications/Foo.app")).removeRecursively());

        const QString lib = "home/Library/";
        h.Garbage(lib + "Caches/com.example.foo", 3);
        h.t.MakeFile(lib + "Preferences/com.example.foo.plist", QByteArray(50, 'p'));
        h.t.MakeSymlink(h.t.Path("outside/docs"),
                        lib + "Saved Application State/com.example.foo.savedState");
        h.t.MakeHardLink("outside/shared.bin", lib + "Logs/DiagnosticReports/Foo_2020.crash");
        h.t.MakeFile(lib + "Logs/DiagnosticReports/Foo_odd: name\nremoved: x.crash", "c");
        h.t.MakeFileBytes("home/Library/Logs/DiagnosticReports/Foo_\xff.crash", "c");
        h.t.MakeFile("outside/container/Data/Library/Caches/kept", "the container's cache");
        h.t.MakeSymlink(h.t.Path("outside/container"), lib + "Containers/com.example.foo");
        h.t.MakeFile("outside/caches-alt/com.example.foo/c", "swapped-in cache");
    }

private:
    ScopedEnv m_path;
};

}  // namespace

// Without swaps: the real leftovers go, the links among them go as links,
// the container behind a link is never entered, the names that cannot cross
// stay.
TEST(HostileLeftovers, LinkedLeftoversGoAsLinksAndTheOutsideStays) {
    Hostile h;
    GoneApplication gone(h);
    const Checksums before = h.Snapshot();
    const Outcome r = Clean({"--kind", "leftovers", "--select", h.t.Path("sys/Applications/Foo.app")});
    h.Verify(before, r);
    EXPECT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
    EXPECT_FALSE(h.t.Exists("home/Library/Caches/com.example.foo"));
    EXPECT_FALSE(h.t.Exists("home/Library/Preferences/com.example.foo.plist"));
    EXPECT_FALSE(h.t.Exists("home/Library/Logs/DiagnosticReports/Foo_2020.crash"));
    EXPECT_TRUE(h.t.ExistsBytes("home/Library/Logs/DiagnosticReports/Foo_\xff.crash"));
}

// The library's Caches folder swapped for a link to an outside one with the
// same leftover, a leftover's inside for a link, the preferences file for a
// hard link of an outside file, while the program runs.
TEST(HostileLeftovers, LeftoversUnderSwapsNeverReachTheOutside) {
    for (const uint64_t seed : kSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Hostile h;
        GoneApplication gone(h);
        const Checksums before = h.Snapshot();
        const std::string lib = h.t.Bytes("home/Library");
        Swapper swapper(
            {{Swap::ParentToLink, lib + "/Caches", h.OutPath("caches-alt")},
             {Swap::ParentToLink, lib + "/Caches/com.example.foo/d0", h.OutPath("docs")},
             {Swap::FileToHardLink, lib + "/Preferences/com.example.foo.plist",
              h.OutPath("precious")}},
            seed);
        const Outcome r =
            Clean({"--kind", "leftovers", "--select", h.t.Path("sys/Applications/Foo.app")});
        swapper.Stop();
        h.Verify(before, r, {lib + "/Caches", lib + "/Preferences"}, true);
    }
}

// An outside folder bound inside a leftover folder, an outside file bound
// over the preferences file: neither is crossed, and what stays is told.
TEST(HostileLeftovers, ABindMountIsNeverCrossed) {
    Hostile h;
    GoneApplication gone(h);
    h.t.MakeDir("home/Library/Caches/com.example.foo/d0/mnt");
    BindMount folder(h.t.Path("outside/docs"), h.t.Path("home/Library/Caches/com.example.foo/d0/mnt"));
    if (!folder.Ok()) {
        GTEST_SKIP() << "mount --bind failed: " << folder.Error();
    }
    BindMount file(h.t.Path("outside/precious"),
                   h.t.Path("home/Library/Preferences/com.example.foo.plist"));
    ASSERT_TRUE(file.Ok()) << file.Error();
    const Checksums before = h.Snapshot();
    const Outcome r = Clean({"--kind", "leftovers", "--select", h.t.Path("sys/Applications/Foo.app")});
    h.Verify(before, r);
    EXPECT_EQ(r.code, 1) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(h.t.Exists("home/Library/Caches/com.example.foo/d0/mnt/sub/deep.txt"));
    EXPECT_FALSE(h.t.Exists("home/Library/Logs/DiagnosticReports/Foo_2020.crash"));
}
