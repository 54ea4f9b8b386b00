#include "Core/details/GarbageDirectory.h"

namespace Varnex::Cleaner::Details {

namespace {

// The text after the last '/'; a path that ends in '/' has an empty name.
QString LastPart(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

}  // namespace

QString GarbageDirectory::GetName() const {
    return LastPart(m_path);
}

GarbageDirectory::GarbageDirectory(const QString& path, bool adminRights, QObject* parent)
    : AbstractGarbage(parent), m_path(path), m_adminRights(adminRights) {}

void GarbageDirectory::AddChild(AbstractGarbage* child, bool addSize) {
    if (!child) {
        return;
    }
    child->setParent(this);
    m_children.append(child);
    ChildAppended(child);
    if (addSize && !child->IsClean()) {
        UpdateSizeAfterChildAdded(child->GetSize());
    }
    if (child->HoldsHiddenEntries()) {
        MarkHiddenInside();
    }
    if (ClaimReadyChild(child) && m_readiness.Count()) {
        SetReady(true);
    }
}

void GarbageDirectory::SetRequiredChildren(int required, int kept) {
    if (kept > 0) {
        MarkHiddenInside();
    }
    if (m_readiness.Require(required, kept)) {
        SetReady(true);
    }
}

void GarbageDirectory::MarkHiddenInside() {
    // Up to the first folder that knows already: each folder is marked once.
    for (GarbageDirectory* folder = this; folder && !folder->m_hiddenInside;
         folder = qobject_cast<GarbageDirectory*>(folder->GetParent())) {
        folder->m_hiddenInside = true;
    }
}

void GarbageDirectory::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

void GarbageDirectory::OnChildReady(AbstractGarbage*) {
    if (m_readiness.Count()) {
        SetReady(true);
    }
}

void GarbageDirectory::SetOwnSize(long long size) {
    const long long contents = m_size - m_ownSize;
    m_ownSize = size;
    SetSize(contents + size);
}

void GarbageDirectory::UpdateSize() {
    SetSize(SumOfDirtyChildren() + m_ownSize);
    if (AbstractGarbage* parent = GetParent()) {
        parent->UpdateSize();
    }
}

bool GarbageDirectory::ShouldBeRemoved() const {
    return AbstractGarbage::ShouldBeRemoved() && !m_hiddenInside;
}

}  // namespace Varnex::Cleaner::Details
