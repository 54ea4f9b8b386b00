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

    // A name typed composed protects the same name stored decomposed, and
    // the reverse; the exclusion test handed to the planning agrees.
    const QString composed = QString::fromUtf8("Caf\u00e9");
    const QString decomposed = QString::fromUtf8("Cafe\u0301");
    scope.SetExclusions({composed});
    EXPECT_TRUE(scope.IsExclusion("/x/" + decomposed + "/y"));
    EXPECT_TRUE(scope.GetExclusionTest()("/x/" + decomposed + "/y"));
    scope.SetExclusions({decomposed});
    EXPECT_TRUE(scope.IsExclusion("/x/" + composed));
    EXPECT_FALSE(scope.IsExclusion("/x/Cafe"));
    scope.SetExclusions({});

    scope.AddExclusionChecker([](const QString& p) { return p.endsWith(".keep"); });
    EXPECT_EQ(changed.count(), 6);
    EXPECT_TRUE(scope.IsExclusion("/a/b.keep"));

    LogCapture log;
    scope.AddExclusionChecker(nullptr);
    EXPECT_EQ(changed.count(), 6) << "an empty checker is refused";
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
