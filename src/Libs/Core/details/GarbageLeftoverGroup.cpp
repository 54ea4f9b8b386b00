#include "Core/details/GarbageLeftoverGroup.h"

namespace Varnex::Cleaner::Details {

GarbageLeftoverGroup::GarbageLeftoverGroup(const QString& path, const QString& name,
                                           QObject* parent)
    : AbstractGarbage(parent), m_name(name), m_path(path) {}

void GarbageLeftoverGroup::AddLeftover(GarbageLeftover* leftover) {
    if (!leftover) {
        return;
    }
    m_leftovers.append(leftover);
    leftover->setParent(this);
    ChildListChanged();
    UpdateSize();
}

QStringList GarbageLeftoverGroup::GetPaths() const {
    QStringList paths;
    for (const AbstractGarbage* leftover : m_leftovers) {
        if (leftover->ShouldBeRemoved()) {
            paths.append(leftover->GetPath());
        }
    }
    return paths;
}

void GarbageLeftoverGroup::SetBundleClean(bool clean) {
    if (!m_leftovers.isEmpty()) {
        m_leftovers.first()->SetClean(clean);
    }
}

void GarbageLeftoverGroup::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
}

void GarbageLeftoverGroup::UpdateSize() {
    AbstractGarbage::UpdateSize();
    if (AbstractGarbage* parent = GetParent()) {
        parent->UpdateSize();
    }
}

}  // namespace Varnex::Cleaner::Details
