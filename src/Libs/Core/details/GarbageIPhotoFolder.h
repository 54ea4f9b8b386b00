#pragma once

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

class GarbageIPhotoAlbum;

// A folder of albums in the photo library's trash, with the deleted folders
// and albums inside it in the order they were added. Like an album it is a
// database row: its path "iPhoto://<name path>" never names a file. The item
// is ready at once (what it holds is known when it is built; its children are
// ready from the start too).
class GarbageIPhotoFolder : public AbstractGarbage {
    Q_OBJECT
public:
    GarbageIPhotoFolder();
    // namePath: the names from the top folder down to this one, joined with
    // '/'. The item starts without a parent; `parent` is not used.
    GarbageIPhotoFolder(const QString& name, const QString& namePath, QObject* parent);
    ~GarbageIPhotoFolder() override;

    // Makes this folder the child's parent and appends it (its size is not
    // added here).
    void AddChild(AbstractGarbage* child);
    void AddChild(GarbageIPhotoAlbum* child);
    void AddChild(GarbageIPhotoFolder* child);

    QString GetName() const override { return m_name; }
    QString GetPath() const override;
    QString GetPreviewPath() const override { return GetPath(); }
    long long GetSize() const override { return m_size; }
    bool AreAdminRightsRequired() const override { return false; }
    GarbageList GetChildren() const override { return m_children; }
    void SetSize(long long size) override;

    const QString& GetNamePath() const { return m_namePath; }

private:
    QString m_name;
    QString m_namePath;
    long long m_size = 0;
    GarbageList m_children;
};

}  // namespace Varnex::Cleaner::Details
