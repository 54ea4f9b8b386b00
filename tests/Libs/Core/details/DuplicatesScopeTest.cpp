#include <gtest/gtest.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <algorithm>

#include "Core/details/DuplicatesGarbageScope.h"
#include "Core/details/DuplicatesScanner.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageDuplicatesGroup.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 60000;

// `size` bytes of a pattern of `seed`, with `change` put at `at` when given.
QByteArray Content(int size, char seed, int at = -1, char change = 0) {
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(seed + i % 251);
    }
    if (at >= 0) {
        bytes[at] = change;
    }
    return bytes;
}

// Path -> hash of every result of a whole scan.
std::vector<DuplicatesScanner::File> ScanAll(DuplicatesScanner& scanner, const QStringList& roots) {
    scanner.Scan(roots);
    EXPECT_TRUE(WaitUntil([&] { return !scanner.IsWorking(); }, waitMs));
    scanner.Wait();
    std::vector<DuplicatesScanner::File> results = scanner.GetResults();
    std::sort(results.begin(), results.end(),
              [](const auto& a, const auto& b) { return a.path < b.path; });
    return results;
}

void Scan(DuplicatesGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    ASSERT_EQ(finished.last().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::DONE);
}

void Clean(DuplicatesGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    ASSERT_TRUE(scope.StartCleaning());
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
}

GarbageDuplicatesGroup* GroupOf(DuplicatesGarbageScope& scope, const QString& path) {
    for (AbstractGarbage* root : scope.GetRoots()) {
        for (AbstractGarbage* copy : root->GetChildren()) {
            if (copy->GetPath() == path) {
                return qobject_cast<GarbageDuplicatesGroup*>(root);
            }
        }
    }
    return nullptr;
}

}  // namespace

// One physical file through nested roots, a link to a root and a hard link is
// one file; only byte-equal copies are reported, and only sizes held twice
// are read: a different middle costs the samples, equal samples with other
// bytes one read of the whole files, a unique size nothing.
TEST(DuplicatesScanner, ReportsByteEqualCopiesOncePerPhysicalFileReadingLittle) {
    TempTree t;
    t.MakeFile("r/a/x", Content(10000, 'a'));
    t.MakeFile("r/b/x copy: é\nnew", Content(10000, 'a'));
    t.MakeHardLink("r/a/x", "r/a/x-hardlink");
    t.MakeFile("r/mid1", Content(20000, 'm'));
    t.MakeFile("r/mid2", Content(20000, 'm', 10000, 'X'));
    t.MakeFile("r/head1", Content(30000, 'h'));
    t.MakeFile("r/head2", Content(30000, 'h', 0, 'X'));
    t.MakeFile("r/unique", Content(40000, 'u'));
    t.MakeSymlink(t.Path("r"), "link-to-r");

    DuplicatesScanner scanner(0, 4096);
    const auto results = ScanAll(scanner, {t.Path("r/a"), t.Path("link-to-r"), t.Path("r") + "/"});
    EXPECT_EQ(scanner.GetScannedRoots(), QStringList{QDir(t.Path("r")).canonicalPath()});
    ASSERT_EQ(results.size(), 2u);
    const QString real = QDir(t.Path("r")).canonicalPath();
    const bool linkFirst = results[0].path.endsWith("x-hardlink");
    EXPECT_EQ(results[0].path, real + (linkFirst ? "/a/x-hardlink" : "/a/x"));
    EXPECT_EQ(results[1].path, real + "/b/x copy: é\nnew");
    EXPECT_EQ(results[0].hash, results[1].hash);
    EXPECT_EQ(results[0].hash.size(), 20);
    EXPECT_EQ(results[0].size, 12288) << "a result carries the rounded size";
    EXPECT_EQ(scanner.GetBytesRead(), 6 * 1024 + 2 * 10000 + 2 * 30000);

    // 2^32 + 100 must not wrap to 100 on the way.
    scanner.Clear();
    scanner.SetMinSize(4294967396LL);
    EXPECT_EQ(scanner.GetMinSize(), 4294967396LL);
    EXPECT_TRUE(ScanAll(scanner, {t.Path("r")}).empty());
}

// Files in a Trash pair only with a file outside it, and are never the copy
// kept, even when the trait would choose them.
TEST(DuplicatesGarbageScope, TrashCopiesAreNeverKeptNorPairedOnlyWithEachOther) {
    TempTree t;
    t.MakeFile("home/.local/share/Trash/files/t1", Content(9000, 't'));
    t.MakeFile("home/.local/share/Trash/files/t2", Content(9000, 't'));
    t.MakeFile("home/.Trash/doc", Content(9000, 'd'));
    t.MakeFile("home/doc", Content(9000, 'd'));
    const QByteArray oldHome = qgetenv("HOME");
    const QString home = QDir(t.Path("home")).canonicalPath();
    qputenv("HOME", home.toUtf8());
    SetCreationTimeReader([](const QString& path) {
        return path.contains(".Trash") ? QDateTime::fromSecsSinceEpoch(2000000000)
                                       : QDateTime::fromSecsSinceEpoch(1000000000);
    });

    DuplicatesGarbageScope scope;
    scope.SetMinSize(4096);
    scope.SetTaskInterval(0);
    scope.AddSearchPath(home);
    Scan(scope);
    ASSERT_EQ(scope.GetRoots().size(), 1);
    GarbageDuplicatesGroup* group = GroupOf(scope, home + "/doc");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->GetPath(), home + "/doc") << "the copy outside the Trash names the group";
    group->Select(true);  // KEEP_NEWEST would keep the Trash's newer copy
    EXPECT_FALSE(group->GetChildren().at(0)->IsSelected());
    EXPECT_TRUE(group->GetChildren().at(1)->IsSelected());
    scope.SetSelectionTrait(KEEP_OLDEST);
    EXPECT_FALSE(group->GetChildren().at(0)->IsSelected());

    SetCreationTimeReader({});
    qputenv("HOME", oldHome);
}

// Whatever is ticked, a group keeps a copy that is still there: a copy
// replaced after the scan is not planned, the last remaining copy is not
// planned, and the removed copies go to the Trash.
TEST(DuplicatesGarbageScope, NeverPlansTheLastCopyNorOneChangedSinceTheScan) {
    TempTree t;
    for (const char* name : {"a", "b", "c"}) {
        t.MakeFile(QString("r/three/") + name, Content(9000, '3'));
    }
    t.MakeFile("r/two/kept", Content(9000, '2'));
    t.MakeFile("r/two/other", Content(9000, '2'));
    t.MakeFile("r/pair/p1", Content(9000, 'p'));
    t.MakeFile("r/pair/p2", Content(9000, 'p'));
    const QString real = QDir(t.Path("r")).canonicalPath();

    DuplicatesGarbageScope scope;
    scope.SetMinSize(4096);
    scope.SetTaskInterval(0);
    scope.AddSearchPath(real);
    Scan(scope);
    ASSERT_EQ(scope.GetRoots().size(), 3);
    for (AbstractGarbage* root : scope.GetRoots()) {
        root->Select(true);
        for (AbstractGarbage* copy : root->GetChildren()) {
            if (copy->GetPath().contains("/three/")) {
                copy->Select(true);  // every copy of the group ticked
            }
        }
    }
    // b is another file now (same bytes, new inode); the unselected copy of
    // "two" is gone.
    ASSERT_EQ(::unlink(t.Bytes("r/three/b").c_str()), 0);
    t.MakeFile("r/three/b", Content(9000, '3'));
    GarbageDuplicatesGroup* two = GroupOf(scope, real + "/two/kept");
    ASSERT_NE(two, nullptr);
    const auto twoChildren = two->GetChildren();
    const int keptAt = twoChildren.at(0)->IsSelected() ? 1 : 0;
    ASSERT_NE(twoChildren.at(0)->IsSelected(), twoChildren.at(1)->IsSelected());
    const QString twoKept = twoChildren.at(keptAt)->GetPath();
    const QString twoOther = twoChildren.at(1 - keptAt)->GetPath();
    ASSERT_TRUE(QFile::remove(twoKept));
    GarbageDuplicatesGroup* pair = GroupOf(scope, real + "/pair/p1");
    ASSERT_NE(pair, nullptr);
    Clean(scope);

    EXPECT_TRUE(t.Exists("r/three/b")) << "changed since the scan: not planned";
    EXPECT_EQ(t.Exists("r/three/a") + t.Exists("r/three/c"), 1) << "one copy stays";
    EXPECT_TRUE(QFile::exists(twoOther)) << "the kept copy vanished: the last one stays";
    EXPECT_EQ(t.Exists("r/pair/p1") + t.Exists("r/pair/p2"), 1);
    EXPECT_TRUE(pair->IsClean()) << "the last but one copy cleaned: the group is clean";
    const QString trash = QDir(Varnex::Test::TestHome()).filePath(".local/share/Trash/files");
    EXPECT_EQ(QDir(trash).entryList(QDir::Files).size(), 2) << "moved to the Trash by default";
}

// Two contents that share a SHA-1 (the public SHAttered prefixes before one
// suffix) are two groups: a cleaning keeps one copy of each.
TEST(DuplicatesScope, ContentsSharingAHashAreNeverOneGroup) {
    const QByteArray prefix1 = QByteArray::fromBase64(
        "JVBERi0xLjMKJeLjz9MKCgoxIDAgb2JqCjw8L1dpZHRoIDIgMCBSL0hlaWdodCAzIDAgUi9UeXBlIDQgMCBSL1N1Yn"
        "R5cGUgNSAwIFIvRmlsdGVyIDYgMCBSL0NvbG9yU3BhY2UgNyAwIFIvTGVuZ3RoIDggMCBSL0JpdHNQZXJDb21wb25l"
        "bnQgOD4+CnN0cmVhbQr/2P/+ACRTSEEtMSBpcyBkZWFkISEhISGFL+wJIzl1nDmxocY8TJfh//4Bf0bck6a2fgE7Apqq"
        "HbJWC0XKZ9aIx/hLjEx5H+ArPfYU+G2xaQkBxWtFwVMK/t+3YDjpcnIv561yjw5JBOBGwjBXD+nUE5ir4S71vJQr4zVC"
        "pIAtmLXXDyozLsN/rDUU503cDyzBqHTNDHgwWiFWZGEwl4lga9C/P5jNqARGKaE=");
    const QByteArray prefix2 = QByteArray::fromBase64(
        "JVBERi0xLjMKJeLjz9MKCgoxIDAgb2JqCjw8L1dpZHRoIDIgMCBSL0hlaWdodCAzIDAgUi9UeXBlIDQgMCBSL1N1Yn"
        "R5cGUgNSAwIFIvRmlsdGVyIDYgMCBSL0NvbG9yU3BhY2UgNyAwIFIvTGVuZ3RoIDggMCBSL0JpdHNQZXJDb21wb25l"
        "bnQgOD4+CnN0cmVhbQr/2P/+ACRTSEEtMSBpcyBkZWFkISEhISGFL+wJIzl1nDmxocY8TJfh//4Bc0bckWa2fhGPApq2"
        "IbJWD/nKZ8yox/hbqEx5AwwrPeIY+G2zqQkB1d9FwU8m/t+z3DjpasIv571yjw5FvOBG0jxXD+sUE5i7VS71oKgr4zH+"
        "pIA3uLXXHw4zLt+TrDUA603cDezBqGR5DHgsdiFWYN0wl5HQa9CvP5jNpLxGKbE=");
    ASSERT_EQ(prefix1.size(), 320);
    ASSERT_NE(prefix1, prefix2);
    const QByteArray suffix = Content(1200000, 'x');
    ASSERT_EQ(QCryptographicHash::hash(prefix1 + suffix, QCryptographicHash::Sha1),
              QCryptographicHash::hash(prefix2 + suffix, QCryptographicHash::Sha1));
    TempTree t;
    for (const char* folder : {"p", "q"}) {
        t.MakeFile(QString("%1/v1").arg(folder), prefix1 + suffix);
        t.MakeFile(QString("%1/v2").arg(folder), prefix2 + suffix);
    }
    DuplicatesGarbageScope scope;
    scope.SetTaskInterval(0);
    scope.SetUseTrash(false);
    scope.AddSearchPath(t.Root());
    Scan(scope);
    ASSERT_EQ(scope.GetRoots().size(), 2);
    for (AbstractGarbage* root : scope.GetRoots()) {
        EXPECT_EQ(root->GetChildren().size(), 2);
        root->Select(true);
    }
    Clean(scope);
    EXPECT_NE(t.Exists("p/v1"), t.Exists("q/v1"));
    EXPECT_NE(t.Exists("p/v2"), t.Exists("q/v2"));
}
