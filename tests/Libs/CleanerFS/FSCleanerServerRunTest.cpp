// The life of a removal context: plans, runs, stops, releases, and several
// contexts at once. What is never processed must stay on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QHash>
#include <QSet>
#include <QThread>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "common/LogCapture.h"
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

// The results of a run that may have been cut short: planned paths, each
// once, each gone, every other planned path still there, and no folder before
// a file planned in it. Large plans run on several threads: the order of the
// results is not the plan's.
void CheckReported(const QStringList& planned, const QList<FSCleanerServer::Result>& results) {
    const QSet<QString> plannedSet(planned.begin(), planned.end());
    QHash<QString, int> filesIn;  // per planned folder, its planned files not reported yet
    for (const QString& path : planned) {
        filesIn[path.section('/', 0, -2)] += 1;
    }
    QSet<QString> reported;
    for (const FSCleanerServer::Result& result : results) {
        const std::string path = result.path.toStdString();
        ASSERT_TRUE(plannedSet.contains(result.path)) << "never planned: " << path;
        ASSERT_FALSE(reported.contains(result.path)) << "reported twice: " << path;
        reported.insert(result.path);
        EXPECT_EQ(result.code, FSCleaner::REMOVED) << path;
        EXPECT_FALSE(Exists(result.path)) << path;
        if (filesIn.contains(result.path)) {
            EXPECT_EQ(filesIn.value(result.path), 0) << "a folder before its files: " << path;
        } else {
            filesIn[result.path.section('/', 0, -2)] -= 1;
        }
    }
    for (const QString& path : planned) {
        if (!reported.contains(path)) {
            ASSERT_TRUE(Exists(path)) << "unprocessed but gone: " << path.toStdString();
        }
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
    CheckReported(planned, results);
    EXPECT_FLOAT_EQ(Server().GetProgress(context.name),
                    static_cast<float>(results.size()) / planned.size());

    // The rest is not run later by accident: a new Start has nothing to run.
    EXPECT_FALSE(Server().Start(context.name));
    EXPECT_TRUE(Server().GetResults(context.name).isEmpty());
    CheckReported(planned, results);
}

// A plan large enough to run on several threads, checked against what the scan
// saw: a file saved over a planned one after the scan, and a file that was
// never planned, stay with their folders; every other path goes, and each
// folder is reported after what was planned inside it.
TEST(FSCleanerServerRun, ALargePlanOnSeveralThreadsRemovesExactlyWhatOneWould) {
    TempTree t;
    Context context;
    std::vector<FSCleanerServer::PlanEntry> plan;
    const auto planSeen = [&](const QString& rel) {
        struct stat st;
        ASSERT_EQ(::lstat(t.Bytes(rel.toStdString()).c_str(), &st), 0);
        plan.push_back(
            {t.Path(rel), 0, true,
             FSCleanerServer::Expected{S_ISDIR(st.st_mode), st.st_dev, st.st_ino, 0, 0}});
    };
    for (int s = 0; s < 50; ++s) {
        for (int f = 0; f < 100; ++f) {
            t.MakeFile(QStringLiteral("big/s%1/inner/f%2").arg(s).arg(f), "x");
            planSeen(QStringLiteral("big/s%1/inner/f%2").arg(s).arg(f));
        }
        planSeen(QStringLiteral("big/s%1/inner").arg(s));
        t.MakeFile(QStringLiteral("big/s%1/é: \n").arg(s), "y");
        planSeen(QStringLiteral("big/s%1/é: \n").arg(s));
        planSeen(QStringLiteral("big/s%1").arg(s));
    }
    planSeen("big");
    // Planned again, with what another entry looked like: the first stays.
    plan.push_back(plan[5]);
    plan.back().expected.inode += 1;
    t.MakeFile("big/s7/inner/f3.new", "saved since");
    ASSERT_EQ(::rename(t.Bytes("big/s7/inner/f3.new").c_str(), t.Bytes("big/s7/inner/f3").c_str()),
              0);
    t.MakeFile("big/s31/kept", "never planned");

    Varnex::Test::LogCapture log;
    Server().PlanToRemove(context.name, plan);
    ASSERT_TRUE(Server().Start(context.name));
    const QList<FSCleanerServer::Result> results = TakeAll(context.name);
    if (std::thread::hardware_concurrency() >= 2) {
        EXPECT_TRUE(log.Contains(google::GLOG_INFO, "on 4 threads")) << log.Dump();
    }
    ASSERT_EQ(static_cast<std::size_t>(results.size()), plan.size() - 1);
    QHash<QString, int> code;
    for (const FSCleanerServer::Result& result : results) {
        ASSERT_FALSE(code.contains(result.path)) << "twice: " << result.path.toStdString();
        code.insert(result.path, result.code);
        // Whatever lies below it was reported before it.
        const QString below = result.path + '/';
        for (const FSCleanerServer::PlanEntry& entry : plan) {
            if (entry.path.startsWith(below)) {
                ASSERT_TRUE(code.contains(entry.path))
                    << entry.path.toStdString() << " after " << result.path.toStdString();
            }
        }
    }
    const QSet<QString> stay{t.Path("big/s7/inner/f3"), t.Path("big/s7/inner"), t.Path("big/s7"),
                             t.Path("big/s31"), t.Path("big")};
    for (const FSCleanerServer::PlanEntry& entry : plan) {
        const std::string path = entry.path.toStdString();
        if (stay.contains(entry.path)) {
            EXPECT_NE(code.value(entry.path), FSCleaner::REMOVED) << path;
            EXPECT_TRUE(Exists(entry.path)) << path;
        } else {
            EXPECT_EQ(code.value(entry.path), FSCleaner::REMOVED) << path;
            EXPECT_FALSE(Exists(entry.path)) << path;
        }
    }
    EXPECT_EQ(code.value(t.Path("big/s7/inner/f3")), FSCleaner::REFUSED);
    EXPECT_EQ(code.value(t.Path("big/s31")), FSCleaner::NOT_EMPTY);
    EXPECT_EQ(t.Read("big/s7/inner/f3"), "saved since");
    EXPECT_EQ(t.Read("big/s31/kept"), "never planned");
    EXPECT_EQ(QDir(t.Path("big")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System),
              QStringList({"s31", "s7"}));
    EXPECT_FLOAT_EQ(Server().GetProgress(context.name), 1.0f);
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
    for (const QString& path : planned) {
        gone += Exists(path) ? 0 : 1;
    }
    EXPECT_GT(gone, 0);
    EXPECT_LT(gone, planned.size());
    // Nothing goes after the release.
    QThread::msleep(50);
    int goneLater = 0;
    for (const QString& path : planned) {
        goneLater += Exists(path) ? 0 : 1;
    }
    EXPECT_EQ(goneLater, gone);
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
    CheckReported(plannedA, resultsA);
    ASSERT_EQ(resultsB.size(), plannedB.size());
    CheckReported(plannedB, resultsB);
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
    CheckReported(planned, results.mid(0, planned.size()));
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
