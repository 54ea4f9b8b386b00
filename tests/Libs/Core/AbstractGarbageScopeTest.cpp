#include <glog/logging.h>
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <atomic>
#include <thread>

#include "Libs/Core/TestItems.h"
#include "common/LogCapture.h"
#include "common/TestEnv.h"

using namespace Varnex::Test;
using Reason = AbstractGarbageScope::FinishReason;

namespace {

const int waitMs = 30000;

Reason ReasonOf(const QSignalSpy& spy, int i) {
    return spy.at(i).at(1).value<Reason>();
}

TestItem* Folder(const QString& name, std::initializer_list<long long> sizes) {
    auto* f = new TestItem(name, 0);
    int i = 0;
    for (long long s : sizes) {
        f->Add(QString("%1-%2").arg(name).arg(i++), s);
    }
    return f;
}

class Watcher : public Varnex::Cleaner::ICleaningWatcher {
public:
    explicit Watcher(long long limit) : m_limit(limit) {}
    bool CheckCleanedSize(long long size) override {
        m_seen += size;
        return m_seen < m_limit;
    }
    long long m_seen = 0;

private:
    long long m_limit;
};

}  // namespace

TEST(AbstractGarbageScope, AnEmptyScope) {
    TestScope scope;
    EXPECT_TRUE(scope.IsEmpty());
    EXPECT_EQ(scope.GetSelectedSize(), 0);
    EXPECT_EQ(scope.GetScanningProgress(), 0.0f);
    EXPECT_EQ(scope.GetCleaningProgress(), 0.0f);
    EXPECT_EQ(scope.GetState(), AbstractGarbageScope::IDLE);
    EXPECT_EQ(scope.GetTotalHandledItems(), -1);
    EXPECT_EQ(scope.GetNumOfPotentialRoots(), -1);
    EXPECT_FALSE(scope.StartCleaning()) << "nothing to plan";
    EXPECT_EQ(AbstractGarbageScope::GetFinishReasonString(static_cast<Reason>(5)), "unknown");
}

TEST(AbstractGarbageScope, NameFiltersByDepth) {
    TestScope scope;
    TestItem* root = Folder("r", {1});
    scope.Insert(root);
    TestItem* child = static_cast<TestItem*>(root->GetChildren().at(0));
    ASSERT_NE(child, nullptr);
    TestItem* grandChild = child->Add("g", 1);
    TestItem* deep = grandChild->Add("d", 1);

    auto tag = [](const char* t) {
        return [t](AbstractGarbage* item) { return QString(t) + item->GetName(); };
    };
    scope.SetItemNameFilter(tag("f:"), 1, 2);
    EXPECT_EQ(scope.GetItemName(root), "r");
    EXPECT_EQ(scope.GetItemName(child), "f:r-0");
    EXPECT_EQ(scope.GetItemName(grandChild), "f:g");
    EXPECT_EQ(scope.GetItemName(deep), "d");

    scope.SetItemNameFilter(tag("any:"), 0, -1);
    EXPECT_EQ(scope.GetItemName(root), "any:r");
    EXPECT_EQ(scope.GetItemName(deep), "any:d");
    EXPECT_EQ(scope.GetItemName(child), "f:r-0") << "a filter for one depth wins over the default";

    // An empty filter anywhere falls back to the next choice, never throws.
    scope.SetItemNameFilter(nullptr, 3, 3);
    EXPECT_EQ(scope.GetItemName(deep), "any:d");
    scope.SetItemNameFilter(nullptr, 0, -1);
    EXPECT_EQ(scope.GetItemName(deep), "d");
}

TEST(AbstractGarbageScope, Exclusions) {
    TestScope scope;
    QSignalSpy changed(&scope, &AbstractGarbageScope::ExclusionsChanged);
    scope.AddExclusion("/Caches/com.keep");
    scope.AddExclusion("/Caches/com.keep");
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(scope.IsExclusion("/u/Library/Caches/com.keep.me/x"));
    EXPECT_TRUE(scope.IsExclusion("/x/Caches/com.keep"));
    EXPECT_FALSE(scope.IsExclusion("/x/caches/com.keep")) << "case-sensitive";
    scope.SetExclusions({"/Caches/com.keep"});
    EXPECT_EQ(changed.count(), 1) << "an equal list changes nothing";
    scope.SetExclusions({});
    EXPECT_EQ(changed.count(), 2);
    EXPECT_FALSE(scope.IsExclusion("/x/Caches/com.keep"));

    scope.AddExclusionChecker([](const QString& p) { return p.endsWith(".keep"); });
    EXPECT_EQ(changed.count(), 3);
    EXPECT_TRUE(scope.IsExclusion("/a/b.keep"));

    LogCapture log;
    scope.AddExclusionChecker(nullptr);
    EXPECT_EQ(changed.count(), 3) << "an empty checker is refused";
    EXPECT_TRUE(log.Contains(google::ERROR, "empty exclusion checker",
                             "src/Libs/Core/AbstractGarbageScope"));
    EXPECT_NO_THROW(scope.IsExclusion("/a/b"));
}

// Walker threads ask IsExclusion while the scope's thread changes the exclusions.
TEST(AbstractGarbageScope, ExclusionsCanBeReadFromOtherThreadsWhileTheyChange) {
    TestScope scope;
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                scope.IsExclusion("/a/excluded-3/b");
                ++reads;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        scope.AddExclusion(QString("excluded-%1").arg(i));
        if (i % 50 == 0) {
            scope.AddExclusionChecker([i](const QString& p) { return p.size() == i; });
            scope.SetExclusions({});
        }
    }
    scope.AddExclusion("excluded-3");
    ASSERT_TRUE(WaitUntil([&] { return reads > 1000; }, waitMs));
    stop = true;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_TRUE(scope.IsExclusion("/a/excluded-3/b"));
}

TEST(AbstractGarbageScope, AScanRunsToDoneWithExactlyOneFinish) {
    TestScope scope;
    QSignalSpy started(&scope, &AbstractGarbageScope::ScanningStarted);
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    QSignalSpy inserted(&scope, &AbstractGarbageScope::ItemsInserted);
    scope.StartScanning();
    scope.Feed(Folder("r1", {1, 2}));
    EXPECT_EQ(started.count(), 1);
    EXPECT_TRUE(scope.IsScanning());
    scope.StartScanning();
    EXPECT_EQ(started.count(), 1) << "a second start while scanning does nothing";
    ASSERT_TRUE(WaitUntil([&] { return inserted.count() == 1; }, waitMs));
    scope.SetWorkerBusy(false);
    ASSERT_TRUE(finished.wait(waitMs));
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(ReasonOf(finished, 0), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope.GetState(), AbstractGarbageScope::IDLE);
    EXPECT_TRUE(scope.WasScanned());
    EXPECT_FALSE(scope.ScanningTimerRunning());
    EXPECT_TRUE(scope.GetScanningStopTime().isValid());
    EXPECT_EQ(scope.GetTotalSize(), 3);
}

TEST(AbstractGarbageScope, StoppingABusyScanFinishesOnceWithCanceledOnTheNextPoll) {
    TestScope scope;
    LogCapture log;
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    scope.StopScanning();
    EXPECT_EQ(scope.GetState(), AbstractGarbageScope::STOPPING_SCANNING);
    EXPECT_TRUE(scope.StopRequested());
    EXPECT_EQ(finished.count(), 0);
    scope.StopScanning();
    scope.SetWorkerBusy(false);
    ASSERT_TRUE(finished.wait(waitMs));
    QCoreApplication::processEvents();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(ReasonOf(finished, 0), AbstractGarbageScope::CANCELED);
    EXPECT_EQ(log.Count(google::INFO, "SCANNING HAS FINISHED (CANCELED)",
                        "src/Libs/Core/AbstractGarbageScope"),
              1);
}

TEST(AbstractGarbageScope, StoppingAnIdleWorkerFinishesAtOnceAndNotScanningDoesNothing) {
    TestScope scope;
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StopScanning();
    EXPECT_EQ(finished.count(), 0);
    scope.SetWorkerBusy(false);
    scope.StartScanning();
    scope.StopScanning();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(ReasonOf(finished, 0), AbstractGarbageScope::CANCELED);
    EXPECT_EQ(scope.GetState(), AbstractGarbageScope::IDLE);
}

TEST(AbstractGarbageScope, CleaningKeepsItsStartingSelectionAndProgressStaysWithinOne) {
    TestScope scope;
    scope.Insert(Folder("r", {100, 200, 300, 400}));
    QSignalSpy started(&scope, &AbstractGarbageScope::CleaningStarted);
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    ASSERT_TRUE(scope.StartCleaning());
    EXPECT_EQ(started.count(), 1);
    EXPECT_EQ(scope.GetSelectedSizeBeforeCleaning(), 1000);
    EXPECT_FALSE(scope.StartCleaning()) << "a second start while cleaning is refused";
    float last = 0;
    while (finished.isEmpty()) {
        ASSERT_TRUE(WaitUntil([&] { return scope.GetLastCleanedSize() > 0 || !finished.isEmpty(); },
                              waitMs));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (scope.IsCleaning()) {
            EXPECT_EQ(scope.GetSelectedSizeBeforeCleaning(), 1000);
        }
        const float p = scope.GetCleaningProgress();
        EXPECT_GE(p, last);
        EXPECT_LE(p, 1.0f);
        last = p;
    }
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(ReasonOf(finished, 0), AbstractGarbageScope::DONE);
    EXPECT_FLOAT_EQ(scope.GetCleaningProgress(), 1.0f);
    EXPECT_EQ(scope.GetLastCleanedSize(), 1000);
    EXPECT_EQ(scope.GetSelectedSize(), 0);
    EXPECT_TRUE(scope.IsEmpty());
}

TEST(AbstractGarbageScope, TheWatchersVetoStopsTheRun) {
    TestScope scope;
    scope.Insert(Folder("r", {100, 200, 300, 400}));
    auto watcher = std::make_shared<Watcher>(150);
    scope.SetCleaningWatcher(watcher);
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    ASSERT_TRUE(scope.StartCleaning());
    ASSERT_TRUE(finished.wait(waitMs));
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(ReasonOf(finished, 0), AbstractGarbageScope::CANCELED);
    EXPECT_LT(scope.GetLastCleanedSize(), 1000);
    EXPECT_GE(watcher->m_seen, 150);
}

TEST(AbstractGarbageScope, NothingSelectedPlansNothingAndEmitsNothing) {
    TestScope scope;
    TestItem* root = Folder("r", {1, 2});
    scope.Insert(root);
    root->Select(false);
    QSignalSpy started(&scope, &AbstractGarbageScope::CleaningStarted);
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    EXPECT_FALSE(scope.StartCleaning());
    EXPECT_EQ(scope.GetState(), AbstractGarbageScope::IDLE);
    QCoreApplication::processEvents();
    EXPECT_EQ(started.count() + finished.count(), 0);
}

TEST(AbstractGarbageScope, ResetDuringARunEndsItWithOneCanceledFinish) {
    TestScope scope;
    QSignalSpy scanFinished(&scope, &AbstractGarbageScope::ScanningFinished);
    QSignalSpy cleanFinished(&scope, &AbstractGarbageScope::CleaningFinished);
    QSignalSpy cleared(&scope, &AbstractGarbageScope::AfterClear);
    scope.StartScanning();
    scope.Reset();
    ASSERT_EQ(scanFinished.count(), 1);
    EXPECT_EQ(ReasonOf(scanFinished, 0), AbstractGarbageScope::CANCELED);
    EXPECT_FALSE(scope.ScanningTimerRunning());
    EXPECT_EQ(cleared.count(), 2);  // the reset at the start of the scan, and this one

    scope.Insert(Folder("r", {1, 2, 3}));
    ASSERT_TRUE(scope.StartCleaning());
    // A new scan during cleaning ends the cleaning first.
    scope.StartScanning();
    ASSERT_EQ(cleanFinished.count(), 1);
    EXPECT_EQ(ReasonOf(cleanFinished, 0), AbstractGarbageScope::CANCELED);
    EXPECT_FALSE(scope.CleaningTimerRunning());
    EXPECT_TRUE(scope.IsScanning());
    EXPECT_TRUE(scope.GetRoots().isEmpty());
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(cleanFinished.count(), 1);
}

TEST(AbstractGarbageScope, ScanningProgressCountsReadyUnits) {
    TestScope scope;
    TestItem* r1 = Folder("r1", {1, 2});   // two units below a root that is not ready
    TestItem* r2 = new TestItem("r2", 5);  // a leaf root: one unit
    scope.Insert(r1);
    scope.Insert(r2);
    EXPECT_FLOAT_EQ(scope.GetScanningProgress(), 0.0f);
    r1->GetChildren().at(0)->SetReady(true);
    EXPECT_FLOAT_EQ(scope.GetScanningProgress(), 1.0f / 3.0f);
    r2->SetReady(true);
    r1->SetReady(true);
    EXPECT_FLOAT_EQ(scope.GetScanningProgress(), 1.0f);
}
