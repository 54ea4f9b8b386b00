#include <gtest/gtest.h>

#include <QString>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Async/CallChain.h"
#include "common/Gate.h"
#include "common/LogCapture.h"
#include "common/TestEnv.h"

using Varnex::Test::Gate;
using Varnex::Test::LogCapture;
using Varnex::Test::WaitUntil;
using Varnex::Util::CallChain;
using Varnex::Util::CallChainBase;

namespace {

class Journal {
public:
    void Add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back(entry);
    }
    std::vector<std::string> Entries() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

}  // namespace

TEST(CallChain, StepsRunInOrderAndSeeWhatEarlierStepsWrote) {
    CallChain<void> chain;
    EXPECT_FALSE(chain.IsReady());
    EXPECT_FALSE(chain.IsRunning());
    chain.Wait();  // idle: at once

    Journal journal;
    // Plain data, no lock: the order of the steps is what orders the accesses.
    QString libraryPath;
    std::thread::id prepareThread;
    std::thread::id scanThread;
    const std::thread::id mainThread = std::this_thread::get_id();
    chain.Append(CallChainBase::LAUNCH_DIRECT, [&] {
        prepareThread = std::this_thread::get_id();
        libraryPath = QString::fromUtf8("/Users/\xc3\xa9l\xc3\xa8ve/Pictures/Photo Library\n: x");
        journal.Add("prepare");
    });
    chain.Append(CallChainBase::LAUNCH_QUEUED, [&] { journal.Add("queued"); });
    chain.Append(CallChainBase::LAUNCH_OWN_THREAD, [&] {
        scanThread = std::this_thread::get_id();
        journal.Add(("scan " + libraryPath).toStdString());
    });
    chain.Start(CallChainBase::LAUNCH_DIRECT, [&] { journal.Add("finish"); });
    EXPECT_FALSE(chain.HasPendingSteps());
    chain.Wait();
    chain.Start(CallChainBase::LAUNCH_DIRECT, [&] { journal.Add("second start"); });
    chain.Wait();

    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{
                                     "prepare",
                                     "scan /Users/\xc3\xa9l\xc3\xa8ve/Pictures/Photo Library\n: x",
                                     "finish",
                                     "queued",  // behind the rest of its run
                                     "second start",
                                 }));
    EXPECT_NE(prepareThread, mainThread);
    EXPECT_NE(scanThread, prepareThread);
    EXPECT_NE(scanThread, mainThread);
    EXPECT_TRUE(chain.IsReady());
    EXPECT_FALSE(chain.IsRunning());
    EXPECT_FALSE(chain.IsFailed());
}

TEST(CallChain, RunningAndReadyFlags) {
    CallChain<void> chain;
    Gate gate;
    std::atomic<bool> entered{false};
    chain.Start(CallChainBase::LAUNCH_DIRECT, [&] {
        entered = true;
        gate.WaitOpen();
    });
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    EXPECT_TRUE(chain.IsRunning());
    EXPECT_FALSE(chain.IsReady());
    gate.Open();
    chain.Wait();
    EXPECT_FALSE(chain.IsRunning());
    EXPECT_TRUE(chain.IsReady());
}

TEST(CallChain, FailingStepStopsItsRun) {
    LogCapture log;
    CallChain<void> chain;
    Journal journal;
    chain.Append(CallChainBase::LAUNCH_DIRECT, [&] { journal.Add("prepare"); });
    chain.Append(CallChainBase::LAUNCH_OWN_THREAD,
                 [&] { throw std::runtime_error("library database locked"); });
    chain.Start(CallChainBase::LAUNCH_DIRECT, [&] { journal.Add("never"); });
    chain.Wait();
    EXPECT_EQ(journal.Entries(), std::vector<std::string>{"prepare"});
    EXPECT_TRUE(chain.IsFailed());
    EXPECT_FALSE(chain.IsReady());
    EXPECT_FALSE(chain.IsRunning());
    EXPECT_TRUE(
        log.Contains(google::ERROR, "library database locked", "src/Libs/Async/CallChainBase"))
        << log.Dump();

    // The next start from idle begins afresh.
    chain.Start(CallChainBase::LAUNCH_DIRECT, [&] { journal.Add("again"); });
    chain.Wait();
    EXPECT_TRUE(chain.IsReady());
    EXPECT_FALSE(chain.IsFailed());
}

TEST(CallChain, WaitFromAStepDoesNotDeadlock) {
    LogCapture log;
    CallChain<void> chain;
    std::atomic<bool> after{false};
    chain.Start(CallChainBase::LAUNCH_DIRECT, [&] {
        chain.Wait();
        after = true;
    });
    chain.Wait();
    EXPECT_TRUE(after.load());
    EXPECT_TRUE(log.Contains(google::ERROR, "cannot wait for itself")) << log.Dump();
}

TEST(CallChain, DestructionWaitsForStartedSteps) {
    Gate gate;
    std::atomic<bool> entered{false};
    std::atomic<int> done{0};
    std::thread opener;
    {
        CallChain<int> chain;
        chain.Append(CallChainBase::LAUNCH_DIRECT, [&] {
            entered = true;
            gate.WaitOpen();
            chain.SetContext(41);
        });
        chain.Start(CallChainBase::LAUNCH_OWN_THREAD, [&] {
            chain.SetContext(chain.GetContext() + 1);
            ++done;
        });
        ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
        opener = std::thread([&] { gate.Open(); });
    }
    EXPECT_EQ(done.load(), 1);
    opener.join();
}
