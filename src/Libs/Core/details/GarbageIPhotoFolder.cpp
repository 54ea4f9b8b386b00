#include "Core/details/GarbageIPhotoFolder.h"

#include "Core/details/GarbageIPhotoAlbum.h"

namespace Varnex::Cleaner::Details {

GarbageIPhotoFolder::GarbageIPhotoFolder() : AbstractGarbage(nullptr) {
    StartReady();
}

GarbageIPhotoFolder::GarbageIPhotoFolder(const QString& name, const QString& namePath, QObject*)
    : AbstractGarbage(nullptr), m_name(name), m_namePath(namePath) {
    StartReady();
}

// The children go with their QObject parent; only the list is dropped here.
GarbageIPhotoFolder::~GarbageIPhotoFolder() = default;

void GarbageIPhotoFolder::AddChild(AbstractGarbage* child) {
    if (!child) {
        return;
    }
    child->setParent(this);
    m_children.append(child);
    ChildAppended(child);
    // This folder is ready already: the child needs no announcing.
    ClaimReadyChild(child);
}

void GarbageIPhotoFolder::AddChild(GarbageIPhotoAlbum* child) {
    AddChild(static_cast<AbstractGarbage*>(child));
}

void GarbageIPhotoFolder::AddChild(GarbageIPhotoFolder* child) {
    AddChild(static_cast<AbstractGarbage*>(child));
}

QString GarbageIPhotoFolder::GetPath() const {
    return QStringLiteral("iPhoto://") + m_namePath;
}

void GarbageIPhotoFolder::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

}  // namespace Varnex::Cleaner::Details
