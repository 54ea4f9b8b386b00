#include "Core/details/GarbageFileEx.h"

namespace Varnex::Cleaner::Details {

GarbageFileEx::GarbageFileEx(const QString& path, long long size, const QDateTime& lastRead,
                             Kind kind, const QString& description, QObject* parent)
    : GarbageFile(path, size, parent), m_lastRead(lastRead), m_description(description) {
    SetKind(kind);
}

}  // namespace Varnex::Cleaner::Details
