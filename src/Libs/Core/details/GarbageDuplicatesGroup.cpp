#include "Core/details/GarbageDuplicatesGroup.h"

#include "CleanerCommon/Paths.h"
#include "Core/details/FileDates.h"

namespace Varnex::Cleaner::Details {

GarbageDuplicatesGroup::GarbageDuplicatesGroup(const QString& path, Kind kind, QByteArray hash,
                                               QObject* parent)
    : AbstractGarbage(parent),
      m_name(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1)),
      m_path(path),
      m_hash(std::move(hash)) {
    SetKind(kind);
}

void GarbageDuplicatesGroup::AddChild(AbstractGarbage* child) {
    if (!child) {
        return;
    }
    child->setParent(this);
    m_children.append(child);
    ChildAppended(child);
    UpdateSize();
    if (ClaimReadyChild(child) && m_readiness.Count()) {
        SetReady(true);
    }
    if (child->AreAdminRightsRequired()) {
        m_adminRights = true;
    }
}

void GarbageDuplicatesGroup::SetRequiredChildren(int required, int kept) {
    if (m_readiness.Require(required, kept)) {
        SetReady(true);
    }
}

void GarbageDuplicatesGroup::SetSelectionTrait(SelectionTrait trait) {
    const CheckStateChange change;
    m_trait = trait;
    Reselect();
}

void GarbageDuplicatesGroup::Reselect() {
    if (!IsSelected()) {
        return;
    }
    const GarbageList children = m_children;
    // Only a copy that is still there can be the one kept: keeping a copy that
    // is already gone would select every live copy for removal. A copy in a
    // Trash is never the one kept.
    AbstractGarbage* kept = nullptr;
    QDateTime reference;
    int live = 0;
    for (AbstractGarbage* child : children) {
        if (child->IsClean() || !PathExists(child->GetPath()) ||
            IsInTrashFolder(child->GetPath())) {
            continue;
        }
        ++live;
        const QDateTime created = GetCreationTime(child->GetPath());
        if (!kept) {
            kept = child;
            reference = created;
        } else if (m_trait == KEEP_NEWEST && created.isValid() &&
                   (!reference.isValid() || created > reference)) {
            kept = child;
            reference = created;
        } else if (m_trait == KEEP_OLDEST && created.isValid() &&
                   (!reference.isValid() || created < reference)) {
            kept = child;
            reference = created;
        }
    }
    if (!kept) {
        // Nothing outside a Trash is left: every copy stays.
        for (AbstractGarbage* child : children) {
            if (child->IsSelected()) {
                child->Select(false);
            }
        }
        return;
    }
    if (live == 1) {
        // The last copy left: never selected, whatever the rest.
        if (kept->IsSelected()) {
            kept->Select(false);
        }
        return;
    }
    for (AbstractGarbage* child : children) {
        child->Select(child != kept);
    }
}

void GarbageDuplicatesGroup::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

void GarbageDuplicatesGroup::OnChildReady(AbstractGarbage*) {
    if (m_readiness.Count()) {
        SetReady(true);
    }
}

void GarbageDuplicatesGroup::UpdateSize() {
    AbstractGarbage::UpdateSize();
    if (AbstractGarbage* parent = GetParent()) {
        parent->UpdateSize();
    }
}

bool GarbageDuplicatesGroup::ShouldBeRemoved() const {
    return AbstractGarbage::ShouldBeRemoved() && m_readiness.Kept() == 0;
}

void GarbageDuplicatesGroup::SetCheckState(CheckState state) {
    // One change for the group's own state and the copies' reselection.
    const CheckStateChange change;
    AbstractGarbage::SetCheckState(state);
    Reselect();
}

}  // namespace Varnex::Cleaner::Details
