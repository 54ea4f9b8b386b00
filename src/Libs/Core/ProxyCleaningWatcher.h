#pragma once

#include <memory>

#include "Core/ICleaningWatcher.h"

namespace Varnex::Cleaner {

// The one watcher every scope of the facade holds: it asks the application's
// watcher, which the application may install or replace at any time. With
// none, a cleaning goes on.
//
// Threads: the scopes' (main) thread.
class ProxyCleaningWatcher : public ICleaningWatcher {
public:
    void SetTarget(std::shared_ptr<ICleaningWatcher> target) { m_target = std::move(target); }
    bool CheckCleanedSize(long long size) override;

private:
    std::shared_ptr<ICleaningWatcher> m_target;
};

}  // namespace Varnex::Cleaner
