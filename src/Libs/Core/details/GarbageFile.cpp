#include "Core/details/GarbageFile.h"

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/Paths.h"

namespace Varnex::Cleaner::Details {

GarbageFile::GarbageFile(const QString& path, long long size, QObject* parent)
    : AbstractGarbage(parent),
      m_path(path),
      m_size(size) {
    StartReady();
}

QString GarbageFile::GetName() const {
    return ExtractFileName(m_path).replace(QLatin1Char(':'), QLatin1Char('/'));
}

void GarbageFile::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

bool GarbageFile::AreAdminRightsRequired() const {
    return !CanRemove(m_path);
}

}  // namespace Varnex::Cleaner::Details
