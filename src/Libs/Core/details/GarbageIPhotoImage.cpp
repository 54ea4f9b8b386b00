#include "Core/details/GarbageIPhotoImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>

#include "CleanerCommon/Paths.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

GarbageIPhotoImage::GarbageIPhotoImage(int id, const QString& path, const QString& previewPath,
                                       long long size, QObject* parent)
    : AbstractGarbage(parent), m_id(id), m_path(path), m_previewPath(previewPath), m_size(size) {
    std::string bytes;
    struct statx stx {};
    // The scan gives absolute paths; anything else names no file here.
    if (path.startsWith(QLatin1Char('/')) && Platform::EncodePath(path, &bytes) &&
        ::statx(AT_FDCWD, bytes.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                STATX_INO | STATX_SIZE | STATX_BTIME, &stx) == 0) {
        m_device = static_cast<unsigned long long>(makedev(stx.stx_dev_major, stx.stx_dev_minor));
        m_inode = static_cast<unsigned long long>(stx.stx_ino);
        m_fileLength = static_cast<long long>(stx.stx_size);
        if (stx.stx_mask & STATX_BTIME) {
            m_birth = static_cast<long long>(stx.stx_btime.tv_sec) * 1000000000LL +
                      stx.stx_btime.tv_nsec;
        }
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
