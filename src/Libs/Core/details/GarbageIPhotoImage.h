#pragma once

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// A deleted image of the photo library: its master file inside the library,
// known to the library database by its model id (what the trash cleaner
// deletes by). The item is ready at once.
class GarbageIPhotoImage : public AbstractGarbage {
    Q_OBJECT
public:
    // The size is taken as given (the master and its previews, as the scan
    // counted them). The entry at `path` is looked at once, without following
    // a link: its device and inode are kept; both stay 0 when there is none.
    GarbageIPhotoImage(int id, const QString& path, const QString& previewPath, long long size,
                       QObject* parent);

    QString GetName() const override;
    QString GetPath() const override { return m_path; }
    QString GetPreviewPath() const override { return m_previewPath; }
    long long GetSize() const override { return m_size; }
    bool AreAdminRightsRequired() const override { return false; }
    void SetSize(long long size) override;

    int GetId() const { return m_id; }
    // 0: there was no entry at the path when the item was made (never a
    // serial number to look for).
    unsigned long long GetInode() const { return m_inode; }
    unsigned long long GetDevice() const { return m_device; }
    // The length of the file at the path when the item was made; -1: none.
    long long GetFileLength() const { return m_fileLength; }
    // Its birth time then (ns since the epoch); 0 where none is kept.
    long long GetBirth() const { return m_birth; }

private:
    int m_id;
    QString m_path;
    QString m_previewPath;
    long long m_size;
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
    long long m_fileLength = -1;
    long long m_birth = 0;
};

}  // namespace Varnex::Cleaner::Details
