// Removal steps failing under a real scope: the cleaning finishes once, the
// failed item is in error, stays on the disk and is not counted as cleaned;
// what went is counted with what it gave back; a run that cannot start
// starts nothing and removes nothing.
#include <gtest/gtest.h>

#include <QSet>
#include <QSignalSpy>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "CleanerFS/FSCleanerSupport.h"
#include "Core/details/FileDates.h"
#include "Core/details/SystemGarbageScope.h"
#include "FaultRun.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::LogCapture;
using Varnex::Test::SystemCallFaults;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;
using R = SystemCallFaults::Rule;
using C = SystemCallFaults::Call;

namespace {

const QStringList files = {"Caches/com.a/f1", "Caches/com.a/sub/f2", "Caches/com.b/g"};

struct Case {
    const char* label;
    R rule;
    // The item that must end in error; empty: the first file the run takes
    // aside, whichever the scan put first.
    QString failing;
    AbstractGarbage::Error error;
    bool shred = false;
};

void Scan(SystemGarbageScope& scope) {
    QSignalSpy scanned(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    ASSERT_TRUE(WaitUntil([&] { return !scanned.isEmpty(); }, 30000));
}

// Lets what is already posted to the main thread come (a second finish, say).
void LetPostedEventsCome(QObject* receiver) {
    bool reached = false;
    QMetaObject::invokeMethod(
        receiver, [&reached] { reached = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(WaitUntil([&] { return reached; }, 30000));
}

void ExpectItemsTellTheTruth(const AbstractGarbage* item) {
    if (!item->IsRoot()) {
        EXPECT_EQ(item->IsClean(), !PathExists(item->GetPath())) << item->GetPath().toStdString();
    }
    for (const AbstractGarbage* child : item->GetChildren()) {
        ExpectItemsTellTheTruth(child);
    }
}

}  // namespace

TEST(ScopeCleaningFaults, AFailedStepLeavesItsItemInErrorAndUncounted) {
    using E = AbstractGarbage::Error;
    const std::vector<Case> cases = {
        {"a file cannot be taken aside", R{C::RENAME, "f1", 1, EACCES}, "Caches/com.a/f1",
         E::PERMISSION_DENIED},
        {"a file taken aside cannot be unlinked", R{C::UNLINK_AT, ".klarvik-rm.*", 1, EIO}, "",
         E::UNKNOWN},
        {"a file cannot be examined", R{C::STATX, "f2", 1, EIO}, "Caches/com.a/sub/f2", E::UNKNOWN},
        {"an emptied folder is busy", R{C::REMOVE_DIR, "sub", 1, EBUSY}, "Caches/com.a/sub",
         E::REFUSED},
        {"a file cannot be overwritten", R{C::WRITE, ".klarvik-shred.*", 1, ENOSPC}, "", E::UNKNOWN,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempTree t;
        for (const QString& rel : files) {
            t.MakeFile(rel, rel.toUtf8().repeated(1000));
        }
        SystemGarbageScope scope({t.Path("Caches")});
        scope.EnableFillingFilesWithGarbage(c.shred);
        ASSERT_NO_FATAL_FAILURE(Scan(scope));
        // What each file holds, and each folder for itself.
        QHash<QString, long long> usage;
        for (const QString& rel : files) {
            usage.insert(rel, t.DiskUsage(rel));
            for (QString f = rel.left(rel.lastIndexOf('/')); f != QLatin1String("Caches");
                 f = f.left(f.lastIndexOf('/'))) {
                usage.insert(f, t.DiskUsage(f) - t.ContentsDiskUsage(f));
            }
        }
        LogCapture log;
        QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
        {
            SystemCallFaults faults({c.rule});
            ASSERT_TRUE(scope.StartCleaning());
            ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, 30000));
            EXPECT_EQ(faults.Injected(), 1);
        }
        LetPostedEventsCome(&scope);
        ASSERT_EQ(finished.count(), 1);
        EXPECT_EQ(finished.first().at(1).value<AbstractGarbageScope::FinishReason>(),
                  AbstractGarbageScope::DONE);
        QString failing = c.failing;
        if (failing.isEmpty()) {
            for (const QString& rel : files) {
                if (t.Exists(rel)) {
                    ASSERT_TRUE(failing.isEmpty()) << "two files stayed";
                    failing = rel;
                }
            }
            ASSERT_FALSE(failing.isEmpty()) << "every file went";
        }
        // The entries that went freed their blocks; the failing entry's, and
        // its folders', stay with it.
        long long freed = 0;
        for (auto it = usage.cbegin(); it != usage.cend(); ++it) {
            if (it.key() != failing && !failing.startsWith(it.key() + "/")) {
                freed += it.value();
            }
        }
        AbstractGarbage* failed = scope.FindGarbage(t.Path(failing));
        ASSERT_NE(failed, nullptr);
        EXPECT_EQ(failed->GetStatus(), AbstractGarbage::Status::ERROR);
        EXPECT_EQ(failed->GetError(), c.error);
        EXPECT_TRUE(scope.ContainsError());
        EXPECT_TRUE(t.Exists(failing));
        for (const QString& rel : files) {
            EXPECT_EQ(t.Exists(rel), rel == failing) << rel.toStdString();
            if (t.Exists(rel) && !c.shred) {
                EXPECT_EQ(t.Read(rel), rel.toUtf8().repeated(1000)) << rel.toStdString();
            }
        }
        EXPECT_EQ(scope.GetLastCleanedSize(), freed);
        ExpectItemsTellTheTruth(scope.GetRoots().at(0));
        const std::string line = "ERROR WHILE CLEANING \"" + t.Path(failing).toStdString() + "\"";
        EXPECT_TRUE(log.Contains(google::ERROR, line)) << line << "\n" << log.Dump();
        EXPECT_TRUE(
            log.Contains(google::WARNING, "Cannot remove \"" + t.Path(failing).toStdString()))
            << log.Dump();
    }
}

// A stop that lands after a folder's last child and before the folder: the
// folder showed clean with that child, was never reached and is still there.
TEST(ScopeCleaningFaults, AFolderLeftByAStopAfterItsLastChildIsNotShownClean) {
    // A view resetting the scope when it hears that the folder shows not
    // clean again: the run still finishes once.
    struct Resetter : AbstractGarbage::CheckStateWatcher {
        SystemGarbageScope* scope = nullptr;
        QString f2, sub;
        int resets = 0;
        void CheckStateChangeEnded(const GarbageList&) override {
            AbstractGarbage* file = scope->FindGarbage(f2);
            AbstractGarbage* folder = scope->FindGarbage(sub);
            if (resets == 0 && file && folder && file->IsClean() && !folder->IsClean()) {
                ++resets;
                scope->Reset();
            }
        }
    };
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset by a watcher" : "stopped");
        TempTree t;
        for (const QString& rel : files) {
            t.MakeFile(rel, rel.toUtf8());
        }
        SystemGarbageScope scope({t.Path("Caches")});
        ASSERT_NO_FATAL_FAILURE(Scan(scope));
        Resetter resetter;
        resetter.scope = &scope;
        resetter.f2 = t.Path("Caches/com.a/sub/f2");
        resetter.sub = t.Path("Caches/com.a/sub");
        if (reset) {
            AbstractGarbage::AddCheckStateWatcher(&resetter);
        }
        std::atomic<bool> reached{false};
        std::atomic<bool> release{false};
        QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
        {
            // The only file of sub is being taken aside when the stop comes.
            SystemCallFaults faults({R{C::RENAME, "f2", 1, 0, false, [&] {
                                           reached = true;
                                           for (int i = 0; i < 30000 && !release; ++i) {
                                               std::this_thread::sleep_for(
                                                   std::chrono::milliseconds(1));
                                           }
                                       }}});
            ASSERT_TRUE(scope.StartCleaning());
            ASSERT_TRUE(WaitUntil([&] { return reached.load(); }, 30000));
            scope.StopCleaning();
            release = true;
            ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, 30000));
        }
        LetPostedEventsCome(&scope);
        AbstractGarbage::RemoveCheckStateWatcher(&resetter);
        ASSERT_EQ(finished.count(), 1);
        EXPECT_EQ(finished.first().at(1).value<AbstractGarbageScope::FinishReason>(),
                  AbstractGarbageScope::CANCELED);
        EXPECT_FALSE(t.Exists("Caches/com.a/sub/f2"));
        ASSERT_TRUE(t.Exists("Caches/com.a/sub"));
        if (reset) {
            EXPECT_EQ(resetter.resets, 1);
            EXPECT_TRUE(scope.GetRoots().isEmpty());
            continue;
        }
        EXPECT_FALSE(scope.FindGarbage(t.Path("Caches/com.a/sub"))->IsClean());
        EXPECT_FALSE(scope.FindGarbage(t.Path("Caches/com.a"))->IsClean());
        ExpectItemsTellTheTruth(scope.GetRoots().at(0));
    }
}

// The server refusing to start: cleaning never starts (false, no signal at
// all), nothing is removed or marked, and the next attempt works.
TEST(ScopeCleaningFaults, ARunThatCannotStartStartsNothingAndRemovesNothing) {
    TempTree t;
    for (const QString& rel : files) {
        t.MakeFile(rel, rel.toUtf8());
    }
    SystemGarbageScope scope({t.Path("Caches")});
    ASSERT_NO_FATAL_FAILURE(Scan(scope));
    LogCapture log;
    QSignalSpy started(&scope, &AbstractGarbageScope::CleaningStarted);
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    {
        SystemCallFaults faults({R{C::OPEN_AT, "/", 1, EMFILE}});
        EXPECT_FALSE(scope.StartCleaning());
        EXPECT_EQ(faults.Injected(), 1);
    }
    LetPostedEventsCome(&scope);
    EXPECT_EQ(started.count(), 0);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_FALSE(scope.IsCleaning());
    for (const QString& rel : files) {
        EXPECT_EQ(t.Read(rel), rel.toUtf8()) << rel.toStdString();
    }
    EXPECT_EQ(scope.GetLastCleanedItems(), 0);
    EXPECT_FALSE(scope.ContainsError());
    ExpectItemsTellTheTruth(scope.GetRoots().at(0));
    EXPECT_TRUE(log.Contains(google::WARNING, "cannot start: Too many open files")) << log.Dump();
    EXPECT_TRUE(log.Contains(google::WARNING, "The cleaning run did not start")) << log.Dump();

    ASSERT_TRUE(scope.StartCleaning());
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, 30000));
    EXPECT_EQ(finished.first().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::DONE);
    for (const QString& rel : files) {
        EXPECT_FALSE(t.Exists(rel)) << rel.toStdString();
    }
}
