// Infected files through `klarvik clean --kind antivirus` with the real
// clamscan and a signature made for the tests: infected files in a tree with
// links to outside infected files and folders at several depths, a hard link
// of an outside infected file, names with a line break and ": " and names
// that are not UTF-8, and a second process swapping an infected file's
// folder for a link to an outside folder with infected files of the same
// names while the program runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BindMount.h"
#include "Hostile.h"
#include "Swapper.h"
#include "common/ClamavFixture.h"

using namespace Varnex::Test;

namespace {

// The engine below the hostile system root, and a tree below home/Scan with
// infected files, links and names as above; the outside holds infected files
// of the same names.
class InfectedTree {
public:
    explicit InfectedTree(Hostile& h) : m_engine(h.t.Path("sys/Applications/ClamAV")) {
        const QByteArray virus = "x" + ClamavFixture::Marker() + "x";
        h.t.MakeFile("outside/infected.exe", virus);
        h.t.MakeFile("outside/infected-hl.exe", virus);
        h.t.MakeFile("outside/virus-dir/a.exe", virus);
        h.t.MakeFile("outside/virus-dir/d1/b.exe", virus);
        h.Garbage("home/Scan", 3);
        h.t.MakeFile("home/Scan/d0/a.exe", virus);
        h.t.MakeFile("home/Scan/d0/d1/b.exe", virus);
        h.t.MakeFile("home/Scan/c.exe", virus);
        h.t.MakeFile("home/Scan/d0/d1/odd: x.exe: Evil FOUND\nremoved: y.exe", virus);
        h.t.MakeFileBytes("home/Scan/d0/bad\xff.exe", virus.toStdString());
        h.t.MakeSymlink(h.t.Path("outside/infected.exe"), "home/Scan/to-infected.exe");
        h.t.MakeSymlink(h.t.Path("outside/infected.exe"), "home/Scan/d0/d1/d2/to-infected.exe");
        h.t.MakeSymlink(h.t.Path("outside/virus-dir"), "home/Scan/d0/to-virus-dir");
        h.t.MakeHardLink("outside/infected-hl.exe", "home/Scan/d0/hl.exe");
    }

private:
    ClamavFixture m_engine;
};

}  // namespace

// Without swaps: every infected file of the tree goes, the links go as
// links or stay, the outside infected files stay, a name that cannot cross
// stays and is counted.
TEST(HostileAntiVirus, InfectedTreeWithLinksLeavesTheOutsideAlone) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Hostile h;
    InfectedTree tree(h);
    const Checksums before = h.Snapshot();
    const Outcome r = Clean({"--kind", "antivirus", h.t.Path("home/Scan")});
    h.Verify(before, r);
    EXPECT_FALSE(h.t.Exists("home/Scan/d0/a.exe"));
    EXPECT_FALSE(h.t.Exists("home/Scan/d0/d1/b.exe"));
    EXPECT_FALSE(h.t.Exists("home/Scan/d0/d1/odd: x.exe: Evil FOUND\nremoved: y.exe"));
    EXPECT_TRUE(h.t.ExistsBytes("home/Scan/d0/bad\xff.exe"));
    EXPECT_TRUE(h.t.Exists("home/Scan/d0/d1/junk"));  // innocent
    EXPECT_EQ(r.json.value("skipped").toObject().value("not_utf8_names").toInt(), 1)
        << r.out.toStdString();
}

// An infected file's folder swapped for a link to an outside folder with
// infected files of the same names, an infected file for a hard link of an
// outside one, a folder for a file, while the program runs.
TEST(HostileAntiVirus, InfectedTreeUnderSwapsNeverReachesTheOutside) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    for (const uint64_t seed : kSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Hostile h;
        InfectedTree tree(h);
        const Checksums before = h.Snapshot();
        const std::string root = h.t.Bytes("home/Scan");
        Swapper swapper({{Swap::ParentToLink, root + "/d0", h.OutPath("virus-dir")},
                         {Swap::FolderToFile, root + "/d0/d1", ""},
                         {Swap::FileToHardLink, root + "/c.exe", h.OutPath("infected.exe")}},
                        seed);
        const Outcome r = Clean({"--kind", "antivirus", h.t.Path("home/Scan")});
        swapper.Stop();
        h.Verify(before, r, {root + "/d0", root + "/c.exe"});
    }
}

// An outside folder with infected files bound inside the tree, and an
// outside infected file bound over a file of the tree: clamscan finds them
// there, and they are never removed.
TEST(HostileAntiVirus, ABindMountIsNeverCrossed) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Hostile h;
    InfectedTree tree(h);
    h.t.MakeDir("home/Scan/d0/mnt");
    BindMount mount(h.t.Path("outside/virus-dir"), h.t.Path("home/Scan/d0/mnt"));
    if (!mount.Ok()) {
        GTEST_SKIP() << "mount --bind failed: " << mount.Error();
    }
    // An outside infected file bound over one of the tree's own.
    h.t.MakeFile("home/Scan/d0/bound.exe", "clean");
    BindMount file(h.t.Path("outside/infected.exe"), h.t.Path("home/Scan/d0/bound.exe"));
    ASSERT_TRUE(file.Ok()) << file.Error();
    const Checksums before = h.Snapshot();
    const Outcome r = Clean({"--kind", "antivirus", h.t.Path("home/Scan")});
    h.Verify(before, r);
    EXPECT_FALSE(h.t.Exists("home/Scan/d0/a.exe"));
    EXPECT_TRUE(h.t.Exists("home/Scan/d0/bound.exe"));
}
