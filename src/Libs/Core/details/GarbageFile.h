#pragma once

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// One file (or link, or other non-folder entry) found by a scan.
class GarbageFile : public AbstractGarbage {
    Q_OBJECT
public:
    // The name is the file name with every ':' shown as '/', as Finder shows it;
    // the item is ready at once. The size is what the file takes on the disk
    // (what removing it frees); the apparent size is its length in bytes.
    GarbageFile(const QString& path, long long size, QObject* parent);

    // From the path when asked: a scan holds millions of items, a view shows
    // a few names at a time.
    QString GetName() const override;
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    void SetSize(long long size) override;
    bool AreAdminRightsRequired() const override;
    // Its length in bytes when it was scanned (a sparse file is longer than
    // the blocks it takes; a further name of a hard-linked file takes none);
    // the size when never set.
    long long GetApparentSize() const { return m_apparentSize < 0 ? m_size : m_apparentSize; }
    void SetApparentSize(long long size) { m_apparentSize = size; }

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
    // Whether the path is a folder shown as one document (a package): its
    // removal must then find a folder there, never a file.
    virtual bool IsFolder() const { return false; }

private:
    QString m_path;
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
    long long m_birth = 0;
    long long m_size;
    long long m_apparentSize = -1;
};

}  // namespace Varnex::Cleaner::Details
