#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QSignalSpy>
#include <atomic>

#include "Core/details/GarbageFileEx.h"
#include "Core/details/LargeAndOldGarbageScope.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 60000;
using Reason = AbstractGarbageScope::FinishReason;

Reason Scan(LargeAndOldGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<Reason>();
}

Reason Clean(LargeAndOldGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    EXPECT_TRUE(scope.StartCleaning());
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<Reason>();
}

AbstractGarbage* Find(LargeAndOldGarbageScope& scope, const QString& path) {
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (root->GetPath() == path) {
            return root;
        }
    }
    return nullptr;
}

}  // namespace

TEST(LargeAndOldScope, SearchFoldersKeepOneSpelling) {
    LargeAndOldGarbageScope scope;
    QSignalSpy changed(&scope, &LargeAndOldGarbageScope::SearchPathsChanged);
    EXPECT_TRUE(scope.AddSearchPath("file:///Users/a%20b/"));
    EXPECT_TRUE(scope.AddSearchPath("/Users/a b"));
    EXPECT_TRUE(scope.AddSearchPath("/"));
    EXPECT_TRUE(scope.AddSearchPath("file:///"));
    EXPECT_FALSE(scope.AddSearchPath("relative/x"));
    EXPECT_FALSE(scope.AddSearchPath("/a/../b"));
    EXPECT_EQ(scope.GetSearchPaths(), (QStringList{"/Users/a b", "/"}));
    EXPECT_EQ(changed.size(), 2);
    EXPECT_TRUE(scope.RemoveSearchPath("/Users/a b/"));
    EXPECT_EQ(scope.GetSearchPaths(), QStringList{"/"});
}

// Every item arrives unselected and carries a date, in insertions that are
// never empty; excluded files are left out; with nothing selected cleaning does not start and says nothing.
TEST(LargeAndOldScope, ItemsArriveUnselectedWithADateAndNothingStartsUnselected) {
    TempTree t;
    t.MakeSparseFile("a.mov", 12000000);
    t.MakeFile("real.bin", QByteArray(10000000, 'x'));
    t.MakeSparseFile("private/secret.bin", 30000000);
    LargeAndOldGarbageScope scope;
    scope.SetItemsSelectedByDefault(true);
    scope.AddSearchPath(t.Root());
    scope.AddExclusion(t.Path("private"));
    QSignalSpy inserting(&scope, &AbstractGarbageScope::ItemsAboutToBeInserted);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_EQ(scope.GetRoots().size(), 2);
    ASSERT_FALSE(inserting.isEmpty());
    for (const QList<QVariant>& signal : inserting) {
        EXPECT_GT(signal.at(1).toInt(), 0);  // never an empty insertion
    }
    for (AbstractGarbage* item : scope.GetRoots()) {
        EXPECT_FALSE(item->ShouldBeRemoved());
        EXPECT_TRUE(item->GetLastReadTime().isValid());
    }
    EXPECT_EQ(Find(scope, t.Path("a.mov"))->GetKind(), AbstractGarbage::VIDEO);
    // Sizes are what the disk holds; the length stays known.
    auto* sparse = qobject_cast<GarbageFileEx*>(Find(scope, t.Path("a.mov")));
    EXPECT_EQ(sparse->GetSize(), t.DiskUsage("a.mov"));
    EXPECT_EQ(sparse->GetApparentSize(), 12000000);
    EXPECT_EQ(scope.GetTotalSize(), t.DiskUsage("a.mov") + t.DiskUsage("real.bin"));

    QSignalSpy started(&scope, &AbstractGarbageScope::CleaningStarted);
    EXPECT_FALSE(scope.StartCleaning());
    EXPECT_TRUE(started.isEmpty());
}

// A stop ends a search at once, also one whose walk would go on (the scan
// never stays SCANNING), and dropping the query during a scan is safe.
TEST(LargeAndOldScope, AStopOrADroppedQueryEndsTheScanCanceled) {
    TempTree t;
    t.MakeSparseFile("a/one.bin", 20000000);
    t.MakeSparseFile("b/two.bin", 20000000);
    std::atomic<bool> release{false};
    LargeAndOldGarbageScope scope;
    scope.AddSearchPath(t.Root());
    scope.SetLastUsedProvider([&release](const QString&) {
        while (!release.load()) {
            usleep(1000);
        }
        return QDateTime();
    });
    for (int round = 0; round < 2; ++round) {
        release = false;
        QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
        scope.StartScanning();
        ASSERT_TRUE(scope.IsScanning());
        if (round == 0) {
            scope.StopScanning();
        } else {
            scope.ClearQuery();
        }
        release = true;
        ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
        EXPECT_EQ(finished.size(), 1);
        EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
        EXPECT_FALSE(scope.IsScanning());
    }
    scope.SetLastUsedProvider(nullptr);
    EXPECT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope.GetRoots().size(), 2);
}

// Only the selected items go, a package as a whole; an entry found at an
// item's path that is not what the search found is left alone: a folder
// where a file was is never emptied, a file where a package was stays.
TEST(LargeAndOldScope, RemovesWhatWasSelectedAndOnlyWhatTheSearchFound) {
    TempTree t;
    t.MakeSparseFile("keep.bin", 20000000);
    t.MakeFile("go.bin", QByteArray(10000000, 'g'));
    t.MakeSparseFile("Old.app/Contents/MacOS/Old", 15000000);
    t.MakeSparseFile("swap.bin", 20000000);
    t.MakeSparseFile("Swap.app/Contents/MacOS/Swap", 15000000);
    t.MakeSparseFile("Kept.app/Contents/MacOS/Kept", 15000000);
    // A package whose data has another name outside: removing it frees nothing.
    t.MakeFile("Linked.app/Contents/data", QByteArray(10000000, 'l'));
    TempTree outside;
    ASSERT_EQ(::link(t.Bytes("Linked.app/Contents/data").c_str(),
                     outside.Bytes("data-elsewhere").c_str()),
              0);
    const long long goBlocks = t.DiskUsage("go.bin");
    LargeAndOldGarbageScope scope;
    scope.AddSearchPath(t.Root());
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_EQ(scope.GetRoots().size(), 7);
    for (const char* name : {"go.bin", "Old.app", "swap.bin", "Swap.app", "Kept.app", "Linked.app"}) {
        Find(scope, t.Path(name))->Select(true);
    }
    // After the scan: a folder with the user's file where swap.bin was, a
    // plain file where Swap.app was.
    ASSERT_EQ(::unlink(t.Bytes("swap.bin").c_str()), 0);
    t.MakeFile("swap.bin/precious.txt", "mine");
    Varnex::Test::RemoveTestTree(t.Bytes("Swap.app"));
    t.MakeFile("Swap.app", "also mine");
    // A file saved into a package after the scan is not the package the user
    // was shown: it stays, and so does the package around it.
    Varnex::Test::WaitForCoarseClockToPassNow();
    t.MakeFile("Kept.app/Contents/Resources/new-document.txt", "written after the scan");

    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(t.Exists("go.bin"));
    EXPECT_FALSE(t.Exists("Old.app"));
    EXPECT_TRUE(t.Exists("keep.bin"));
    EXPECT_EQ(t.Read("swap.bin/precious.txt"), QByteArray("mine"));
    EXPECT_EQ(t.Read("Swap.app"), QByteArray("also mine"));
    EXPECT_EQ(t.Read("Kept.app/Contents/Resources/new-document.txt"),
              QByteArray("written after the scan"));
    EXPECT_FALSE(Find(scope, t.Path("Kept.app"))->IsClean());
    EXPECT_TRUE(Find(scope, t.Path("go.bin"))->IsClean());
    EXPECT_TRUE(Find(scope, t.Path("Old.app"))->IsClean());
    EXPECT_FALSE(Find(scope, t.Path("swap.bin"))->IsClean());
    EXPECT_FALSE(Find(scope, t.Path("Swap.app"))->IsClean());
    EXPECT_FALSE(t.Exists("Linked.app"));
    EXPECT_EQ(outside.Read("data-elsewhere").size(), 10000000);
    EXPECT_EQ(scope.GetTotalCleanedItems(), 3);
    // What the disk got back: go.bin's blocks (the sparse package had none,
    // the linked one's are still held by its other name).
    EXPECT_EQ(scope.GetTotalCleanedSize(), goBlocks);
}
