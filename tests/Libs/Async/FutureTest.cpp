#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QStringList>
#include <atomic>
#include <stdexcept>

#include "Async/Future.h"
#include "common/Gate.h"
#include "common/LogCapture.h"
#include "common/TestEnv.h"

using Varnex::Future;
using Varnex::Test::Gate;
using Varnex::Test::LogCapture;
using Varnex::Test::WaitUntil;

TEST(Future, RunsOnItsOwnThreadAndCanRunAgain) {
    std::atomic<int> runs{0};
    Future<QStringList> future([&runs](const std::function<bool()>&) {
        const int n = ++runs;
        return QStringList{QString::fromUtf8("Caf\xc3\xa9 %1.app").arg(n), "a\nb: c"};
    });
    QSignalSpy spy(&future, &Varnex::AbstractFuture::Ready);
    EXPECT_FALSE(future.IsReady());
    EXPECT_FALSE(future.IsRunning());
    bool ok = true;
    EXPECT_TRUE(future.GetValue(&ok).isEmpty());  // no run: at once, empty
    EXPECT_FALSE(ok);

    ASSERT_TRUE(future.Prepare());
    EXPECT_EQ(future.GetValue(&ok),
              (QStringList{QString::fromUtf8("Caf\xc3\xa9 1.app"), "a\nb: c"}));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(future.IsReady());
    EXPECT_FALSE(future.IsRunning());
    EXPECT_FALSE(future.IsFailed());
    ASSERT_TRUE(WaitUntil([&] { return spy.count() == 1; }));

    ASSERT_TRUE(future.Prepare());
    EXPECT_EQ(future.GetValue().value(0), QString::fromUtf8("Caf\xc3\xa9 2.app"));
    ASSERT_TRUE(WaitUntil([&] { return spy.count() == 2; }));

    future.Reset();
    EXPECT_TRUE(future.IsReady());  // the flags stay; the value goes
    EXPECT_TRUE(future.GetValue().isEmpty());
}

TEST(Future, PrepareWhileRunningStartsNothing) {
    Gate gate;
    std::atomic<int> runs{0};
    Future<int> future([&](const std::function<bool()>&) {
        ++runs;
        gate.WaitOpen();
        return 7;
    });
    ASSERT_TRUE(future.Prepare());
    EXPECT_TRUE(future.IsRunning());
    EXPECT_FALSE(future.Prepare());
    gate.Open();
    EXPECT_EQ(future.GetValue(), 7);
    EXPECT_EQ(runs.load(), 1);

    Future<int> empty(nullptr);
    EXPECT_FALSE(empty.Prepare());
    EXPECT_FALSE(empty.IsRunning());
}

TEST(Future, ThrowingProducerEndsTheRunFailed) {
    LogCapture log;
    Future<QStringList> future(
        [](const std::function<bool()>&) -> QStringList { throw std::runtime_error("disk gone"); });
    QSignalSpy spy(&future, &Varnex::AbstractFuture::Ready);
    ASSERT_TRUE(future.Prepare());
    ASSERT_TRUE(WaitUntil([&] { return spy.count() == 1; }));
    EXPECT_TRUE(future.IsFailed());
    EXPECT_FALSE(future.IsReady());
    EXPECT_FALSE(future.IsRunning());
    bool ok = true;
    EXPECT_TRUE(future.GetValue(&ok).isEmpty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.Contains(google::ERROR, "disk gone", "src/Libs/Async/AbstractFuture"))
        << log.Dump();

    // Not stuck: the same future runs again.
    Future<int> other([](const std::function<bool()>&) -> int { throw 42; });
    ASSERT_TRUE(other.Prepare());
    other.Wait();
    EXPECT_TRUE(other.IsFailed());
    EXPECT_TRUE(log.Contains(google::ERROR, "unknown exception")) << log.Dump();
    EXPECT_TRUE(other.Prepare());
    other.Wait();
    EXPECT_TRUE(other.IsFailed());
}

TEST(Future, CanceledRunIsNotReady) {
    std::atomic<bool> started{false};
    std::atomic<bool> sawStop{false};
    Future<QStringList> future([&](const std::function<bool()>& stop) {
        started = true;
        QStringList partial{"one"};
        while (!stop()) {
            std::this_thread::yield();
        }
        sawStop = true;
        return partial;
    });
    ASSERT_TRUE(future.Prepare());
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    future.Cancel();
    bool ok = true;
    EXPECT_TRUE(future.GetValue(&ok).isEmpty());  // the partial list is not handed out
    EXPECT_FALSE(ok);
    EXPECT_TRUE(sawStop.load());
    EXPECT_TRUE(future.IsCanceled());
    EXPECT_FALSE(future.IsReady());
    EXPECT_FALSE(future.IsFailed());
}

TEST(Future, WaitFromItsOwnRunDoesNotDeadlock) {
    LogCapture log;
    Future<int> future([](const std::function<bool()>&) { return 1; });
    std::atomic<bool> called{false};
    QObject::connect(
        &future, &Varnex::AbstractFuture::Ready, &future,
        [&] {
            future.Wait();  // on the run's thread
            called = true;
        },
        Qt::DirectConnection);
    ASSERT_TRUE(future.Prepare());
    future.Wait();
    EXPECT_TRUE(called.load());
    EXPECT_TRUE(log.Contains(google::ERROR, "cannot wait for itself")) << log.Dump();
}

TEST(Future, DestructionWaitsForTheRun) {
    Gate gate;
    std::atomic<bool> finished{false};
    std::atomic<bool> started{false};
    std::thread opener;
    {
        Future<int> future([&](const std::function<bool()>&) {
            started = true;
            gate.WaitOpen();
            finished = true;
            return 1;
        });
        ASSERT_TRUE(future.Prepare());
        ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
        opener = std::thread([&] { gate.Open(); });
    }
    EXPECT_TRUE(finished.load());
    opener.join();
}
