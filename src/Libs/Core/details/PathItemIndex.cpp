#include "Core/details/PathItemIndex.h"

#include <QHash>
#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

#include "CleanerCommon/Paths.h"

namespace Varnex::Cleaner::Details {

namespace {

const std::size_t firstCapacity = 64;
const std::uint32_t emptySlot = 0;
const std::uint32_t removedSlot = 1;
// Slots moved to the new table per insertion. The new table is twice the old
// one, so it takes 3/4 of the old capacity in insertions to crowd it; the old
// table is empty after 1/8.
const std::size_t migrationStep = 8;

// Full and removed slots stay below 3/4 of the table.
bool Crowded(std::size_t used, std::size_t capacity) {
    return 4 * (used + 1) > 3 * capacity;
}

}  // namespace

void PathItemIndex::Table::Free::operator()(void* p) const {
    std::free(p);
}

PathItemIndex::PathItemIndex() = default;
PathItemIndex::~PathItemIndex() = default;

std::uint32_t PathItemIndex::HashOf(const QString& path) {
    const std::uint32_t h = PathHash(path);
    return h > removedSlot ? h : h + 2;
}

bool PathItemIndex::Allocate(Table* table, std::size_t capacity) {
    // calloc: large blocks come as zero pages, touched only when filled.
    auto* hashes = static_cast<std::uint32_t*>(std::calloc(capacity, sizeof(std::uint32_t)));
    auto* items = static_cast<AbstractGarbage**>(std::calloc(capacity, sizeof(AbstractGarbage*)));
    if (!hashes || !items) {
        std::free(hashes);
        std::free(items);
        return false;
    }
    table->hashes.reset(hashes);
    table->items.reset(items);
    table->capacity = capacity;
    table->used = 0;
    return true;
}

std::size_t PathItemIndex::Locate(const Table& table, const QString& path, std::uint32_t hash) {
    if (table.capacity == 0) {
        return 0;
    }
    const std::size_t mask = table.capacity - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const std::uint32_t h = table.hashes[i];
        if (h == emptySlot) {
            return table.capacity;
        }
        if (h == hash && table.items[i]->GetPath() == path) {
            return i;
        }
    }
}

void PathItemIndex::Put(Table* table, AbstractGarbage* item, std::uint32_t hash) {
    const std::size_t mask = table->capacity - 1;
    std::size_t i = hash & mask;
    while (table->hashes[i] > removedSlot) {
        i = (i + 1) & mask;
    }
    if (table->hashes[i] == emptySlot) {
        ++table->used;
    }
    table->hashes[i] = hash;
    table->items[i] = item;
}

AbstractGarbage* PathItemIndex::Find(const QString& path) const {
    const std::uint32_t hash = HashOf(path);
    std::size_t at = Locate(m_table, path, hash);
    if (at < m_table.capacity) {
        return m_table.items[at];
    }
    at = Locate(m_old, path, hash);
    return at < m_old.capacity ? m_old.items[at] : nullptr;
}

bool PathItemIndex::Insert(AbstractGarbage* item) {
    if (!item) {
        return false;
    }
    const QString path = item->GetPath();
    const std::uint32_t hash = HashOf(path);
    if (Locate(m_table, path, hash) < m_table.capacity ||
        Locate(m_old, path, hash) < m_old.capacity) {
        return false;
    }
    if (m_table.capacity == 0 || Crowded(m_table.used, m_table.capacity)) {
        // One move at a time: the last one is done by now (see migrationStep).
        Migrate(m_old.capacity);
        Grow(m_table.capacity == 0 ? firstCapacity : 2 * m_table.capacity);
    }
    Put(&m_table, item, hash);
    ++m_size;
    Migrate(migrationStep);
    return true;
}

void PathItemIndex::Grow(std::size_t capacity) {
    Table grown;
    if (!Allocate(&grown, capacity)) {
        throw std::bad_alloc();
    }
    m_old = std::move(m_table);
    m_table = std::move(grown);
    m_migrated = 0;
}

void PathItemIndex::Migrate(std::size_t count) {
    if (m_old.capacity == 0) {
        return;
    }
    const std::size_t end = std::min(m_old.capacity, m_migrated + count);
    for (; m_migrated < end; ++m_migrated) {
        const std::uint32_t h = m_old.hashes[m_migrated];
        if (h > removedSlot) {
            Put(&m_table, m_old.items[m_migrated], h);
            // Moved: a path is in one table only (a later Remove finds it
            // there), and look-ups of entries not moved yet probe past it.
            m_old.hashes[m_migrated] = removedSlot;
        }
    }
    if (m_migrated == m_old.capacity) {
        m_old = Table();
    }
}

void PathItemIndex::Remove(const QString& path) {
    const std::uint32_t hash = HashOf(path);
    for (Table* table : {&m_table, &m_old}) {
        const std::size_t at = Locate(*table, path, hash);
        if (at < table->capacity) {
            table->hashes[at] = removedSlot;  // probe chains through it stay intact
            table->items[at] = nullptr;
            --m_size;
            return;
        }
    }
}

void PathItemIndex::Clear() {
    m_table = Table();
    m_old = Table();
    m_migrated = 0;
    m_size = 0;
}

void PathItemIndex::Reserve(int size) {
    std::size_t capacity = firstCapacity;
    while (Crowded(static_cast<std::size_t>(std::max(size, 0)), capacity)) {
        capacity *= 2;
    }
    if (capacity <= m_table.capacity) {
        return;
    }
    Migrate(m_old.capacity);
    Grow(capacity);
    Migrate(m_old.capacity);
}

AbstractGarbage* PathItemIndex::FindNearest(const QString& path) const {
    QString p = path;
    for (;;) {
        if (AbstractGarbage* item = Find(p)) {
            return item;
        }
        const int slash = p.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            return slash == 0 && p.size() > 1 ? Find(QStringLiteral("/")) : nullptr;
        }
        p.truncate(slash);
    }
}

}  // namespace Varnex::Cleaner::Details
