#pragma once

#include <QTimerEvent>
#include <deque>

#include "Core/AbstractGarbage.h"
#include "Core/AbstractGarbageScope.h"

namespace Varnex::Test {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::GarbageList;

// A folder-like item: children, a size kept as the sum of its dirty children.
class TestItem : public AbstractGarbage {
public:
    TestItem(const QString& name, long long size, QObject* parent = nullptr)
        : AbstractGarbage(parent), m_name(name), m_size(size) {}

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return "/test/" + m_name; }
    long long GetSize() const override { return m_size; }
    bool AreAdminRightsRequired() const override { return false; }
    GarbageList GetChildren() const override { return m_children; }
    void SetSize(long long size) override {
        const long long old = m_size;
        m_size = size;
        SizeStored(old, size);
        NotifyChanged();
    }
    void UpdateSize() override {
        AbstractGarbage::UpdateSize();
        if (AbstractGarbage* parent = GetParent()) {
            parent->UpdateSize();
        }
    }
    void OnChildReady(AbstractGarbage*) override { ++m_readyChildren; }

    TestItem* Add(TestItem* child) {
        child->setParent(this);
        m_children.append(child);
        ChildListChanged();
        if (!child->IsClean()) {
            UpdateSizeAfterChildAdded(child->GetSize());
        }
        return child;
    }
    TestItem* Add(const QString& name, long long size) { return Add(new TestItem(name, size)); }

    int m_readyChildren = 0;

private:
    QString m_name;
    long long m_size;
    GarbageList m_children;
};

// A scope whose worker the test drives by hand: items queued with Feed() are
// inserted as roots on the next poll; the worker stays busy until Finish().
class TestScope : public AbstractGarbageScope {
public:
    using AbstractGarbageScope::AbstractGarbageScope;
    ~TestScope() override { DeleteRoots(); }

    // Worker control.
    void Feed(TestItem* root) { m_pending.push_back(root); }
    void SetWorkerBusy(bool busy) { m_workerBusy = busy; }
    bool StopRequested() const { return m_stopRequested; }
    int ServerCleansPerPoll = 1;
    bool ServerBusyAfterStop = true;

    // Test access to the protected helpers.
    void Insert(TestItem* root) {
        emit ItemsAboutToBeInserted(nullptr, 1);
        AddRoot(root);
        emit ItemsInserted(nullptr, 1);
        m_totalItems += 1;
        m_totalSize += root->GetSize();
    }
    bool ScanningTimerRunning() const { return m_scanningTimer != 0; }
    bool CleaningTimerRunning() const { return m_cleaningTimer != 0; }

    void Reset() override {
        EndRunsBeforeReset();
        emit BeforeClear();
        const bool blocked = blockSignals(true);
        m_totalItems = 0;
        m_state = IDLE;
        DeleteRoots();
        qDeleteAll(m_pending);
        m_pending.clear();
        m_totalSize = 0;
        m_scanningStartTime = QDateTime();
        m_scanningStopTime = QDateTime();
        ResetCleaning();
        m_totalCleanedItems = 0;
        m_totalCleanedSize = 0;
        blockSignals(blocked);
        emit AfterClear();
    }
    void ResetCleaning() override {
        m_lastCleanedItems = 0;
        m_lastCleanedSize = 0;
        m_plan.clear();
    }
    bool IsCleaningPossible() const override { return GetSelectedSize() > 0; }

    void DoStartScanning() override {
        if (IsScanning()) {
            return;
        }
        Reset();
        m_stopRequested = false;
        m_state = SCANNING;
        StartScanningTimer();
        emit ScanningStarted(this);
    }
    void DoStopScanning() override {
        if (!IsScanning()) {
            return;
        }
        if (!m_workerBusy) {
            FinishScanning(CANCELED);
            return;
        }
        m_state = STOPPING_SCANNING;
        m_stopRequested = true;
    }
    bool DoStartCleaning() override {
        if (IsCleaning()) {
            return false;
        }
        ResetCleaning();
        for (AbstractGarbage* root : m_roots) {
            Plan(root);
        }
        if (m_plan.empty()) {
            return false;
        }
        m_state = CLEANING;
        StartCleaningTimer();
        emit CleaningStarted(this);
        return true;
    }
    void DoStopCleaning() override {
        if (!IsCleaning()) {
            return;
        }
        if (m_cleaningTimer == 0) {
            FinishCleaning(CANCELED);
            return;
        }
        m_state = STOPPING_CLEANING;
    }

protected:
    void timerEvent(QTimerEvent* event) override {
        if (event->timerId() == m_scanningTimer && IsScanning()) {
            PollScanning();
        } else if (event->timerId() == m_cleaningTimer && IsCleaning()) {
            PollCleaning();
        }
    }

private:
    void Plan(AbstractGarbage* item) {
        for (AbstractGarbage* child : item->GetChildren()) {
            Plan(child);
        }
        if (item->GetChildren().isEmpty() && item->ShouldBeRemoved()) {
            m_plan.push_back(item);
        }
    }
    void PollScanning() {
        if (!m_pending.empty()) {
            while (!m_pending.empty()) {
                Insert(m_pending.front());
                m_pending.pop_front();
            }
            return;
        }
        if (!m_workerBusy) {
            FinishScanning(m_state == STOPPING_SCANNING ? CANCELED : DONE);
        }
    }
    void PollCleaning() {
        long long cleaned = 0;
        const bool stopping = m_state == STOPPING_CLEANING;
        for (int i = 0; i < ServerCleansPerPoll && !m_plan.empty() && !stopping; ++i) {
            AbstractGarbage* item = m_plan.front();
            m_plan.pop_front();
            const long long size = item->GetSize();
            ++m_totalCleanedItems;
            ++m_lastCleanedItems;
            m_totalCleanedSize += size;
            m_lastCleanedSize += size;
            cleaned += size;
            item->SetClean(true);
        }
        CheckCleanedSize(cleaned);
        if (m_plan.empty() || m_state == STOPPING_CLEANING) {
            FinishCleaning(m_state == STOPPING_CLEANING ? CANCELED : DONE);
        }
    }

    std::deque<TestItem*> m_pending;
    std::deque<AbstractGarbage*> m_plan;
    bool m_workerBusy = true;
    bool m_stopRequested = false;
};

}  // namespace Varnex::Test
