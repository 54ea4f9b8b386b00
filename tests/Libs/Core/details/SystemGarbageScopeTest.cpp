#include <fcntl.h>
#include <glog/logging.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSignalSpy>
#include <QTimerEvent>
#include <functional>
#include <stdexcept>

#include "CleanerFS/FSCleanerServerContext.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageFile.h"
#include "Core/details/ServerPlanning.h"
#include "Core/details/SystemGarbageScope.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;
using Reason = AbstractGarbageScope::FinishReason;

namespace {

const int waitMs = 60000;

Reason ReasonOf(const QSignalSpy& spy) {
    return spy.last().at(1).value<Reason>();
}

// Runs a full scan; fails the test if it does not finish.
void Scan(SystemGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    ASSERT_EQ(finished.count(), 1);
    ASSERT_EQ(ReasonOf(finished), AbstractGarbageScope::DONE);
}

// Cleans what is selected; returns the finish reason.
Reason Clean(SystemGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    EXPECT_TRUE(scope.StartCleaning());
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(finished.count(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED : ReasonOf(finished);
}

// Every item tells the truth: clean means gone, anything else means still there.
void ExpectItemsTellTheTruth(const AbstractGarbage* item) {
    if (!item->IsRoot()) {
        EXPECT_EQ(item->IsClean(), !PathExists(item->GetPath())) << item->GetPath().toStdString();
    }
    for (const AbstractGarbage* child : item->GetChildren()) {
        ExpectItemsTellTheTruth(child);
    }
}

// root/Caches: com.a/{f1, sub/f2}, com.keep/k (excluded), link-out -> ../outside
struct CachesTree {
    TempTree t;
    CachesTree() {
        t.MakeFile("Caches/com.a/f1", QByteArray(100, 'a'));
        t.MakeFile("Caches/com.a/sub/f2", QByteArray(200, 'b'));
        t.MakeFile("Caches/com.keep/k", QByteArray(50, 'k'));
        t.MakeFile("outside/precious", QByteArray(10, 'p'));
        t.MakeSymlink(t.Path("outside"), "Caches/link-out");
    }
    QString Caches() const { return t.Path("Caches"); }
};

}  // namespace

TEST(SystemGarbageScope, ScansNestedCachesIntoATreeWithTotals) {
    CachesTree c;
    SystemGarbageScope scope({c.Caches()});
    scope.AddExclusion("com.keep");
    Scan(scope);

    ASSERT_EQ(scope.GetRoots().size(), 1);
    AbstractGarbage* root = scope.GetRoots().at(0);
    EXPECT_EQ(root->GetPath(), c.Caches());
    EXPECT_FALSE(root->IsRemovable()) << "a root folder itself is never removed";
    auto* comA = scope.FindDirectory(c.t.Path("Caches/com.a"));
    ASSERT_NE(comA, nullptr);
    EXPECT_EQ(comA->GetParent(), root);
    EXPECT_EQ(comA->GetSize(), c.t.DiskUsage("Caches/com.a"));
    EXPECT_TRUE(comA->IsReady());
    EXPECT_EQ(scope.FindGarbage(c.t.Path("Caches/com.a/sub/f2"))->GetParent(),
              scope.FindDirectory(c.t.Path("Caches/com.a/sub")));
    EXPECT_EQ(scope.FindGarbage(c.t.Path("Caches/com.keep")), nullptr);
    AbstractGarbage* link = scope.FindGarbage(c.t.Path("Caches/link-out"));
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(qobject_cast<GarbageFile*>(link)) << "a link is shown as a file, never entered";
    EXPECT_EQ(scope.FindGarbage(c.t.Path("Caches/link-out/precious")), nullptr);
    // Sizes are what the disk holds: a link's own blocks, not its target's.
    const long long onDisk = c.t.ContentsDiskUsage("Caches") - c.t.DiskUsage("Caches/com.keep");
    EXPECT_EQ(scope.GetTotalItems(), 6);
    EXPECT_EQ(scope.GetTotalSize(), onDisk);
    EXPECT_EQ(root->GetSize(), onDisk);
    EXPECT_TRUE(root->IsReady());
    EXPECT_FLOAT_EQ(scope.GetScanningProgress(), 1.0f);
    EXPECT_TRUE(scope.IsCleaningPossible());
}

TEST(SystemGarbageScope, SizesAreWhatTheDiskHoldsAndOnlyALastNameFrees) {
    TempTree t;
    t.MakeSparseFile("Caches/sparse", 10'000'000);
    t.MakeFile("Caches/a/one", QByteArray(9000, '1'));
    t.MakeHardLink("Caches/a/one", "Caches/b/two");
    t.MakeFile("Caches/c/shared", QByteArray(9000, 's'));
    t.MakeHardLink("Caches/c/shared", "outside/shared");
    const long long blocks = t.DiskUsage("Caches/a/one");
    const long long sparseBlocks = t.DiskUsage("Caches/sparse");
    ASSERT_GT(blocks, 0);
    SystemGarbageScope scope({t.Path("Caches")});
    Scan(scope);
    // As du counts: the sparse file by its blocks, a file with two names once,
    // the folders below the root by their own blocks too.
    const auto own = [&](const QString& rel) { return t.DiskUsage(rel) - t.ContentsDiskUsage(rel); };
    ASSERT_GT(own("Caches/a"), 0);
    EXPECT_EQ(scope.GetTotalSize(), t.ContentsDiskUsage("Caches"));
    EXPECT_EQ(scope.GetTotalSize(),
              sparseBlocks + 2 * blocks + own("Caches/a") + own("Caches/b") + own("Caches/c"));
    auto* sparse = qobject_cast<GarbageFile*>(scope.FindGarbage(t.Path("Caches/sparse")));
    ASSERT_NE(sparse, nullptr);
    EXPECT_EQ(sparse->GetApparentSize(), 10'000'000);
    EXPECT_EQ(scope.FindGarbage(t.Path("Caches/a"))->GetSize() +
                  scope.FindGarbage(t.Path("Caches/b"))->GetSize(),
              blocks + own("Caches/a") + own("Caches/b"));
    const long long folders = own("Caches/a") + own("Caches/b") + own("Caches/c");

    // Both names of one/two go: their blocks are freed once. "shared" keeps
    // a name outside: removing it frees nothing, though the scan counted it.
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(t.Exists("Caches/c/shared"));
    EXPECT_EQ(t.Read("outside/shared"), QByteArray(9000, 's'));
    // The folders went too, with their own blocks.
    EXPECT_EQ(scope.GetLastCleanedSize(), sparseBlocks + blocks + folders);
    EXPECT_EQ(scope.GetLastCleanedItems(), 7);
}

TEST(SystemGarbageScope, CleaningRemovesWhatIsSelectedAndNothingElse) {
    CachesTree c;
    c.t.MakeFile("Caches/unselected/u", "u");
    SystemGarbageScope scope({c.Caches()});
    scope.AddExclusion("com.keep");
    Scan(scope);
    const long long selected = c.t.DiskUsage("Caches/com.a") + c.t.DiskUsage("Caches/link-out");
    scope.FindGarbage(c.t.Path("Caches/unselected"))->Select(false);
    LogCapture log;
    QSignalSpy started(&scope, &AbstractGarbageScope::CleaningStarted);

    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(started.count(), 1);
    EXPECT_TRUE(log.Contains(google::INFO, "PLANNED TO REMOVE: 5"));
    EXPECT_FALSE(c.t.Exists("Caches/com.a"));
    EXPECT_FALSE(c.t.Exists("Caches/link-out"));
    EXPECT_TRUE(c.t.Exists("Caches"));
    EXPECT_TRUE(c.t.Exists("Caches/com.keep/k"));
    EXPECT_TRUE(c.t.Exists("Caches/unselected/u"));
    EXPECT_EQ(c.t.Read("outside/precious"), QByteArray(10, 'p')) << "a link's target stays";
    EXPECT_EQ(scope.GetLastCleanedSize(), selected);
    EXPECT_EQ(scope.GetLastCleanedItems(), 5);
    EXPECT_EQ(scope.GetTotalCleanedSize(), selected);
    EXPECT_FALSE(scope.ContainsError());
    ExpectItemsTellTheTruth(scope.GetRoots().at(0));
    EXPECT_TRUE(log.Contains(google::INFO, "CLEANING HAS FINISHED (DONE)"));
}

TEST(SystemGarbageScope, FailuresMarkTheItemAndItsAncestors) {
    CachesTree c;
    SystemGarbageScope scope({c.Caches()});
    Scan(scope);
    // After the scan, a file becomes a folder with contents: removing the entry
    // must not remove a tree.
    Varnex::Test::RemoveTestTree(c.t.Path("Caches/com.a/sub/f2").toStdString());
    c.t.MakeFile("Caches/com.a/sub/f2/inner", "new data");
    LogCapture log;
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(c.t.Read("Caches/com.a/sub/f2/inner"), QByteArray("new data"));
    AbstractGarbage* f2 = scope.FindGarbage(c.t.Path("Caches/com.a/sub/f2"));
    EXPECT_EQ(f2->GetStatus(), AbstractGarbage::Status::ERROR);
    EXPECT_NE(f2->GetError(), AbstractGarbage::Error::OK);
    EXPECT_NE(f2->GetParent()->GetError(), AbstractGarbage::Error::OK);
    EXPECT_EQ(scope.GetRoots().at(0)->GetError(), AbstractGarbage::Error::CHILD);
    EXPECT_TRUE(scope.ContainsError());
    EXPECT_TRUE(log.Contains(
        google::ERROR,
        "ERROR WHILE CLEANING \"" + c.t.Path("Caches/com.a/sub/f2").toStdString() + "\": "));
    EXPECT_TRUE(c.t.Exists("Caches/com.a/sub")) << "a folder whose contents stayed is not removed";
    EXPECT_FALSE(c.t.Exists("Caches/com.a/f1"));
    ExpectItemsTellTheTruth(scope.GetRoots().at(0));
}

TEST(SystemGarbageScope, NothingRemovablePlansNothingAndEmitsNothing) {
    CachesTree c;
    SystemGarbageScope scope({c.Caches()});
    Scan(scope);
    scope.GetRoots().at(0)->Select(false);
    EXPECT_FALSE(scope.IsCleaningPossible());
    QSignalSpy started(&scope, &AbstractGarbageScope::CleaningStarted);
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    EXPECT_FALSE(scope.StartCleaning());
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(started.count() + finished.count(), 0);
    EXPECT_TRUE(c.t.Exists("Caches/com.a/f1"));
}

TEST(SystemGarbageScope, StoppingOrAVetoEndsTheRunCanceledAndItemsStillTellTheTruth) {
    for (const bool veto : {false, true}) {
        TempTree t;
        for (int i = 0; i < 3000; ++i) {
            t.MakeFile(QString("Caches/d%1/f%2").arg(i % 30).arg(i), "x");
        }
        SystemGarbageScope scope({t.Path("Caches")});
        // Planned whole inside StartCleaning(), however slow the machine: the
        // stop below meets a running removal, never a plan still being made.
        scope.SetPlanningTimeBeforeAnswer(600000);
        Scan(scope);
        struct Veto : ICleaningWatcher {
            bool CheckCleanedSize(long long) override { return false; }
        };
        if (veto) {
            scope.SetCleaningWatcher(std::make_shared<Veto>());
        }
        QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
        ASSERT_TRUE(scope.StartCleaning());
        if (!veto) {
            scope.StopCleaning();
            EXPECT_EQ(scope.GetState(), AbstractGarbageScope::STOPPING_CLEANING);
        }
        ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        ASSERT_EQ(finished.count(), 1);
        EXPECT_EQ(ReasonOf(finished), AbstractGarbageScope::CANCELED) << "veto " << veto;
        ExpectItemsTellTheTruth(scope.GetRoots().at(0));
    }
}

TEST(SystemGarbageScope, ANewScanDuringCleaningEndsTheCleaningOnceFirst) {
    TempTree t;
    for (int i = 0; i < 2000; ++i) {
        t.MakeFile(QString("Caches/f%1").arg(i), "x");
    }
    SystemGarbageScope scope({t.Path("Caches")});
    Scan(scope);
    QSignalSpy cleaningFinished(&scope, &AbstractGarbageScope::CleaningFinished);
    QSignalSpy scanFinished(&scope, &AbstractGarbageScope::ScanningFinished);
    ASSERT_TRUE(scope.StartCleaning());
    scope.StartScanning();
    ASSERT_EQ(cleaningFinished.count(), 1);
    EXPECT_EQ(ReasonOf(cleaningFinished), AbstractGarbageScope::CANCELED);
    ASSERT_TRUE(WaitUntil([&] { return !scanFinished.isEmpty(); }, waitMs));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(cleaningFinished.count(), 1);
    // The new scan shows exactly what is left on disk.
    int left = 0;
    for (int i = 0; i < 2000; ++i) {
        left += t.Exists(QString("Caches/f%1").arg(i));
    }
    EXPECT_EQ(scope.GetTotalItems(), left + 1);
}

TEST(SystemGarbageScope, NamesThatAreNotAsciiAreScannedAndRemovedUnderTheCLocale) {
    TempTree t;
    const QStringList names = {QString::fromUtf8("caf\xc3\xa9"), "new\nline", "a: b",
                               QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac")};
    for (const QString& n : names) {
        t.MakeFile("Caches/" + n + "/" + n, "data");
    }
    t.MakeFileBytes("Caches/bad\xff", "not utf-8");
    SystemGarbageScope scope({t.Path("Caches")});
    Scan(scope);
    for (const QString& n : names) {
        ASSERT_NE(scope.FindGarbage(t.Path("Caches/" + n + "/" + n)), nullptr) << n.toStdString();
    }
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    for (const QString& n : names) {
        EXPECT_FALSE(t.Exists("Caches/" + n)) << n.toStdString();
    }
    EXPECT_TRUE(t.ExistsBytes("Caches/bad\xff")) << "a name that cannot be shown is never planned";
    EXPECT_FALSE(scope.ContainsError());
}

TEST(SystemGarbageScope, TheShredderOverwritesASingleLinkFileAndLeavesAHardLinkedOneInError) {
    TempTree t;
    const QByteArray secret(64 * 1024, 's');
    t.MakeFile("Shred/single", secret);
    t.MakeFile("Shred/linked", secret);
    t.MakeHardLink("Shred/linked", "elsewhere");
    const int fd = ::open(t.Path("Shred/single").toUtf8().constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    SystemGarbageScope scope({t.Path("Shred")});
    scope.EnableFillingFilesWithGarbage(true);
    Scan(scope);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(t.Exists("Shred/single"));
    EXPECT_EQ(t.Read("Shred/linked"), secret);
    EXPECT_EQ(scope.FindGarbage(t.Path("Shred/linked"))->GetError(),
              AbstractGarbage::Error::REFUSED);
    EXPECT_EQ(scope.GetLastCleanedSize(), secret.size()) << "only what was shredded counts";
    QByteArray after(secret.size(), '\0');
    ASSERT_EQ(::pread(fd, after.data(), after.size(), 0), secret.size());
    ::close(fd);
    EXPECT_NE(after, secret) << "the contents were overwritten before the unlink";
    EXPECT_EQ(t.Read("elsewhere"), secret);
}

TEST(SystemGarbageScope, RootPathsAreFixedAndCheckedBeforeTheyAreScanned) {
    EXPECT_EQ(SystemGarbageScope::FixPath("/"), "/");
    EXPECT_EQ(SystemGarbageScope::FixPath("/a/b/"), "/a/b");
    EXPECT_EQ(SystemGarbageScope::FixPath("/a/b//"), "/a/b/");
    EXPECT_EQ(SystemGarbageScope::FixPath("file:///x/"), "/x");

    SystemGarbageScope scope;
    QSignalSpy paths(&scope, &SystemGarbageScope::PathsChanged);
    EXPECT_FALSE(scope.AddPath("file:///")) << "empty once fixed";
    EXPECT_FALSE(scope.AddPath("file://host/x")) << "relative once fixed";
    EXPECT_FALSE(scope.AddPath(""));
    EXPECT_EQ(paths.count(), 0);
    scope.ClearPaths();
    EXPECT_EQ(paths.count(), 0);

    // Roots given to the constructor are stored as they are, but a relative
    // one is never scanned as the current folder.
    SystemGarbageScope relative({"relative/path", ""});
    LogCapture log;
    Scan(relative);
    EXPECT_TRUE(relative.GetRoots().isEmpty());
    EXPECT_TRUE(log.Contains(google::WARNING, "Root not scanned"));
}

TEST(SystemGarbageScope, AddAndRemovePathsAndContinueScanning) {
    CachesTree c;
    c.t.MakeFile("Logs/l", "log");
    SystemGarbageScope scope({c.Caches()});
    QSignalSpy paths(&scope, &SystemGarbageScope::PathsChanged);
    Scan(scope);
    EXPECT_FALSE(scope.AddPath(c.Caches() + "/")) << "already listed";
    EXPECT_FALSE(scope.AddPath(c.t.Path("Caches/com.a"))) << "shown inside another root";
    EXPECT_EQ(paths.count(), 0);
    EXPECT_TRUE(scope.AddPath(c.t.Path("Logs")));
    EXPECT_EQ(paths.count(), 1);
    EXPECT_EQ(scope.GetNotScannedLocations(), QStringList{c.t.Path("Logs")});
    EXPECT_TRUE(scope.CanContinueScanning());
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.ContinueScanning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(scope.GetRoots().size(), 2);
    EXPECT_FALSE(scope.CanContinueScanning());

    // An item only marked clean comes back; one really removed stays clean.
    AbstractGarbage* f1 = scope.FindGarbage(c.t.Path("Caches/com.a/f1"));
    EXPECT_FALSE(scope.RemovePath(c.t.Path("Caches/com.a/f1")));
    EXPECT_TRUE(f1->IsClean());
    scope.AddPath(c.t.Path("Caches/com.a/f1"));
    EXPECT_FALSE(f1->IsClean());
    Varnex::Test::RemoveTestTree(c.t.Path("Caches/com.a/f1").toStdString());
    f1->SetClean(true);
    scope.AddPath(c.t.Path("Caches/com.a/f1"));
    EXPECT_TRUE(f1->IsClean()) << "a removed file must not be planned and counted again";

    // Marking the selection done without removing anything.
    scope.SetSelectedClean();
    EXPECT_TRUE(c.t.Exists("Caches/com.a/sub/f2"));
    EXPECT_TRUE(scope.FindGarbage(c.t.Path("Caches/com.a"))->IsClean());
    EXPECT_EQ(scope.GetSelectedSize(), 0);
}

TEST(SystemGarbageScope, AnEmptyRootIsShownCleanAndAMissingRootNotAtAll) {
    TempTree t;
    t.MakeDir("Empty");
    SystemGarbageScope scope({t.Path("Empty"), t.Path("Missing")});
    Scan(scope);
    ASSERT_EQ(scope.GetRoots().size(), 1);
    EXPECT_TRUE(scope.GetRoots().at(0)->IsClean());
    EXPECT_EQ(scope.GetNotScannedLocations(), QStringList{t.Path("Missing")});
}

TEST(SystemGarbageScope, ARootConfiguredThroughALinkIsCleanedThroughIt) {
    TempTree t;
    t.MakeFile("real/cache/f", "x");
    t.MakeSymlink(t.Path("real/cache"), "Caches");
    SystemGarbageScope scope({t.Path("Caches")});
    Scan(scope);
    ASSERT_NE(scope.FindGarbage(t.Path("Caches/f")), nullptr);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(t.Exists("real/cache/f"));
    EXPECT_TRUE(t.Exists("Caches")) << "the root link itself stays";
    EXPECT_TRUE(t.Exists("real/cache"));
}

TEST(SystemGarbageScope, AFolderKeepingHiddenEntriesStaysWithItsParentsAndNothingFails) {
    TempTree t;
    t.MakeFile("Caches/a/b/f", "1");
    t.MakeFile("Caches/a/g", "2");
    t.MakeFile("Caches/x/y/z", "3");
    ASSERT_EQ(::mkfifo(t.Bytes("Caches/a/b/fifo").c_str(), 0600), 0);
    SystemGarbageScope scope({t.Path("Caches")});
    Scan(scope);
    LogCapture log;
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(scope.ContainsError());
    EXPECT_FALSE(log.Contains(google::WARNING, "Cannot remove")) << log.Dump();
    EXPECT_TRUE(t.Exists("Caches/a/b/fifo"));
    EXPECT_FALSE(t.Exists("Caches/a/b/f"));
    EXPECT_FALSE(t.Exists("Caches/a/g"));
    EXPECT_FALSE(t.Exists("Caches/x"));
    ExpectItemsTellTheTruth(scope.GetRoots().at(0));
    EXPECT_FALSE(scope.IsCleaningPossible());
}

TEST(SystemGarbageScope, TheSameFolderThroughALinkIsShownAndCleanedOnce) {
    TempTree t;
    t.MakeFile("Caches/a/f", "1");
    t.MakeFile("Caches/sub/g", "22");
    t.MakeSymlink(t.Path("Caches"), "Again");
    t.MakeSymlink(t.Path("Caches/sub"), "Sub");
    SystemGarbageScope scope({t.Path("Caches"), t.Path("Again"), t.Path("Sub")});
    Scan(scope);
    EXPECT_EQ(scope.GetTotalSize(), t.ContentsDiskUsage("Caches"));
    EXPECT_FALSE(scope.CanContinueScanning()) << "a root scanned with another one is scanned";
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(scope.ContainsError());
    EXPECT_FALSE(t.Exists("Caches/a"));
    EXPECT_FALSE(t.Exists("Caches/sub/g"));
    EXPECT_TRUE(t.Exists("Caches"));
    EXPECT_TRUE(t.Exists("Again"));
    EXPECT_TRUE(t.Exists("Sub"));
}

TEST(RemovalContext, NamesAreUniqueWhileTheirContextsLive) {
    auto first = std::make_unique<FSCleanerServerContext>("klarvik-test-context");
    try {
        FSCleanerServerContext second("klarvik-test-context");
        FAIL() << "a second context with the same name was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("Not a unique name for a cleaner server context\n", 0), 0u);
    }
    first.reset();
    EXPECT_NO_THROW(FSCleanerServerContext("klarvik-test-context"));
    EXPECT_EQ(FSCleanerServerContext::NameFor(reinterpret_cast<void*>(0xabc)), "abc");
}

TEST(RemovalContext, ResultCodesMapToItemErrors) {
    EXPECT_EQ(ConvertErrorCode(0), AbstractGarbage::Error::UNKNOWN);
    EXPECT_EQ(ConvertErrorCode(1), AbstractGarbage::Error::OK);
    EXPECT_EQ(ConvertErrorCode(2), AbstractGarbage::Error::PERMISSION_DENIED);
    EXPECT_EQ(ConvertErrorCode(3), AbstractGarbage::Error::DOES_NOT_EXIST);
    EXPECT_EQ(ConvertErrorCode(4), AbstractGarbage::Error::IS_NOT_EMPTY);
    EXPECT_EQ(ConvertErrorCode(5), AbstractGarbage::Error::REFUSED);
    EXPECT_EQ(ConvertErrorCode(6), AbstractGarbage::Error::UNKNOWN);
    EXPECT_EQ(ConvertErrorCode(-1), AbstractGarbage::Error::UNKNOWN);
    EXPECT_TRUE(IsCleanedCode(1));
    EXPECT_TRUE(IsCleanedCode(3));
    for (int code : {0, 2, 4, 5, 6, 42}) {
        EXPECT_FALSE(IsCleanedCode(code)) << code;
    }
}

namespace {

// A scope whose lookup maps two planned paths to one item: the item must be
// counted once however often it is reported.
class AliasScope : public ServerCleaningScope {
public:
    AliasScope(const QString& a, const QString& b) : ServerCleaningScope(nullptr) {
        CreateRemovalContext(this);
        m_item = new GarbageFile(a, 7, nullptr);
        m_item->Select(true);
        AddRoot(m_item);
        m_alias = new GarbageFile(b, 7, this);
        m_alias->Select(true);
    }
    void Reset() override {}
    void ResetCleaning() override { ResetCleaningRun(); }
    bool IsCleaningPossible() const override { return true; }
    void DoStartScanning() override {}
    bool InsertBatch(const RunGeneration::Ticket&) override { return true; }
    void PlanItems() override {
        PlanItem(m_item, 0);
        PlanItem(m_alias, 0);
    }
    AbstractGarbage* FindItemForPath(const QString&) const override { return m_item; }

private:
    GarbageFile* m_item;
    GarbageFile* m_alias;
};

}  // namespace

TEST(ServerCleaningScope, APathReportedTwiceIsCountedOnce) {
    TempTree t;
    t.MakeFile("a", "1234567");
    t.MakeFile("b", "1234567");
    // The server tells what the removal freed: the blocks of the first one.
    const long long freed = t.DiskUsage("a");
    AliasScope scope(t.Path("a"), t.Path("b"));
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    ASSERT_TRUE(scope.StartCleaning());
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(scope.GetLastCleanedItems(), 1);
    EXPECT_EQ(scope.GetLastCleanedSize(), freed);
    EXPECT_EQ(scope.GetTotalCleanedSize(), freed);
}
