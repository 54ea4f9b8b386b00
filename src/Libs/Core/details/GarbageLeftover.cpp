#include "Core/details/GarbageLeftover.h"

namespace Varnex::Cleaner::Details {

namespace {

QString LeftoverName(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return parts.isEmpty() ? path : parts.last();
}

}  // namespace

GarbageLeftover::GarbageLeftover(const QString& path, long long size, QObject* parent)
    : AbstractGarbage(parent), m_name(LeftoverName(path)), m_path(path), m_size(size) {}

void GarbageLeftover::AddSize(long long delta) {
    if (delta < 1) {
        return;
    }
    SetSize(m_size + delta);
    if (AbstractGarbage* parent = GetParent()) {
        parent->UpdateSize();
    }
}

void GarbageLeftover::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

}  // namespace Varnex::Cleaner::Details
