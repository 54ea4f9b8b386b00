#pragma once

#include <QString>

#include "Core/details/CleaningRunScope.h"

namespace Varnex::Cleaner::Details {

// A run of one context of the removal server, as a cleaning run: the plan is
// made beforehand on the context; Start() starts it, the results are the
// server's. A run that was let go (stopped for a reset) may still finish its
// current path in the background: what it reports then belongs to no run and
// is dropped when the next one starts, and a new start is refused while the
// server still works on the old one.
class ServerRun : public BatchProducer<CleaningResult> {
public:
    explicit ServerRun(QString context) : m_context(std::move(context)) {}

    // Drops what a run that was let go reported after it; false (and logged)
    // while that run still works.
    bool IsFree() const;

    bool Start() override;
    bool IsWorking() const override;
    bool HasFailed() const override;
    bool WasStopped() const override;
    float GetProgress() const override;
    void Stop() override;
    void Wait() override;

protected:
    Batch DoTakeBatch() override;
    void DoClear() override;

private:
    QString m_context;
};

}  // namespace Varnex::Cleaner::Details
