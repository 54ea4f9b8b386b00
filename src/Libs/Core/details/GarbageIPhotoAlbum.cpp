#include "Core/details/GarbageIPhotoAlbum.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString pathScheme = QStringLiteral("iPhoto://");

}  // namespace

GarbageIPhotoAlbum::GarbageIPhotoAlbum(const QString& name, const QString& namePath, AlbumType type,
                                       QObject*)
    : AbstractGarbage(nullptr), m_name(name), m_namePath(namePath), m_type(type) {
    StartReady();
}

QString GarbageIPhotoAlbum::TypeWord(AlbumType type) {
    switch (type) {
        case ALBUM:
            return QStringLiteral("album");
        case SMART:
            return QStringLiteral("smart");
        case SLIDESHOW:
            return QStringLiteral("slideshow");
        case KEEPSAKE:
            return QStringLiteral("keepsake");
    }
    return {};
}

QString GarbageIPhotoAlbum::GetPath() const {
    return pathScheme + m_namePath + QLatin1Char('.') + TypeWord(m_type);
}

void GarbageIPhotoAlbum::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

}  // namespace Varnex::Cleaner::Details
