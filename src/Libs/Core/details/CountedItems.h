#pragma once

#include <QSet>
#include <array>

namespace Varnex::Cleaner {
class AbstractGarbage;
}

namespace Varnex::Cleaner::Details {

// The items a cleaning run has counted as cleaned, each once.
//
// A run of a million items counts a million: one table that size is either
// allocated at once (tens of milliseconds of fresh pages in one turn of the
// event loop) or rehashed whole each time it doubles. Here the items are
// spread over many small tables, each of which grows on its own in steps too
// small to notice.
//
// Threads: the scope's only.
class CountedItems {
public:
    // True when `item` was not counted yet (it is now).
    bool Insert(const AbstractGarbage* item);
    bool Contains(const AbstractGarbage* item) const;
    void Clear();

private:
    static constexpr std::size_t shardCount = 256;
    static std::size_t ShardOf(const AbstractGarbage* item);

    std::array<QSet<const AbstractGarbage*>, shardCount> m_shards;
};

}  // namespace Varnex::Cleaner::Details
