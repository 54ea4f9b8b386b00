#pragma once

#include <QHash>

#include "Core/AbstractGarbage.h"
#include "Core/details/GarbageL10nBundle.h"

namespace Varnex::Cleaner::Details {

// One language offered for removal; its children are the bundles (and the
// system) that hold localization folders of it. Its path is "language://"
// followed by the name. The size is set by the scope.
//
// Threads: the scope's thread. Children are owned through the Qt parent.
class GarbageL10n : public AbstractGarbage {
    Q_OBJECT
public:
    // `second` is stored only (callers pass the language name again).
    GarbageL10n(const QString& name, const QString& second, bool selected, QObject* parent);

    // Becomes the bundle's parent, appends it and indexes it by GetName(); a
    // later bundle of the same name takes over the index entry. Null is ignored.
    void AddBundle(GarbageL10nBundle* bundle);
    GarbageL10nBundle* FindBundle(const QString& bundleName) const;

    QString GetName() const override { return m_name; }
    QString GetPath() const override;
    long long GetSize() const override { return m_size; }
    bool AreAdminRightsRequired() const override { return false; }
    GarbageList GetChildren() const override { return m_bundles; }
    // Stores; notifies when the size changed (a bundle's size re-sums it).
    void SetSize(long long size) override;

private:
    QString m_name;
    QString m_second;
    long long m_size = 0;
    GarbageList m_bundles;
    QHash<QString, GarbageL10nBundle*> m_bundleByName;
};

}  // namespace Varnex::Cleaner::Details
