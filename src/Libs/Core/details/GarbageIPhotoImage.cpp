#include "Core/details/GarbageIPhotoImage.h"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>

#include "CleanerCommon/Paths.h"

namespace Varnex::Cleaner::Details {

GarbageIPhotoImage::GarbageIPhotoImage(int id, const QString& path, const QString& previewPath,
                                       long long size, QObject* parent)
    : AbstractGarbage(parent), m_id(id), m_path(path), m_previewPath(previewPath), m_size(size) {
    if (!path.isEmpty()) {
        struct stat st {};
        const QByteArray native = QFile::encodeName(QFileInfo(path).absoluteFilePath());
        if (::lstat(native.constData(), &st) == 0) {
            m_device = static_cast<unsigned long long>(st.st_dev);
            m_inode = static_cast<unsigned long long>(st.st_ino);
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
