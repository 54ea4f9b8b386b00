#include "Core/ProxyCleaningWatcher.h"

namespace Varnex::Cleaner {

bool ProxyCleaningWatcher::CheckCleanedSize(long long size) {
    // Held for the call: a watcher replaced from inside its own answer lives on until it returns.
    const std::shared_ptr<ICleaningWatcher> target = m_target;
    return !target || target->CheckCleanedSize(size);
}

}  // namespace Varnex::Cleaner
