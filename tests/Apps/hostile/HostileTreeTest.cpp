// Every kind that removes files, run end to end through `klarvik clean` on
// hostile trees: links at every depth, names no terminal or codec likes, a
// 1000-deep tree, a bind mount, and a second process that swaps parents for
// links, folders for files and files for hard links of outside files while
// the program runs. Whatever happens, nothing outside the plan may change and
// nothing still there may be told removed.
#include <gtest/gtest.h>

#include <QFile>
#include <string>
#include <vector>

#include "BindMount.h"
#include "Hostile.h"
#include "Swapper.h"
#include "common/FakeLaunchctl.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Test;

// The contents kinds: every swap at every seed, the root's parents swapped
// for a link to the outside, folders for files, files for hard links.
TEST(HostileTree, ContentsKindsUnderSwapsNeverReachTheOutside) {
    for (const char* kind : {"caches", "logs", "trash", "shredder"}) {
        for (const uint64_t seed : kSeeds) {
            SCOPED_TRACE(std::string(kind) + " seed " + std::to_string(seed));
            Hostile h;
            h.Garbage("home/Root");
            h.t.MakeFile("home/Root/d0/victim", QByteArray(4000, 'v'));
            const Checksums before = h.Snapshot();
            const std::string root = h.t.Bytes("home/Root");
            const std::vector<Swap> swaps{
                {Swap::ParentToLink, root + "/d0/d1", h.Out()},
                {Swap::FolderToFile, root + "/d0/d1/d2", ""},
                {Swap::FileToHardLink, root + "/d0/victim", h.OutPath("precious")},
                {Swap::ParentToLink, root + "/d0", h.OutPath("docs")}};
            Swapper swapper(swaps, seed);
            const Outcome r = Clean({"--kind", kind, h.t.Path("home/Root")});
            swapper.Stop();
            h.Verify(before, r, {root + "/d0"});
        }
    }
}

// The shredder's overwrite never reaches an outside file's bytes, be it a
// hard link in its root, a link to it, or a link to its folder.
TEST(HostileTree, ShredderNeverOverwritesAnOutsideFile) {
    Hostile h;
    h.Garbage("home/Shred", 3);
    h.t.MakeFile("home/Shred/mine", QByteArray(900, 'm'));
    const Checksums before = h.Snapshot();
    const Outcome r = Clean({"--kind", "shredder", h.t.Path("home/Shred")});
    h.Verify(before, r);
    EXPECT_FALSE(h.t.Exists("home/Shred/mine"));
    // A file root that is a hard link of an outside file, and a link to one.
    h.t.MakeHardLink("outside/precious", "home/hl");
    h.t.MakeSymlink(h.t.Path("outside/precious"), "home/sl");
    for (const char* rel : {"home/hl", "home/sl"}) {
        const Outcome one = Clean({"--kind", "shredder", h.t.Path(rel)});
        EXPECT_EQ(h.t.Read("outside/precious"), QByteArray("the user's thesis")) << rel;
    }
    const Checksums after = h.Snapshot();
    EXPECT_TRUE(before == after) << Diff(before, after);
}

// Names that cannot cross as UTF-8 and a 1000-deep tree: no crash, nothing
// outside touched, and what is told removed is gone.
TEST(HostileTree, UndecodableNamesStayWhereTheyAre) {
    Hostile h;
    h.t.MakeFileBytes("home/Caches/bad\xff/x", "x");
    h.t.MakeFileBytes("home/Caches/ok/n\xfe\xfe", "n");
    h.t.MakeFile("home/Caches/ok/plain", "p");
    h.t.MakeSymlink(h.t.Path("outside"), "home/Caches/ok/to-outside");
    const Checksums before = h.Snapshot();
    for (const char* kind : {"caches", "shredder"}) {
        const Outcome r = Clean({"--kind", kind, h.t.Path("home/Caches")});
        h.Verify(before, r);
    }
    // The names that cannot cross stay where they are.
    EXPECT_TRUE(h.t.ExistsBytes("home/Caches/bad\xff/x"));
    EXPECT_TRUE(h.t.ExistsBytes("home/Caches/ok/n\xfe\xfe"));
    EXPECT_FALSE(h.t.Exists("home/Caches/ok/plain"));
}

// A 1000-deep folder chain is cleaned whole, in bounded time, and the link at
// its bottom is removed as a link.
TEST(HostileTree, AThousandDeepTreeIsCleanedInside) {
    Hostile h;
    QString deep = "home/Caches/deep";
    for (int i = 0; i < 1000; ++i) {
        deep += "/d";
    }
    h.t.MakeFile(deep + "/leaf", "leaf");
    h.t.MakeSymlink(h.t.Path("outside"), deep + "/to-outside");
    const Checksums before = h.Snapshot();
    const Outcome r = Clean({"--kind", "caches", h.t.Path("home/Caches")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    // Qt's reader stops at 1024 levels of nesting: the summary is read as text.
    EXPECT_TRUE(r.out.contains("\"cleaned_items\": 1003")) << r.out.right(400).toStdString();
    EXPECT_TRUE(r.out.contains("\"failed\": [\n    ]")) << r.out.right(400).toStdString();
    h.VerifyOutside(before);
    EXPECT_FALSE(h.t.Exists("home/Caches/deep"));
}

// A folder of the outside bound inside a root: the cleaning never crosses
// into it.
TEST(HostileTree, ABindMountIsNeverCrossed) {
    Hostile h;
    h.Garbage("home/Caches", 2);
    h.t.MakeDir("home/Caches/d0/mnt");
    BindMount mount(h.t.Path("outside/docs"), h.t.Path("home/Caches/d0/mnt"));
    if (!mount.Ok()) {
        GTEST_SKIP() << "mount --bind failed: " << mount.Error();
    }
    const Checksums before = h.Snapshot();
    for (const char* kind : {"caches", "shredder", "logs"}) {
        const Outcome r = Clean({"--kind", kind, h.t.Path("home/Caches")});
        h.Verify(before, r);
    }
}

// The kinds that remove what is named: the named folder or file swapped
// for a link to the outside, or the file for a hard link of an outside file.
TEST(HostileTree, SelectedItemsUnderSwapsNeverReachTheOutside) {
    for (const uint64_t seed : kSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        {
            Hostile h;
            h.Garbage("home/Usage");
            h.t.MakeFile("home/Usage/keep/k", "k");
            const Checksums before = h.Snapshot();
            const Checksums keep = Take({h.t.Bytes("home/Usage/keep")});
            const std::string root = h.t.Bytes("home/Usage");
            Swapper swapper({{Swap::ParentToLink, root + "/d0", h.OutPath("docs")},
                             {Swap::FolderToFile, root + "/d0/d1/d2", ""}},
                            seed);
            const Outcome r = Clean({"--kind", "disk-usage", "--select", h.t.Path("home/Usage/d0"),
                                     h.t.Path("home/Usage")});
            swapper.Stop();
            h.Verify(before, r, {root + "/d0"}, true);
            EXPECT_TRUE(keep == Take({h.t.Bytes("home/Usage/keep")})) << "not selected";
        }
        {
            Hostile h;
            h.t.MakeSparseFile("outside/big.iso", 12000000);
            h.t.MakeSparseFile("home/Big/a.mov", 11000000);
            h.t.MakeSparseFile("home/Big/sub/b.mov", 10500000);
            h.t.MakeSparseFile("home/Big/keep.iso", 10000000);
            const Checksums before = h.Snapshot();
            const std::string root = h.t.Bytes("home/Big");
            Swapper swapper({{Swap::FileToHardLink, root + "/a.mov", h.OutPath("big.iso")},
                             {Swap::ParentToLink, root + "/sub", h.Out()}},
                            seed);
            const Outcome r =
                Clean({"--kind", "large-old", "--select", h.t.Path("home/Big/a.mov"), "--select",
                       h.t.Path("home/Big/sub/b.mov"), h.t.Path("home/Big")});
            swapper.Stop();
            h.Verify(before, r, {root + "/a.mov", root + "/sub"}, true);
            EXPECT_TRUE(h.t.Exists("home/Big/keep.iso"));
        }
        {
            Hostile h;
            const QByteArray bytes(1100000, 'D');
            h.t.MakeFile("outside/dup.bin", bytes);
            h.t.MakeHardLink("outside/dup.bin", "home/Dups/linked.bin");
            h.t.MakeFile("home/Dups/copy.bin", bytes);
            h.t.MakeFile("home/Dups/sub/copy2.bin", bytes);
            const Checksums before = h.Snapshot();
            const std::string root = h.t.Bytes("home/Dups");
            Swapper swapper({{Swap::FileToHardLink, root + "/copy.bin", h.OutPath("dup.bin")},
                             {Swap::ParentToLink, root + "/sub", h.Out()}},
                            seed);
            const Outcome r = Clean({"--kind", "duplicates", "--delete", h.t.Path("home/Dups")});
            swapper.Stop();
            h.Verify(before, r, {root + "/copy.bin", root + "/sub"}, true);
        }
    }
}

// An application's removal: its leftovers a link to the outside and a hard
// link of an outside file, its bundle's insides swapped for a link while
// the program runs.
TEST(HostileTree, ApplicationRemovalUnderSwapsNeverReachesTheOutside) {
    for (const uint64_t seed : {kSeeds[0], kSeeds[2]}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Hostile h;
        h.t.MakeFile("sys/Applications/Foo.app/Contents/Info.plist",
                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                     "<key>CFBundleIdentifier</key><string>com.example.foo</string>"
                     "</dict></plist>\n");
        h.t.MakeFile("sys/Applications/Foo.app/Contents/MacOS/Foo", QByteArray(5000, 'f'));
        h.t.MakeFile("sys/Applications/Foo.app/Contents/Resources/r/x", "x");
        h.t.MakeSymlink(h.t.Path("outside"), "sys/Applications/Foo.app/Contents/Resources/out");
        h.t.MakeHardLink("outside/shared.bin", "home/Library/Preferences/com.example.foo.plist");
        h.t.MakeSymlink(h.t.Path("outside/docs"), "home/Library/Caches/com.example.foo");
        h.t.MakeFile("bin/mdls", "#!/bin/sh\nexit 1\n");
        QFile::setPermissions(h.t.Path("bin/mdls"), QFile::ReadOwner | QFile::ExeOwner);
        ScopedEnv path("PATH", (h.t.Path("bin") + ":" + qgetenv("PATH")).toUtf8());
        const Checksums before = h.Snapshot();
        const std::string res = h.t.Bytes("sys/Applications/Foo.app/Contents/Resources");
        Swapper swapper({{Swap::ParentToLink, res + "/r", h.OutPath("docs")},
                         {Swap::ParentToLink, res, h.Out()}},
                        seed);
        const Outcome r = Clean({"--kind", "third-party-apps", "--select",
                                 h.t.Path("sys/Applications/Foo.app")});
        swapper.Stop();
        h.Verify(before, r, {res});
    }
}

// A launch agent's job file that is a link to an outside file or a hard link
// of one: the job is unloaded, the outside file stays as it was.
TEST(HostileTree, LaunchAgentFilesThatAreLinksLeaveTheOutsideAlone) {
    Hostile h;
    Varnex::Test::FakeLaunchctl fake;
    h.t.MakeFile("outside/job.plist", Varnex::Test::FakeLaunchctl::JobPlist("com.example.a"));
    h.t.MakeFile("outside/job2.plist", Varnex::Test::FakeLaunchctl::JobPlist("com.example.b"));
    h.t.MakeSymlink(h.t.Path("outside/job.plist"), "home/Library/LaunchAgents/com.example.a.plist");
    h.t.MakeHardLink("outside/job2.plist", "home/Library/LaunchAgents/com.example.b.plist");
    fake.SetLoaded({"com.example.a", "com.example.b"});
    const Checksums before = h.Snapshot();
    const Outcome r = Clean({"--kind", "launch-agents", "--select",
                             h.t.Path("home/Library/LaunchAgents/com.example.a.plist"), "--select",
                             h.t.Path("home/Library/LaunchAgents/com.example.b.plist")});
    h.Verify(before, r);
}
