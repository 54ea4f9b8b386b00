#include "Core/details/ChildReadiness.h"

namespace Varnex::Cleaner::Details {

bool ChildReadiness::Require(int required, int kept) {
    m_required = required;
    m_kept = kept;
    return required == 0 || m_ready == required;
}

bool ChildReadiness::Count() {
    ++m_ready;
    return m_ready == m_required;
}

}  // namespace Varnex::Cleaner::Details
