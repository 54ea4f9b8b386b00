#pragma once

#include <QByteArray>

#include "Core/AbstractGarbage.h"
#include "Core/details/ChildReadiness.h"
#include "Core/details/SelectionTrait.h"

namespace Varnex::Cleaner::Details {

// A set of identical files of which one copy stays: checking the group selects
// every copy but the one the selection trait keeps.
class GarbageDuplicatesGroup : public AbstractGarbage {
    Q_OBJECT
public:
    GarbageDuplicatesGroup(const QString& path, Kind kind, QByteArray hash, QObject* parent);

    void AddChild(AbstractGarbage* child);
    void SetRequiredChildren(int required, int kept);
    int GetRequiredChildren() const { return m_readiness.Required(); }
    void SetSelectionTrait(SelectionTrait trait);
    SelectionTrait GetSelectionTrait() const { return m_trait; }
    QByteArray GetHash() const { return m_hash; }

    // Chooses the copy to keep among the copies that are not clean and still
    // exist; the last remaining copy is never left selected.
    void Reselect();

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    void SetSize(long long size) override;
    GarbageList GetChildren() const override { return m_children; }
    bool AreAdminRightsRequired() const override { return m_adminRights; }
    void OnChildReady(AbstractGarbage* child) override;
    void UpdateSize() override;
    bool ShouldBeRemoved() const override;
    void SetCheckState(CheckState state) override;

private:
    QString m_name;
    QString m_path;
    QByteArray m_hash;
    long long m_size = 0;
    GarbageList m_children;
    ChildReadiness m_readiness;
    bool m_adminRights = false;
    SelectionTrait m_trait = KEEP_NEWEST;
};

}  // namespace Varnex::Cleaner::Details
