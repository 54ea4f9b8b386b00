#pragma once

#include <sys/types.h>

#include <QString>

namespace Varnex::Cleaner {

// Whether the current user may remove entries of one folder, worked out once
// for the folder so that a folder of many entries costs one check, not one per
// entry. An entry may be removed when the folder is writable and searchable
// and, in a sticky folder, the user owns the entry or the folder (or is root).
// CanRemove() answers through this class, so both always agree.
class FolderRemovalRights {
public:
    explicit FolderRemovalRights(const QString& folder);

    // For an entry of this folder. Only a sticky folder that the user does
    // not own needs to look at the entry itself.
    bool CanRemoveEntry(const QString& entryPath) const;
    // The same, when the entry's owner is already known (the scanner has it).
    bool CanRemoveEntryOwnedBy(uid_t entryOwner) const;

private:
    bool m_writable = false;
    bool m_sticky = false;
    bool m_ownFolder = false;
};

}  // namespace Varnex::Cleaner
