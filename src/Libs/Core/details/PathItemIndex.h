#pragma once

#include <QHash>
#include <QString>

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// The items of a scope by path, for the paths its workers report back (scan
// results, removal results). It does not own the items: the scope clears it
// before it deletes them.
//
// Threads: the scope's only.
class PathItemIndex {
public:
    AbstractGarbage* Find(const QString& path) const { return m_items.value(path); }
    bool Contains(const QString& path) const { return m_items.contains(path); }
    // The first item entered for a path stays; false when the path was taken.
    bool Insert(const QString& path, AbstractGarbage* item);
    void Remove(const QString& path) { m_items.remove(path); }
    void Clear() { m_items.clear(); }
    int Size() const { return m_items.size(); }
    void Reserve(int size) { m_items.reserve(size); }

    // The item of a path, or of its nearest folder that is in the index; null
    // when none is.
    AbstractGarbage* FindNearest(const QString& path) const;

private:
    QHash<QString, AbstractGarbage*> m_items;
};

}  // namespace Varnex::Cleaner::Details
