#pragma once

#include "Core/AbstractGarbage.h"
#include "Core/details/ChildReadiness.h"

namespace Varnex::Cleaner::Details {

// A folder found by a scan, with the children the scan reported below it. It
// becomes ready when as many children as the scan announced are ready. A
// folder that keeps entries which are not garbage is never removed itself,
// nor is any folder above it, and it does not become clean when everything
// shown in it is gone: it is still there.
class GarbageDirectory : public AbstractGarbage {
    Q_OBJECT
public:
    GarbageDirectory(const QString& path, bool adminRights, QObject* parent);

    // Makes this folder the child's parent and appends it; with addSize, the
    // child's size (unless clean) is added here and to every ancestor.
    void AddChild(AbstractGarbage* child, bool addSize);
    // required: children the scan will report; kept: entries it will not.
    void SetRequiredChildren(int required, int kept);
    int GetRequiredChildren() const { return m_readiness.Required(); }
    int GetKeptChildren() const { return m_readiness.Kept(); }
    // Here or in any folder below: such a folder is never removed itself.
    bool HoldsHiddenEntries() const override { return m_hiddenInside; }
    // The folder's own blocks (its list of entries), counted in its size with
    // what it holds: what its removal frees besides its contents.
    void SetOwnSize(long long size);
    long long GetOwnSize() const { return m_ownSize; }

    QString GetName() const override;  // from the path, when asked
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    void SetSize(long long size) override;
    GarbageList GetChildren() const override { return m_children; }
    bool AreAdminRightsRequired() const override { return m_adminRights; }
    void OnChildReady(AbstractGarbage* child) override;
    void UpdateSize() override;
    bool ShouldBeRemoved() const override;

    // What the scan saw at the path (inode 0: not known); a removal refuses
    // an entry that is no longer this one.
    void SetIdentity(unsigned long long device, unsigned long long inode, long long birth = 0) {
        m_device = device;
        m_inode = inode;
        m_birth = birth;
    }
    unsigned long long GetDevice() const { return m_device; }
    unsigned long long GetInode() const { return m_inode; }
    long long GetBirth() const { return m_birth; }  // ns since the epoch; 0: not known

private:
    QString m_path;
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
    long long m_birth = 0;
    long long m_size = 0;
    long long m_ownSize = 0;
    GarbageList m_children;
    ChildReadiness m_readiness;
    bool m_adminRights;
    bool m_hiddenInside = false;

    void MarkHiddenInside();
};

}  // namespace Varnex::Cleaner::Details
