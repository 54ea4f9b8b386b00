#pragma once

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// An album in the photo library's trash. It is a row of the library's
// database, not a file: its path "iPhoto://<name path>.<type word>" names its
// place in the tree of deleted folders ("iPhoto://2015/Trip.album") and never
// a file. The item is ready at once.
class GarbageIPhotoAlbum : public AbstractGarbage {
    Q_OBJECT
public:
    enum AlbumType : int { ALBUM = 0, SMART = 1, SLIDESHOW = 2, KEEPSAKE = 3 };

    // namePath: the names of the enclosing folders and the album's own,
    // joined with '/'. The item starts without a parent (whoever takes it
    // attaches it as a root or a folder's child); `parent` is not used.
    GarbageIPhotoAlbum(const QString& name, const QString& namePath, AlbumType type, QObject* parent);

    QString GetName() const override { return m_name; }
    QString GetPath() const override;
    QString GetPreviewPath() const override { return GetPath(); }
    long long GetSize() const override { return m_size; }
    bool AreAdminRightsRequired() const override { return false; }
    void SetSize(long long size) override;

    AlbumType GetAlbumType() const { return m_type; }
    const QString& GetNamePath() const { return m_namePath; }
    // "album", "smart", "slideshow", "keepsake"; empty for any other value.
    static QString TypeWord(AlbumType type);

private:
    QString m_name;
    QString m_namePath;
    AlbumType m_type;
    long long m_size = 0;
};

}  // namespace Varnex::Cleaner::Details
