// The background producers scopes scan with: a tool's output line by line (real
// child processes) and a task on a worker thread, read the way a scope polls
// them (IsWorking() first, then the batch).
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Core/details/ProcessLineProducer.h"
#include "Core/details/Producer.h"
#include "Core/details/WorkerProducer.h"
#include "common/LogCapture.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner::Details;
using Varnex::Test::LogCapture;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 60000;

// Polls like a scope: a poll that saw the producer not working and took
// nothing is the last one.
template <class Record>
std::vector<Record> Drain(BatchProducer<Record>& producer) {
    std::vector<Record> all;
    bool over = false;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const bool working = producer.IsWorking();
            const std::size_t n = producer.TakeBatch();
            all.insert(all.end(), producer.GetBatch().begin(), producer.GetBatch().end());
            producer.ReleaseBatch();
            over = !working && n == 0;
            return over;
        },
        waitMs));
    return all;
}

void RunShell(ProcessLineProducer& producer, const QString& script) {
    producer.SetCommand("sh", {"-c", script});
    ASSERT_TRUE(producer.Start());
}

std::vector<QByteArray> Lines(std::initializer_list<const char*> texts) {
    std::vector<QByteArray> lines;
    for (const char* text : texts) {
        lines.emplace_back(text);
    }
    return lines;
}

// Gone, or a zombie of someone else (this machine's init may not reap).
bool ProcessIsGone(const QByteArray& pid) {
    QFile stat("/proc/" + pid + "/stat");
    if (!stat.open(QIODevice::ReadOnly)) {
        return true;
    }
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) == "Z";
}

}  // namespace

TEST(ProcessLineProducer, SplitsLinesAcrossReadsAndKeepsTheUnfinishedTail) {
    ProcessLineProducer producer;
    // Lines cut across writes, an empty line, bytes that are not UTF-8, ": "
    // in a name, and a last line with no line break.
    RunShell(producer,
             "printf 'a\\nb'; sleep 0.2; printf 'c\\n\\n/x/y\\377: FOUND\\n'; sleep 0.2; "
             "printf 'last'");
    const std::vector<QByteArray> expected{"a", "bc", "", "/x/y\xff: FOUND", "last"};
    EXPECT_EQ(Drain(producer), expected);
    EXPECT_FALSE(producer.HasFailed());
    EXPECT_FALSE(producer.WasStopped());
    EXPECT_EQ(producer.GetExitCode(), 0);
}

TEST(ProcessLineProducer, ExitCodesSignalsAndMissingToolsDecideFailure) {
    struct Case {
        const char* script;
        std::set<int> accepted;
        bool failed;
        int exitCode;
    };
    const Case cases[] = {
        {"echo out; echo why >&2; exit 2", {0}, true, 2},
        {"echo out; exit 1", {0, 1}, false, 1},  // clamscan's "found"
        {"echo out; kill -9 $$", {0}, true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        LogCapture log;
        ProcessLineProducer producer;
        producer.SetAcceptedExitCodes(c.accepted);
        RunShell(producer, c.script);
        EXPECT_EQ(Drain(producer), Lines({"out"}));  // what it printed before stays
        EXPECT_EQ(producer.HasFailed(), c.failed);
        EXPECT_EQ(producer.GetExitCode(), c.exitCode);
        EXPECT_EQ(log.Count(google::WARNING, "sh -c"), c.failed ? 1 : 0) << log.Dump();
        if (c.exitCode == 2) {
            EXPECT_TRUE(log.Contains(google::WARNING, "exited with code 2: why"));
        }
    }

    LogCapture log;
    ProcessLineProducer missing;
    missing.SetCommand("no-such-tool-klarvik", {});
    EXPECT_FALSE(missing.Start());
    EXPECT_FALSE(missing.IsWorking());
    EXPECT_TRUE(missing.HasFailed());
    EXPECT_TRUE(log.Contains(google::WARNING, "Can't start no-such-tool-klarvik"));
    missing.SetCommand(QString::fromUtf8("sh\0x", 4), {});  // cannot cross as bytes
    EXPECT_FALSE(missing.Start());
}

TEST(ProcessLineProducer, DropsOverlongLinesWholeWithOneWarning) {
    LogCapture log;
    ProcessLineProducer producer;
    // Two lines of 1.5 MiB (many reads each), one right at the limit.
    RunShell(producer,
             "long() { head -c $1 /dev/zero | tr '\\0' x; }; "
             "long 1572864; echo; echo ok; long 1048576; echo; long 1572864; echo; echo end");
    const std::vector<QByteArray> lines = Drain(producer);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "ok");
    EXPECT_EQ(lines[1], QByteArray(1048576, 'x'));
    EXPECT_EQ(lines[2], "end");
    EXPECT_EQ(log.Count(google::WARNING, "Dropping a line longer than 1048576 bytes"), 1);
    EXPECT_FALSE(producer.HasFailed());
}

TEST(ProcessLineProducer, StopAndTimeLimitKillTheWholeGroupAndLeaveNoZombie) {
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stop" : "time limit");
        LogCapture log;
        ProcessLineProducer producer;
        producer.SetTimeLimit(stop ? 0 : 500);
        RunShell(producer, "sleep 1000 & echo $!; echo $$; wait");
        std::vector<QByteArray> pids;
        ASSERT_TRUE(WaitUntil(
            [&] {
                producer.TakeBatch();
                pids.insert(pids.end(), producer.GetBatch().begin(), producer.GetBatch().end());
                return pids.size() == 2;
            },
            waitMs));
        if (stop) {
            producer.Stop();
        }
        producer.Wait();
        EXPECT_FALSE(producer.IsWorking());
        EXPECT_EQ(producer.WasStopped(), stop);
        EXPECT_EQ(producer.HasFailed(), !stop);  // a stop is not a failure
        EXPECT_EQ(log.Contains(google::ERROR, "still running after 500 ms"), !stop);
        // The tool was reaped (no zombie of ours); its helper was killed.
        EXPECT_EQ(::kill(pids[1].toInt(), 0), -1);
        EXPECT_TRUE(WaitUntil([&] { return ProcessIsGone(pids[0]); }, waitMs));
    }
}

TEST(ProcessLineProducer, RestartStopRightAfterStartAndDestroyWhileRunning) {
    ProcessLineProducer producer;
    RunShell(producer, "echo old; sleep 1000");
    producer.Stop();                 // right after the start: must not be lost
    RunShell(producer, "echo new");  // joins the old run first
    EXPECT_EQ(Drain(producer), Lines({"new"}));
    EXPECT_FALSE(producer.WasStopped());

    // A tool printing far more than the queue holds, nobody taking: Wait()
    // must not deadlock, and nothing is lost.
    RunShell(producer, "yes 0123456789012345678901234567890123456789 | head -n 500000");
    producer.Wait();
    EXPECT_EQ(Drain(producer).size(), 500000u);

    auto running = std::make_unique<ProcessLineProducer>();
    RunShell(*running, "sleep 1000");
    running.reset();  // stops and reaps; a hang here fails the test by its time limit
}

TEST(WorkerProducer, EveryRecordArrivesThroughASmallQueue) {
    WorkerProducer<int> producer("count", 16);
    producer.SetTask([](WorkerProducer<int>::Sink& sink) {
        for (int i = 0; i < 2000; ++i) {
            if (!sink.Add(i)) {
                return false;
            }
        }
        return true;
    });
    for (int run = 0; run < 3; ++run) {
        ASSERT_TRUE(producer.Start());
        const std::vector<int> all = Drain(producer);
        ASSERT_EQ(all.size(), 2000u);
        EXPECT_EQ(all.back(), 1999);
        EXPECT_FALSE(producer.HasFailed());
    }
}

TEST(WorkerProducer, AStopRightAfterStartIsNeverLost) {
    WorkerProducer<int> producer("endless");
    producer.SetTask([](WorkerProducer<int>::Sink& sink) {
        while (!sink.IsStopped()) {
            sink.Add(1);
        }
        return false;
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(producer.Start());
        producer.Stop();
        producer.Wait();  // would never return if the worker cleared the stop
        ASSERT_TRUE(producer.WasStopped());
        ASSERT_FALSE(producer.HasFailed());
        producer.Clear();
    }
}

TEST(WorkerProducer, AThrowingOrFailingTaskFailsTheProducerKeepingItsRecords) {
    LogCapture log;
    WorkerProducer<int> producer("query");
    producer.SetTask([](WorkerProducer<int>::Sink& sink) -> bool {
        sink.Add(1);
        throw std::runtime_error("database disk image is malformed");
    });
    ASSERT_TRUE(producer.Start());
    EXPECT_EQ(Drain(producer), std::vector<int>{1});
    EXPECT_TRUE(producer.HasFailed());
    EXPECT_TRUE(log.Contains(google::ERROR, "query failed: database disk image is malformed"));

    producer.SetTask([](WorkerProducer<int>::Sink&) { return false; });
    ASSERT_TRUE(producer.Start());
    Drain(producer);
    EXPECT_TRUE(producer.HasFailed());
    EXPECT_FALSE(producer.WasStopped());

    WorkerProducer<int> empty("nothing");
    EXPECT_FALSE(empty.Start());
    EXPECT_TRUE(empty.HasFailed());
}

TEST(WorkerProducer, RestartAndDestructionStopATaskBlockedOnAFullQueue) {
    WorkerProducer<int> producer("blocked", 1);
    int run = 0;
    producer.SetTask([&run, tag = 0](WorkerProducer<int>::Sink& sink) mutable {
        tag = run;
        for (int i = 0; i < 1000; ++i) {
            if (!sink.Add(tag)) {
                return false;
            }
        }
        return true;
    });
    ASSERT_TRUE(producer.Start());
    ASSERT_TRUE(WaitUntil([&] { return producer.TakeBatch() > 0; }, waitMs));
    run = 1;  // the old task is blocked in Add() now
    ASSERT_TRUE(producer.Start());
    const std::vector<int> all = Drain(producer);
    ASSERT_EQ(all.size(), 1000u);
    EXPECT_EQ(std::count(all.begin(), all.end(), 1), 1000);

    auto blocked = std::make_unique<WorkerProducer<int>>("blocked", 1);
    blocked->SetTask([](WorkerProducer<int>::Sink& sink) {
        while (sink.Add(0)) {
        }
        return false;
    });
    ASSERT_TRUE(blocked->Start());
    blocked.reset();  // stops and joins; a hang fails the test by its time limit
}

namespace {

using IntProducer = Producer<std::function<int()>, int>;

// Takes results as an owner polls them: until a take says nothing more comes.
std::vector<int> TakeAll(IntProducer& producer) {
    std::vector<int> all;
    EXPECT_TRUE(WaitUntil([&] { return !producer.TakeResults(&all); }, waitMs));
    return all;
}

}  // namespace

TEST(Producer, TasksAddedWhileTheWorkerEndsAreNeverStrandedNorTheirResultsLost) {
    std::atomic<int> notified{0};
    IntProducer producer([&] { ++notified; }, [](const int& r) { return r % 7 != 0; });
    producer.Start();  // nothing queued: ends at once, notifies once
    producer.Wait();
    EXPECT_EQ(notified.load(), 1);
    EXPECT_TRUE(producer.TakeResults().empty());

    // The second task of each round is added and started while the worker
    // may be leaving after the first: both must come, in order.
    for (int round = 1; round <= 2000; ++round) {
        std::size_t want = 0;
        for (int i = 2 * round; i <= 2 * round + 1; ++i) {
            producer.AddTask([i] { return i; });
            producer.Start();
            want += i % 7 != 0;
        }
        const std::vector<int> results = TakeAll(producer);
        ASSERT_EQ(results.size(), want) << "round " << round;
        ASSERT_TRUE(std::is_sorted(results.begin(), results.end()));
    }
    EXPECT_TRUE(producer.TakeResults().empty());
}

TEST(Producer, AStopRightAfterStartHoldsAndAThrowingTaskIsCountedNotFatal) {
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    std::atomic<int> ran{0};
    IntProducer producer([] {}, [](const int&) { return true; });
    for (int i = 0; i < 100; ++i) {
        producer.AddTask([&, i] {
            ++ran;
            std::lock_guard<std::mutex> wait(gate);
            return i;
        });
    }
    producer.Start();
    producer.RequestStop();
    closed.unlock();
    producer.Wait();
    EXPECT_LE(ran.load(), 1) << "only a task already running when the stop came may finish";
    EXPECT_LE(producer.TakeResults().size(), 1u);

    producer.Clear();
    LogCapture log;
    producer.AddTask([] { return 1; });
    producer.AddTask([]() -> int { throw std::runtime_error("unreadable file"); });
    producer.AddTask([] { return 3; });
    producer.Start();
    EXPECT_EQ(TakeAll(producer), (std::vector<int>{1, 3}));
    EXPECT_EQ(producer.GetFailedTasks(), 1u);
    EXPECT_TRUE(log.Contains(google::ERROR, "unreadable file"));
}
