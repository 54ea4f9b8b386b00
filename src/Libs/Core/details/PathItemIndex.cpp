#include "Core/details/PathItemIndex.h"

namespace Varnex::Cleaner::Details {

bool PathItemIndex::Insert(const QString& path, AbstractGarbage* item) {
    // One look-up a path: scans enter hundreds of thousands.
    const int before = m_items.size();
    AbstractGarbage*& slot = m_items[path];
    if (m_items.size() == before) {
        return false;
    }
    slot = item;
    return true;
}

AbstractGarbage* PathItemIndex::FindNearest(const QString& path) const {
    QString p = path;
    for (;;) {
        if (AbstractGarbage* item = m_items.value(p)) {
            return item;
        }
        const int slash = p.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            return slash == 0 && p.size() > 1 ? m_items.value(QStringLiteral("/")) : nullptr;
        }
        p.truncate(slash);
    }
}

}  // namespace Varnex::Cleaner::Details
