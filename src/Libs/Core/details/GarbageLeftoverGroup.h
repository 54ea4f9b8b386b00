#pragma once

#include <QStringList>

#include "Core/AbstractGarbage.h"
#include "Core/details/GarbageLeftover.h"

namespace Varnex::Cleaner::Details {

// The leftovers of one application.
class GarbageLeftoverGroup : public AbstractGarbage {
    Q_OBJECT
public:
    GarbageLeftoverGroup(const QString& path, const QString& name, QObject* parent);

    void AddLeftover(GarbageLeftover* leftover);
    // GetPath() of every leftover whose ShouldBeRemoved() is true, in order.
    QStringList GetPaths() const;
    // SetClean(clean) on the first leftover only.
    void SetBundleClean(bool clean);

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    void SetSize(long long size) override;  // stores without notifying
    GarbageList GetChildren() const override { return m_leftovers; }
    bool AreAdminRightsRequired() const override { return true; }
    void UpdateSize() override;

private:
    QString m_name;
    QString m_path;
    long long m_size = 0;
    GarbageList m_leftovers;
};

}  // namespace Varnex::Cleaner::Details
