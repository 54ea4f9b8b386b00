// The life of a removal context: plans, runs, stops, releases, and several
// contexts at once. What is never processed must stay on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Cleaner::Details::FSCleanerServer;
namespace FSCleaner = Varnex::Cleaner::Details::FSCleaner;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

FSCleanerServer& Server() {
    return FSCleanerServer::GetInstance();
}

bool Exists(const QString& path) {
    struct stat st;
    return ::lstat(path.toStdString().c_str(), &st) == 0;
}

QString NewContext() {
    static std::atomic<int> counter{0};
    return QStringLiteral("run-test-%1").arg(counter++);
}

// Releases the context whatever happens to the test.
struct Context {
    Context() : name(NewContext()) {}
    ~Context() { Server().Release(name); }
    const QString name;
};

// `count` files in folders of 100, planned children first, folders after.
QStringList MakeAndPlan(TempTree& t, const QString& context, int count) {
    QStringList planned;
    for (int i = 0; i < count; ++i) {
        const QString rel = QStringLiteral("d%1/f%2").arg(i / 100).arg(i);
        t.MakeFile(rel, QByteArray());
        planned.append(t.Path(rel));
        if (i % 100 == 99 || i == count - 1) {
            planned.append(t.Path(QStringLiteral("d%1").arg(i / 100)));
        }
    }
    for (const QString& path : planned) {
        Server().PlanToRemove(context, path, 0);
    }
    return planned;
}

QList<FSCleanerServer::Result> TakeAll(const QString& context) {
    QList<FSCleanerServer::Result> results;
    EXPECT_TRUE(WaitUntil([&] {
        results += Server().GetResults(context);
        return !Server().IsWorking(context);
    }));
    return results;
}

// The results of a run that may have been cut short: a prefix of the plan in
// its order, each path once, each reported path gone, every other path still
// there.
void CheckPrefix(const QStringList& planned, const QList<FSCleanerServer::Result>& results) {
    ASSERT_LE(results.size(), planned.size());
    for (int i = 0; i < results.size(); ++i) {
        ASSERT_EQ(results[i].path, planned[i]);
        EXPECT_EQ(results[i].code, FSCleaner::REMOVED) << planned[i].toStdString();
        EXPECT_FALSE(Exists(planned[i])) << planned[i].toStdString();
    }
    for (int i = results.size(); i < planned.size(); ++i) {
        ASSERT_TRUE(Exists(planned[i])) << "unprocessed but gone: " << planned[i].toStdString();
    }
}

}  // namespace

TEST(FSCleanerServerRun, StopLeavesEveryUnprocessedPathOnDisk) {
    TempTree t;
    Context context;
    const QStringList planned = MakeAndPlan(t, context.name, 20000);
    ASSERT_TRUE(Server().Start(context.name));
    QList<FSCleanerServer::Result> results;
    ASSERT_TRUE(WaitUntil([&] {
        results += Server().GetResults(context.name);
        return !results.isEmpty() || !Server().IsWorking(context.name);
    }));
    Server().Stop(context.name);
    results += TakeAll(context.name);
    EXPECT_EQ(Server().GetState(context.name), FSCleanerServer::STOPPED);
    EXPECT_LT(results.size(), planned.size()) << "the run ended before it could be stopped";
    CheckPrefix(planned, results);
    EXPECT_FLOAT_EQ(Server().GetProgress(context.name),
                    static_cast<float>(results.size()) / planned.size());

    // The rest is not run later by accident: a new Start has nothing to run.
    EXPECT_FALSE(Server().Start(context.name));
    EXPECT_TRUE(Server().GetResults(context.name).isEmpty());
    CheckPrefix(planned, results);
}

TEST(FSCleanerServerRun, ReleaseWhileRunningStopsAndForgets) {
    TempTree t;
    Context context;
    const QStringList planned = MakeAndPlan(t, context.name, 20000);
    ASSERT_TRUE(Server().Start(context.name));
    ASSERT_TRUE(WaitUntil([&] { return Server().GetProgress(context.name) > 0; }));
    Server().Release(context.name);
    // Forgotten: nothing works, nothing is left to take, and the progress
    // stays where it stopped on disk.
    EXPECT_FALSE(Server().IsWorking(context.name));
    EXPECT_TRUE(Server().GetResults(context.name).isEmpty());
    EXPECT_EQ(Server().GetState(context.name), FSCleanerServer::IDLE);
    int gone = 0;
    while (gone < planned.size() && !Exists(planned[gone])) {
        ++gone;
    }
    EXPECT_GT(gone, 0);
    EXPECT_LT(gone, planned.size());
    for (int i = gone; i < planned.size(); ++i) {
        ASSERT_TRUE(Exists(planned[i])) << planned[i].toStdString();
    }
    // The name can be used again, from scratch.
    Server().PlanToRemove(context.name, planned.last(), 0);
    ASSERT_TRUE(Server().Start(context.name));
    const auto results = TakeAll(context.name);
    ASSERT_EQ(results.size(), 1);
    EXPECT_EQ(results[0].code, FSCleaner::NOT_EMPTY);
}

TEST(FSCleanerServerRun, ContextsRunIndependently) {
    TempTree first;
    TempTree second;
    Context a;
    Context b;
    const QStringList plannedA = MakeAndPlan(first, a.name, 10000);
    const QStringList plannedB = MakeAndPlan(second, b.name, 3000);
    ASSERT_TRUE(Server().Start(a.name));
    ASSERT_TRUE(Server().Start(b.name));
    EXPECT_TRUE(Server().IsWorking(a.name));
    // Stopping one does not touch the other.
    Server().Stop(a.name);
    const auto resultsA = TakeAll(a.name);
    const auto resultsB = TakeAll(b.name);
    CheckPrefix(plannedA, resultsA);
    ASSERT_EQ(resultsB.size(), plannedB.size());
    CheckPrefix(plannedB, resultsB);
    if (resultsA.size() < plannedA.size()) {
        EXPECT_EQ(Server().GetState(a.name), FSCleanerServer::STOPPED);
    }
    EXPECT_EQ(Server().GetState(b.name), FSCleanerServer::IDLE);
    EXPECT_FLOAT_EQ(Server().GetProgress(b.name), 1.0f);
}

TEST(FSCleanerServerRun, StartRefusesEmptyAndRunningPlansAndDropsThem) {
    TempTree t;
    Context context;
    EXPECT_FALSE(Server().Start(context.name));
    EXPECT_FALSE(Server().Start(NewContext()));  // never planned at all
    EXPECT_FALSE(Server().IsWorking(context.name));

    const QStringList planned = MakeAndPlan(t, context.name, 5000);
    ASSERT_TRUE(Server().Start(context.name));
    // Planned while the first run works, then started too early: dropped.
    t.MakeFile("late", "stays");
    Server().PlanToRemove(context.name, t.Path("late"), 0);
    const bool refused = !Server().Start(context.name);
    auto results = TakeAll(context.name);
    if (refused) {
        EXPECT_EQ(results.size(), planned.size());
        EXPECT_TRUE(Exists(t.Path("late")));
        // A stale plan never runs later.
        EXPECT_FALSE(Server().Start(context.name));
        EXPECT_TRUE(Exists(t.Path("late")));
    } else {
        // The first run had already ended: the second one ran the new plan.
        ASSERT_EQ(results.size(), planned.size() + 1);
        EXPECT_EQ(results.last().path, t.Path("late"));
        EXPECT_FALSE(Exists(t.Path("late")));
    }
    CheckPrefix(planned, results.mid(0, planned.size()));
}

TEST(FSCleanerServerRun, WorkingUntilTheLastResultIsTaken) {
    TempTree t;
    Context context;
    t.MakeFile("a", "x");
    Server().PlanToRemove(context.name, t.Path("a"), 0);
    Server().PlanToRemove(context.name, t.Path("missing"), 0);
    ASSERT_TRUE(Server().Start(context.name));
    // The run ends on its own (the file is gone), but its results wait.
    ASSERT_TRUE(
        WaitUntil([&] { return Server().GetState(context.name) != FSCleanerServer::WORKING; }));
    EXPECT_FALSE(Exists(t.Path("a")));
    EXPECT_TRUE(Server().IsWorking(context.name));
    EXPECT_FLOAT_EQ(Server().GetProgress(context.name), 1.0f);
    const auto results = Server().GetResults(context.name);
    ASSERT_EQ(results.size(), 2);
    EXPECT_EQ(results[1].code, FSCleaner::NOT_FOUND);
    EXPECT_EQ(results[1].freed, 0) << "gone before its turn: nothing freed here";
    EXPECT_FALSE(Server().IsWorking(context.name));
    EXPECT_TRUE(Server().GetResults(context.name).isEmpty());
    EXPECT_EQ(Server().GetState(context.name), FSCleanerServer::IDLE);
}

TEST(FSCleanerServerRun, CallsFromManyThreads) {
    TempTree t;
    constexpr int threads = 4;
    constexpr int perThread = 500;
    for (int i = 0; i < threads * perThread; ++i) {
        t.MakeFile(QStringLiteral("f%1").arg(i), QByteArray());
    }
    std::vector<std::thread> workers;
    std::atomic<int> reported{0};
    for (int n = 0; n < threads; ++n) {
        workers.emplace_back([&, n] {
            Context context;
            for (int i = 0; i < perThread; ++i) {
                Server().PlanToRemove(context.name,
                                      t.Path(QStringLiteral("f%1").arg(n * perThread + i)), 0);
            }
            if (!Server().Start(context.name)) {
                return;
            }
            while (Server().IsWorking(context.name)) {
                for (const auto& r : Server().GetResults(context.name)) {
                    if (r.code == FSCleaner::REMOVED) {
                        ++reported;
                    }
                }
                Server().GetProgress(context.name);
                Server().GetState(context.name);
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(reported.load(), threads * perThread);
    EXPECT_TRUE(
        QDir(t.Root()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).isEmpty());
}
