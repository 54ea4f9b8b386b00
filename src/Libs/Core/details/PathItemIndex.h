#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// The items of a scope by path (GetPath()), for the paths its workers report
// back (scan results, removal results). It does not own the items, and reads
// their paths: the scope clears it before it deletes them.
//
// A scan enters a million paths while the view must stay responsive, so the
// table never rehashes all at once: when it grows, the entries move to the
// larger table a few at a time with each later insertion (look-ups see both
// tables meanwhile), and a new table is zeroed memory the system hands out
// page by page. No single call costs more than a few look-ups. An entry is a
// hash and a pointer (12 bytes a slot, at most 3/4 of the slots used).
//
// Threads: the scope's only.
class PathItemIndex {
public:
    PathItemIndex();
    ~PathItemIndex();
    PathItemIndex(const PathItemIndex&) = delete;
    PathItemIndex& operator=(const PathItemIndex&) = delete;

    AbstractGarbage* Find(const QString& path) const;
    bool Contains(const QString& path) const { return Find(path) != nullptr; }
    // Enters the item under its path. The first item entered for a path
    // stays; false when the path was taken (or the item is null).
    bool Insert(AbstractGarbage* item);
    void Remove(const QString& path);
    void Clear();
    int Size() const { return static_cast<int>(m_size); }
    // Makes room for `size` entries at once (when the count is known).
    void Reserve(int size);

    // The item of a path, or of its nearest folder that is in the index; null
    // when none is.
    AbstractGarbage* FindNearest(const QString& path) const;

private:
    // Open addressing with linear probing over a power-of-two capacity.
    // Hash 0 marks an empty slot, 1 a removed one (probes go on past it).
    struct Table {
        struct Free {
            void operator()(void* p) const;
        };
        std::unique_ptr<std::uint32_t[], Free> hashes;
        std::unique_ptr<AbstractGarbage*[], Free> items;
        std::size_t capacity = 0;
        std::size_t used = 0;  // full and removed slots: both lengthen probes
    };

    static std::uint32_t HashOf(const QString& path);
    static bool Allocate(Table* table, std::size_t capacity);
    // The slot holding `path`, or capacity when none does.
    static std::size_t Locate(const Table& table, const QString& path, std::uint32_t hash);
    static void Put(Table* table, AbstractGarbage* item, std::uint32_t hash);
    // Moves up to `count` slots of the old table into the current one.
    void Migrate(std::size_t count);
    void Grow(std::size_t capacity);

    Table m_table;
    Table m_old;  // being emptied into m_table, from m_migrated on
    std::size_t m_migrated = 0;
    std::size_t m_size = 0;
};

}  // namespace Varnex::Cleaner::Details
