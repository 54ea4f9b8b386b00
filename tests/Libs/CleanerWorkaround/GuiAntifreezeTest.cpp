#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <thread>
#include <vector>

#include "CleanerWorkaround/GuiAntifreeze.h"

using Varnex::Util::GuiAntifreeze;
using namespace std::chrono_literals;

namespace {

const QEvent::Type probeEvent = static_cast<QEvent::Type>(QEvent::User + 17);

// Counts how deep ForceUnfreeze() calls nest inside event delivery: each probe
// event posts the next one and then asks for another turn of the event loop.
class ReentryProbe : public QObject {
public:
    int delivered = 0;
    int depth = 0;
    int maxDepth = 0;
    int toPost = 0;

protected:
    bool event(QEvent* e) override {
        if (e->type() != probeEvent) {
            return QObject::event(e);
        }
        ++delivered;
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        if (toPost > 0) {
            --toPost;
            QCoreApplication::postEvent(this, new QEvent(probeEvent));
        }
        GuiAntifreeze::ForceUnfreeze();
        --depth;
        return true;
    }
};

// An event dispatcher that only records how it was asked to run and delivers
// posted events: enough to see which flags ForceUnfreeze() passes.
// The thread deletes its dispatcher when it ends, so the record lives outside.
class RecordingDispatcher : public QAbstractEventDispatcher {
public:
    explicit RecordingDispatcher(std::vector<QEventLoop::ProcessEventsFlags>* calls)
        : m_calls(calls) {}

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override {
        m_calls->push_back(flags);
        QCoreApplication::sendPostedEvents();
        return false;
    }
    bool hasPendingEvents() override { return false; }
    void registerSocketNotifier(QSocketNotifier*) override {}
    void unregisterSocketNotifier(QSocketNotifier*) override {}
    void registerTimer(int, int, Qt::TimerType, QObject*) override {}
    bool unregisterTimer(int) override { return true; }
    bool unregisterTimers(QObject*) override { return true; }
    QList<TimerInfo> registeredTimers(QObject*) const override { return {}; }
    int remainingTime(int) override { return -1; }
    void wakeUp() override {}
    void interrupt() override {}
    void flush() override {}

private:
    std::vector<QEventLoop::ProcessEventsFlags>* m_calls;
};

// Counts the deliveries of posted probe events.
class Counter : public QObject {
public:
    int delivered = 0;

protected:
    bool event(QEvent* e) override {
        if (e->type() == probeEvent) {
            ++delivered;
            return true;
        }
        return QObject::event(e);
    }
};

}  // namespace

TEST(GuiAntifreeze, RunsPostedEventsAndMovesTheUpdatePoint) {
    Counter counter;
    QCoreApplication::postEvent(&counter, new QEvent(probeEvent));
    QCoreApplication::postEvent(&counter, new QEvent(probeEvent));
    const auto before = GuiAntifreeze::Clock::now();
    GuiAntifreeze::SetLastUpdatePoint(before - 1s);
    GuiAntifreeze::ForceUnfreeze();  // posted events are delivered in one turn
    EXPECT_EQ(counter.delivered, 2);
    EXPECT_GE(GuiAntifreeze::GetLastUpdatePoint(), before);
    EXPECT_FALSE(GuiAntifreeze::IsUnfreezing());
}

TEST(GuiAntifreeze, NestedCallReturnsAtOnce) {
    ReentryProbe probe;
    probe.toPost = 3;
    QCoreApplication::postEvent(&probe, new QEvent(probeEvent));
    // Only ForceUnfreeze() runs the loop here, so every delivery happens inside
    // one; a handler's own call must not deliver the event it just posted.
    for (int turn = 0; turn < 100 && probe.delivered < 4; ++turn) {
        GuiAntifreeze::ForceUnfreeze();
    }
    EXPECT_EQ(probe.delivered, 4);
    EXPECT_EQ(probe.maxDepth, 1) << "ForceUnfreeze ran the event loop inside itself";
    EXPECT_FALSE(GuiAntifreeze::IsUnfreezing());
}

TEST(GuiAntifreeze, LeavesUserInputOut) {
    std::vector<QEventLoop::ProcessEventsFlags> calls;
    // A thread of its own, whose event dispatcher only records how it is run.
    std::thread worker([&calls] {
        QThread::currentThread()->setEventDispatcher(new RecordingDispatcher(&calls));
        GuiAntifreeze::ForceUnfreeze();
    });
    worker.join();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].testFlag(QEventLoop::ExcludeUserInputEvents));
    EXPECT_FALSE(calls[0].testFlag(QEventLoop::WaitForMoreEvents));
}

TEST(GuiAntifreeze, IntervalCheck) {
    GuiAntifreeze antifreeze(20);
    EXPECT_EQ(antifreeze.GetInterval(), 20);
    GuiAntifreeze::SetLastUpdatePoint(GuiAntifreeze::Clock::now() + 1h);
    EXPECT_FALSE(antifreeze.IsDue());
    EXPECT_FALSE(antifreeze.UnfreezeIfDue());
    GuiAntifreeze::SetLastUpdatePoint(GuiAntifreeze::Clock::now() - 21ms);
    EXPECT_TRUE(antifreeze.IsDue());
    const auto before = GuiAntifreeze::Clock::now();
    EXPECT_TRUE(antifreeze.UnfreezeIfDue());
    EXPECT_GE(GuiAntifreeze::GetLastUpdatePoint(), before);
    EXPECT_FALSE(antifreeze.IsDue() && GuiAntifreeze::GetLastUpdatePoint() < before);
}

TEST(GuiAntifreeze, BatchScopeSetsAndRestoresTheSharedGuard) {
    ASSERT_FALSE(GuiAntifreeze::IsRecursionGuardSet());
    GuiAntifreeze::SetLastUpdatePoint(GuiAntifreeze::Clock::now() - 1h);
    {
        GuiAntifreeze::BatchScope outer;
        EXPECT_TRUE(GuiAntifreeze::m_recursiveGuard);
        EXPECT_LT(GuiAntifreeze::Clock::now() - GuiAntifreeze::GetLastUpdatePoint(), 1h);
        {
            GuiAntifreeze::BatchScope inner;
            EXPECT_TRUE(GuiAntifreeze::IsRecursionGuardSet());
        }
        EXPECT_TRUE(GuiAntifreeze::IsRecursionGuardSet());  // still the outer batch's
        // The guard does not stop ForceUnfreeze: batches call it with the guard set.
        Counter counter;
        QCoreApplication::postEvent(&counter, new QEvent(probeEvent));
        GuiAntifreeze::ForceUnfreeze();
        EXPECT_EQ(counter.delivered, 1);
    }
    EXPECT_FALSE(GuiAntifreeze::IsRecursionGuardSet());
}
