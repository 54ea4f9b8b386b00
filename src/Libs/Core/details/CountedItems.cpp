#include "Core/details/CountedItems.h"

#include <cstdint>

namespace Varnex::Cleaner::Details {

std::size_t CountedItems::ShardOf(const AbstractGarbage* item) {
    // Items are allocated one by one: the low bits are alignment, the next
    // ones tell neighbours apart.
    const auto bits = reinterpret_cast<std::uintptr_t>(item);
    return ((bits >> 4) ^ (bits >> 12)) % shardCount;
}

bool CountedItems::Insert(const AbstractGarbage* item) {
    QSet<const AbstractGarbage*>& shard = m_shards[ShardOf(item)];
    const int before = shard.size();
    shard.insert(item);
    return shard.size() != before;
}

bool CountedItems::Contains(const AbstractGarbage* item) const {
    return m_shards[ShardOf(item)].contains(item);
}

void CountedItems::Clear() {
    for (QSet<const AbstractGarbage*>& shard : m_shards) {
        shard.clear();
    }
}

}  // namespace Varnex::Cleaner::Details
