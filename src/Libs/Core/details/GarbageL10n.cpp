#include "Core/details/GarbageL10n.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString languageScheme = QStringLiteral("language://");

}  // namespace

// Selected before it joins its parent: a half-made item must not reach the scope.
GarbageL10n::GarbageL10n(const QString& name, const QString& second, bool selected, QObject* parent)
    : AbstractGarbage(nullptr), m_name(name), m_second(second) {
    Select(selected);
    setParent(parent);
}

void GarbageL10n::AddBundle(GarbageL10nBundle* bundle) {
    if (!bundle) {
        return;
    }
    m_bundles.append(bundle);
    m_bundleByName.insert(bundle->GetName(), bundle);
    bundle->setParent(this);
    ChildAppended(bundle);
}

GarbageL10nBundle* GarbageL10n::FindBundle(const QString& bundleName) const {
    return m_bundleByName.value(bundleName, nullptr);
}

QString GarbageL10n::GetPath() const {
    return languageScheme + m_name;
}

void GarbageL10n::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    if (size != old) {
        NotifyChanged();
    }
}

}  // namespace Varnex::Cleaner::Details
