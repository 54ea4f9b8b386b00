// The scanning and cleaning sequences every scope shares, driven through the
// real file-system scope: root spellings, exclusions at planning, what the scan
// saw, and scopes reset or destroyed from their own signals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "Core/details/GarbageDirectory.h"
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

// Lets every timer of the scope that was due run: a single-shot timer started
// now fires after them.
void LetDueTimersRun() {
    bool fired = false;
    QTimer::singleShot(120, [&fired] { fired = true; });
    ASSERT_TRUE(WaitUntil([&] { return fired; }, waitMs));
}

Reason ScanAndWait(SystemGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    LetDueTimersRun();
    EXPECT_EQ(finished.count(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<Reason>();
}

Reason CleanAndWait(SystemGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    EXPECT_TRUE(scope.StartCleaning());
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    LetDueTimersRun();
    EXPECT_EQ(finished.count(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<Reason>();
}

// Caches/{a/f1, a/sub/f2, keep/k}
void MakeCaches(TempTree& t) {
    t.MakeFile("Caches/a/f1", QByteArray(100, '1'));
    t.MakeFile("Caches/a/sub/f2", QByteArray(200, '2'));
    t.MakeFile("Caches/keep/k", QByteArray(50, 'k'));
}

}  // namespace

TEST(ScopeFramework, RootsInAnySpellingAreScannedOnceAndNestedRootsCountAsScanned) {
    TempTree t;
    MakeCaches(t);
    const QString caches = t.Path("Caches");
    const QString root = t.Root();
    for (const QString& spelling : {root + "//Caches", caches + "//", root + "/./Caches"}) {
        SystemGarbageScope fromConstructor(QStringList{spelling});
        EXPECT_EQ(ScanAndWait(fromConstructor), AbstractGarbageScope::DONE);
        EXPECT_EQ(fromConstructor.GetTotalItems(), 7) << spelling.toStdString();
        EXPECT_TRUE(fromConstructor.GetNotScannedLocations().isEmpty());

        SystemGarbageScope added;
        ASSERT_TRUE(added.AddPath(spelling)) << spelling.toStdString();
        EXPECT_FALSE(added.AddPath(caches)) << "the same root in another spelling";
        EXPECT_EQ(added.GetPaths(), QStringList{caches});
    }
    SystemGarbageScope dotDot;
    EXPECT_FALSE(dotDot.AddPath(caches + "/../Caches"));

    // A root inside another one is scanned with it, and a root that does not
    // exist below a shown one never keeps the scope asking to continue.
    SystemGarbageScope nested(QStringList{caches, caches + "/a", caches + "/missing"});
    EXPECT_EQ(ScanAndWait(nested), AbstractGarbageScope::DONE);
    EXPECT_EQ(nested.GetRoots().size(), 1);
    EXPECT_TRUE(nested.GetNotScannedLocations().isEmpty());
    EXPECT_FALSE(nested.CanContinueScanning());
}

TEST(ScopeFramework, AnExclusionAddedAfterTheScanIsNeverPlanned) {
    TempTree t;
    MakeCaches(t);
    SystemGarbageScope scope(QStringList{t.Path("Caches")});
    ASSERT_EQ(ScanAndWait(scope), AbstractGarbageScope::DONE);
    scope.AddExclusion("/keep/");
    scope.AddExclusion("/sub");
    EXPECT_EQ(CleanAndWait(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(t.Exists("Caches/a/f1"));
    EXPECT_TRUE(t.Exists("Caches/keep/k"));
    EXPECT_TRUE(t.Exists("Caches/keep"));
    EXPECT_TRUE(t.Exists("Caches/a/sub/f2"));
    // The folder that holds an excluded entry was not planned either: no
    // "not empty" error, and it is not shown clean.
    EXPECT_FALSE(scope.ContainsError());
    EXPECT_FALSE(scope.FindGarbage(t.Path("Caches/a"))->IsClean());
    EXPECT_TRUE(scope.FindGarbage(t.Path("Caches/a/f1"))->IsClean());
}

TEST(ScopeFramework, AnEntryReplacedAfterTheScanIsLeftAndShownInError) {
    TempTree t;
    MakeCaches(t);
    SystemGarbageScope scope(QStringList{t.Path("Caches")});
    ASSERT_EQ(ScanAndWait(scope), AbstractGarbageScope::DONE);

    // A file replaced by another file, and a folder (with its contents gone)
    // replaced by a file: neither was ever scanned.
    t.MakeFile("new-f1", "never scanned");
    ASSERT_EQ(::rename(t.Bytes("new-f1").c_str(), t.Bytes("Caches/a/f1").c_str()), 0);
    ASSERT_EQ(::unlink(t.Bytes("Caches/keep/k").c_str()), 0);
    ASSERT_EQ(::rmdir(t.Bytes("Caches/keep").c_str()), 0);
    t.MakeFile("Caches/keep", "a file where a folder was");

    EXPECT_EQ(CleanAndWait(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(t.Read("Caches/a/f1"), QByteArray("never scanned"));
    EXPECT_EQ(t.Read("Caches/keep"), QByteArray("a file where a folder was"));
    EXPECT_FALSE(t.Exists("Caches/a/sub/f2"));
    const AbstractGarbage* f1 = scope.FindGarbage(t.Path("Caches/a/f1"));
    EXPECT_EQ(f1->GetError(), AbstractGarbage::Error::REFUSED);
    EXPECT_FALSE(f1->IsClean());
    EXPECT_EQ(scope.FindGarbage(t.Path("Caches/keep"))->GetError(),
              AbstractGarbage::Error::REFUSED);
    EXPECT_TRUE(scope.ContainsError());
}

TEST(ScopeFramework, AScopeResetOrDestroyedByItsOwnSignalsStopsAtOnce) {
    TempTree t;
    for (int i = 0; i < 50; ++i) {
        t.MakeFile(QString("Caches/d%1/f").arg(i), "x");
    }
    {
        // Reset from a slot of ItemsInserted: the batch under way is dropped,
        // the scan ends once, CANCELED, and the tree is empty.
        SystemGarbageScope scope(QStringList{t.Path("Caches")});
        QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
        int resets = 0;
        QObject::connect(
            &scope, &AbstractGarbageScope::ItemsInserted, &scope,
            [&](AbstractGarbage*, int) {
                if (resets++ == 0) {
                    scope.Reset();
                }
            },
            Qt::DirectConnection);
        scope.StartScanning();
        ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
        LetDueTimersRun();
        ASSERT_EQ(finished.count(), 1);
        EXPECT_EQ(finished.at(0).at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
        EXPECT_TRUE(scope.GetRoots().isEmpty());
        EXPECT_EQ(scope.GetTotalItems(), 0);
    }
    {
        // Destroyed from a slot of ItemChanged while a batch is applied: the
        // batch must not touch it again (AddressSanitizer watches).
        QPointer<SystemGarbageScope> scope = new SystemGarbageScope(QStringList{t.Path("Caches")});
        QObject::connect(
            scope.data(), &AbstractGarbageScope::ItemChanged, scope.data(),
            [&scope](AbstractGarbage*) { delete scope.data(); }, Qt::DirectConnection);
        scope->StartScanning();
        ASSERT_TRUE(WaitUntil([&] { return scope.isNull(); }, waitMs));
        LetDueTimersRun();
    }
    {
        // Reset from a slot of ItemChanged during cleaning: one CANCELED.
        SystemGarbageScope scope(QStringList{t.Path("Caches")});
        ASSERT_EQ(ScanAndWait(scope), AbstractGarbageScope::DONE);
        QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
        bool reset = false;
        QObject::connect(
            &scope, &AbstractGarbageScope::ItemChanged, &scope,
            [&](AbstractGarbage* item) {
                if (!reset && item->IsClean()) {
                    reset = true;
                    scope.Reset();
                }
            },
            Qt::DirectConnection);
        ASSERT_TRUE(scope.StartCleaning());
        ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
        LetDueTimersRun();
        ASSERT_EQ(finished.count(), 1);
        EXPECT_EQ(finished.at(0).at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
        EXPECT_FALSE(scope.IsCleaning());
    }
}

TEST(ScopeFramework, EveryRunOfTheRealScopeEndsOnceAndItsFiguresHold) {
    TempTree t;
    for (int i = 0; i < 400; ++i) {
        t.MakeFile(QString("Caches/d%1/f%2").arg(i % 20).arg(i), QByteArray(100, 'x'));
    }
    const long long onDisk = t.ContentsDiskUsage("Caches");
    SystemGarbageScope scope(QStringList{t.Path("Caches")});
    LogCapture log;
    QSignalSpy started(&scope, &AbstractGarbageScope::ScanningStarted);
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);

    scope.StopScanning();  // not scanning: nothing
    scope.StartScanning();
    scope.StartScanning();  // already scanning: nothing
    EXPECT_EQ(started.count(), 1);
    // Stopped at once: whether the scanner was still busy or not, one CANCELED.
    scope.StopScanning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    LetDueTimersRun();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
    EXPECT_EQ(log.Count(google::INFO, "SCANNING HAS FINISHED (CANCELED)",
                        "src/Libs/Core/AbstractGarbageScope"),
              1);

    ASSERT_EQ(ScanAndWait(scope), AbstractGarbageScope::DONE);
    EXPECT_TRUE(scope.WasScanned());
    EXPECT_FLOAT_EQ(scope.GetScanningProgress(), 1.0f);
    EXPECT_EQ(scope.GetTotalSize(), onDisk);

    // The selection taken at the start is what progress is measured against.
    QSignalSpy cleaned(&scope, &AbstractGarbageScope::CleaningFinished);
    ASSERT_TRUE(scope.StartCleaning());
    EXPECT_FALSE(scope.StartCleaning()) << "a second start while cleaning is refused";
    float last = 0;
    while (cleaned.isEmpty()) {
        if (scope.IsCleaning()) {
            EXPECT_EQ(scope.GetSelectedSizeBeforeCleaning(), onDisk);
        }
        const float p = scope.GetCleaningProgress();
        EXPECT_GE(p, last);
        EXPECT_LE(p, 1.0f);
        last = p;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    LetDueTimersRun();
    ASSERT_EQ(cleaned.count(), 1);
    EXPECT_EQ(cleaned.at(0).at(1).value<Reason>(), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope.GetLastCleanedSize(), onDisk);
    EXPECT_EQ(scope.GetSelectedSize(), 0);
    EXPECT_EQ(log.Count(google::INFO, "PLANNED TO REMOVE: 420", ""), 1);
}

TEST(ScopeFramework, PlanningOnTheTimerRemovesWhatPlanningAtOnceWouldAndStopsCleanly) {
    // Three trees of 1000 files: more than one step of the walk, so with no
    // time before the answer StartCleaning() answers after the first step.
    TempTree t;
    for (int i = 0; i < 3000; ++i) {
        t.MakeFile(QString("Caches/t%1/f%2").arg(i % 3).arg(i), "x");
    }
    t.MakeFile("Caches/keep/k", "k");
    for (const char* how : {"clean", "stop", "reset"}) {
        SCOPED_TRACE(how);
        TempTree copy;
        ASSERT_EQ(Varnex::Test::RunProgram("cp", {"-a", t.Path("Caches"), copy.Path("Caches")}),
                  0);
        SystemGarbageScope scope(QStringList{copy.Path("Caches")});
        scope.SetPlanningTimeBeforeAnswer(0);
        ASSERT_EQ(ScanAndWait(scope), AbstractGarbageScope::DONE);
        scope.AddExclusion("/keep/");
        LogCapture log;
        QSignalSpy started(&scope, &AbstractGarbageScope::CleaningStarted);
        QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
        ASSERT_TRUE(scope.StartCleaning());
        EXPECT_EQ(started.count(), 1);
        EXPECT_TRUE(scope.IsCleaning());
        EXPECT_EQ(log.Count(google::INFO, "PLANNED TO REMOVE"), 0);  // not all planned yet
        if (QByteArray(how) == "clean") {
            ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
            LetDueTimersRun();
            ASSERT_EQ(finished.count(), 1);
            EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::DONE);
            // 3000 files and the three folders; the excluded entry stays.
            EXPECT_EQ(log.Count(google::INFO, "PLANNED TO REMOVE: 3003"), 1) << log.Dump();
            EXPECT_EQ(scope.GetLastCleanedItems(), 3003);
            EXPECT_FALSE(copy.Exists("Caches/t0"));
            EXPECT_TRUE(copy.Exists("Caches/keep/k"));
            continue;
        }
        // Stopped or reset before the plan was whole: one CANCELED, nothing
        // handed to the server, nothing removed.
        if (QByteArray(how) == "stop") {
            scope.StopCleaning();
        } else {
            scope.Reset();
        }
        LetDueTimersRun();
        ASSERT_EQ(finished.count(), 1);
        EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
        EXPECT_FALSE(scope.IsCleaning());
        EXPECT_EQ(log.Count(google::INFO, "PLANNED TO REMOVE"), 0);
        for (int i = 0; i < 3000; i += 97) {
            ASSERT_TRUE(copy.Exists(QString("Caches/t%1/f%2").arg(i % 3).arg(i)));
        }
        // And the scope cleans normally afterwards.
        if (QByteArray(how) == "stop") {
            scope.SetPlanningTimeBeforeAnswer(60000);
            EXPECT_EQ(CleanAndWait(scope), AbstractGarbageScope::DONE);
            EXPECT_FALSE(copy.Exists("Caches/t1"));
        }
    }
}

TEST(ScopeFramework, ResultsAppliedOverManyTicksCountOnceAndTheRunEndsAfterTheLast) {
    // One step of results per tick: 1000 files and 10 folders take many ticks
    // whatever the server's pace.
    TempTree t;
    for (int i = 0; i < 1000; ++i) {
        t.MakeFile(QString("Caches/d%1/f%2").arg(i % 10).arg(i), "x");
    }
    for (const char* how : {"clean", "stop"}) {
        SCOPED_TRACE(how);
        TempTree copy;
        ASSERT_EQ(Varnex::Test::RunProgram("cp", {"-a", t.Path("Caches"), copy.Path("Caches")}),
                  0);
        const long long onDisk = copy.ContentsDiskUsage("Caches");
        SystemGarbageScope scope(QStringList{copy.Path("Caches")});
        scope.SetApplyTimePerTick(0);
        ASSERT_EQ(ScanAndWait(scope), AbstractGarbageScope::DONE);
        // What each pass of the event loop saw applied: a tick never runs
        // through one, so each count is one tick's work or less.
        std::vector<long long> seen{0};
        bool pending = false;
        QObject::connect(&scope, &AbstractGarbageScope::ItemChanged, [&] {
            if (!pending) {
                pending = true;
                QTimer::singleShot(0, &scope, [&] {
                    pending = false;
                    seen.push_back(scope.GetLastCleanedItems());
                });
            }
        });
        long long atFinish = -1;
        QObject::connect(&scope, &AbstractGarbageScope::CleaningFinished,
                         [&] { atFinish = scope.GetLastCleanedItems(); });
        QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
        ASSERT_TRUE(scope.StartCleaning());
        if (QByteArray(how) == "stop") {
            ASSERT_TRUE(WaitUntil([&] { return seen.back() > 0 || !finished.isEmpty(); }, waitMs));
            scope.StopCleaning();
        }
        ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
        LetDueTimersRun();
        ASSERT_EQ(finished.count(), 1);
        // Everything the server reported was applied before the finish, once:
        // the cleaned count is what is really gone.
        long long gone = 0;
        for (int i = 0; i < 1000; ++i) {
            gone += copy.Exists(QString("Caches/d%1/f%2").arg(i % 10).arg(i)) ? 0 : 1;
        }
        for (int d = 0; d < 10; ++d) {
            gone += copy.Exists(QString("Caches/d%1").arg(d)) ? 0 : 1;
        }
        EXPECT_EQ(atFinish, gone);
        EXPECT_EQ(scope.GetLastCleanedItems(), gone);
        if (QByteArray(how) == "clean") {
            EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::DONE);
            EXPECT_EQ(gone, 1010);
            EXPECT_EQ(scope.GetLastCleanedSize(), onDisk);
            EXPECT_EQ(scope.GetSelectedSize(), 0);
        } else {
            EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
        }
        // Applied over several ticks, none all of it.
        const long long total = scope.GetLastCleanedItems();
        long long most = 0;
        int ticks = 0;
        for (std::size_t i = 1; i < seen.size(); ++i) {
            most = std::max(most, seen[i] - seen[i - 1]);
            ticks += seen[i] > seen[i - 1] ? 1 : 0;
        }
        if (QByteArray(how) == "clean") {
            EXPECT_GT(ticks, 1);
            EXPECT_LT(most, total);
        }
    }
}
