#pragma once

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// Something an application left behind (a cache, preferences, a saved state).
class GarbageLeftover : public AbstractGarbage {
    Q_OBJECT
public:
    GarbageLeftover(const QString& path, long long size, QObject* parent);

    // Ignored unless delta >= 1; adds it, notifies, and re-sums the parent.
    void AddSize(long long delta);

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    void SetSize(long long size) override;
    bool AreAdminRightsRequired() const override { return true; }

    // What the scan saw at the path, so that a removal finds the same entry
    // or leaves it (see FSCleanerServer::Expected). Unknown (inode 0) until set.
    void SetIdentity(bool isDirectory, unsigned long long device, unsigned long long inode,
                     long long birth = 0) {
        m_isDirectory = isDirectory;
        m_device = device;
        m_inode = inode;
        m_birth = birth;
    }
    bool HasIdentity() const { return m_inode != 0; }
    bool IsDirectory() const { return m_isDirectory; }
    unsigned long long GetDevice() const { return m_device; }
    unsigned long long GetInode() const { return m_inode; }
    long long GetBirth() const { return m_birth; }

private:
    QString m_name;
    QString m_path;
    long long m_size;
    bool m_isDirectory = false;
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
    long long m_birth = 0;
};

}  // namespace Varnex::Cleaner::Details
