// The item model following the file-system scope through a real scan and a
// real cleaning, checked by Qt's model tester at every step.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <chrono>
#include <numeric>
#include <vector>

#include "CleanerWorkaround/GuiAntifreeze.h"

#include "Core/GarbageItemModel.h"
#include "Core/details/SystemGarbageScope.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using Varnex::Cleaner::Details::SystemGarbageScope;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

int CountRows(const QAbstractItemModel& model, const QModelIndex& parent = {}) {
    int n = model.rowCount(parent);
    for (int r = 0; r < model.rowCount(parent); ++r) {
        n += CountRows(model, model.index(r, 0, parent));
    }
    return n;
}

}  // namespace

TEST(GarbageItemModelOnARealScope, FollowsAScanAndACleanWithAndWithoutHiddenRoot) {
    for (const bool hideRoot : {false, true}) {
        TempTree t;
        for (int d = 0; d < 5; ++d) {
            for (int f = 0; f < 12; ++f) {
                t.MakeFile(QString("Caches/d%1/s%2/f%3").arg(d).arg(f % 3).arg(f), "x");
            }
        }
        SystemGarbageScope scope({t.Path("Caches")});
        GarbageItemModel model(&scope, hideRoot);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);

        QSignalSpy scanned(&scope, &AbstractGarbageScope::ScanningFinished);
        scope.StartScanning();
        ASSERT_TRUE(WaitUntil([&] { return !scanned.isEmpty(); }));
        // 5 folders, 15 subfolders, 60 files, and the root unless hidden.
        EXPECT_EQ(CountRows(model), hideRoot ? 80 : 81) << "hide root " << hideRoot;

        // A click through the model decides what the cleaning removes.
        const QModelIndex first = model.index(0, GarbageItemModel::SELECTED_COLUMN,
                                              hideRoot ? QModelIndex() : model.index(0, 0));
        ASSERT_TRUE(model.setData(first, false, Qt::EditRole));
        AbstractGarbage* kept = model.FetchGarbage(first);
        ASSERT_NE(kept, nullptr);
        EXPECT_FALSE(kept->IsSelected());

        QSignalSpy cleaned(&scope, &AbstractGarbageScope::CleaningFinished);
        ASSERT_TRUE(scope.StartCleaning());
        ASSERT_TRUE(WaitUntil([&] { return !cleaned.isEmpty(); }));
        EXPECT_TRUE(t.Exists(kept->GetPath().mid(t.Root().size() + 1)));
        EXPECT_EQ(scope.GetLastCleanedItems(), 80 - 1 - 3 - 12);

        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        scope.Reset();
        EXPECT_EQ(model.rowCount(), 0);
        EXPECT_GE(reset.count(), 1);
    }
}

// A folder of more files than one slice of insertion: it arrives in several
// pairs of insertion signals with a turn of the event loop between them, and
// a reset during such a turn drops the files not attached yet.
TEST(GarbageItemModelOnARealScope, AFolderOfManyFilesArrivesInSlicesAndAResetBetweenThemDropsTheRest) {
    const int files = 9000;
    TempTree t;
    for (int f = 0; f < files; ++f) {
        t.MakeFile(QString("Caches/many/f%1").arg(f), "x");
    }
    {
        SystemGarbageScope scope({t.Path("Caches")});
        GarbageItemModel model(&scope, false);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        std::vector<int> slices;
        QObject::connect(&scope, &AbstractGarbageScope::ItemsInserted,
                         [&](AbstractGarbage* where, int n) {
                             if (where && where->GetPath() == t.Path("Caches/many")) {
                                 slices.push_back(n);
                             }
                         });
        QSignalSpy scanned(&scope, &AbstractGarbageScope::ScanningFinished);
        scope.StartScanning();
        ASSERT_TRUE(WaitUntil([&] { return !scanned.isEmpty(); }));
        EXPECT_GE(slices.size(), 3u);
        EXPECT_EQ(std::accumulate(slices.begin(), slices.end(), 0), files);
        const QModelIndex many = model.index(0, 0, model.index(0, 0));
        EXPECT_EQ(model.rowCount(many), files);
        AbstractGarbage* folder = scope.FindGarbage(t.Path("Caches/many"));
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(folder->GetChildren().size(), files);
        EXPECT_EQ(scope.GetTotalItems(), files + 2);
    }
    {
        SystemGarbageScope scope({t.Path("Caches")});
        GarbageItemModel model(&scope, false);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        bool asked = false;
        QObject::connect(
            &scope, &AbstractGarbageScope::ItemsInserted, &scope,
            [&](AbstractGarbage* where, int) {
                if (!asked && where && where->GetPath() == t.Path("Caches/many")) {
                    asked = true;
                    // Due at once: the next slice gives the event loop its turn
                    // first, and the reset posted here runs in it.
                    Varnex::Util::GuiAntifreeze::SetLastUpdatePoint(
                        Varnex::Util::GuiAntifreeze::Clock::now() - std::chrono::seconds(1));
                    QMetaObject::invokeMethod(&scope, [&scope] { scope.Reset(); },
                                              Qt::QueuedConnection);
                }
            },
            Qt::DirectConnection);
        QSignalSpy scanned(&scope, &AbstractGarbageScope::ScanningFinished);
        scope.StartScanning();
        ASSERT_TRUE(WaitUntil([&] { return !scanned.isEmpty(); }));
        ASSERT_TRUE(asked);
        ASSERT_EQ(scanned.count(), 1);
        EXPECT_EQ(scanned.at(0).at(1).value<AbstractGarbageScope::FinishReason>(),
                  AbstractGarbageScope::CANCELED);
        EXPECT_TRUE(scope.GetRoots().isEmpty());
        EXPECT_EQ(scope.GetTotalItems(), 0);
        EXPECT_EQ(model.rowCount(), 0);
        EXPECT_EQ(scope.FindGarbage(t.Path("Caches/many/f0")), nullptr);
        // The files not attached when the reset came are freed (the leak
        // checker watches), and none is reached again.
    }
}
