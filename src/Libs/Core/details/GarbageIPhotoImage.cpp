#include "Core/details/GarbageIPhotoImage.h"

#include <sys/stat.h>

#include <string>

#include "CleanerCommon/Paths.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

GarbageIPhotoImage::GarbageIPhotoImage(int id, const QString& path, const QString& previewPath,
                                       long long size, QObject* parent)
    : AbstractGarbage(parent), m_id(id), m_path(path), m_previewPath(previewPath), m_size(size) {
    std::string bytes;
    struct stat st {};
    // The scan gives absolute paths; anything else names no file here.
    if (path.startsWith(QLatin1Char('/')) && Platform::EncodePath(path, &bytes) &&
        ::lstat(bytes.c_str(), &st) == 0) {
        m_device = static_cast<unsigned long long>(st.st_dev);
        m_inode = static_cast<unsigned long long>(st.st_ino);
        m_fileLength = static_cast<long long>(st.st_size);
    }
    StartReady();
}

QString GarbageIPhotoImage::GetName() const {
    return ExtractFileName(m_path);
}

void GarbageIPhotoImage::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

}  // namespace Varnex::Cleaner::Details
