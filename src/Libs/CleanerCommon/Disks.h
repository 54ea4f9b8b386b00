#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "CleanerCommon/StorageInfo.h"

namespace Varnex::Cleaner {

// The mounted volumes, in the kernel's mount order (/proc/self/mountinfo),
// each measured with statvfs. Left out: pseudo and memory file systems (proc,
// sysfs, tmpfs, cgroup, devpts, squashfs images, ...), mount points that are
// not folders (files bound into place), mounts hidden by a later mount on the
// same folder, volumes that cannot be measured or have no blocks, and mount
// points whose bytes are not valid UTF-8.
// A volume is named by its file-system label (/dev/disk/by-label) when it has
// one, else by the last component of its mount point, the root "/" by "Root";
// a name already taken gets " 2", " 3", ... appended. Any thread; blocks while
// the file systems answer.
QList<StorageInfo> LoadDiskList();

// The volume holding `path`: the one with the deepest mount point that is
// `path` or an ancestor of it by whole components ("/mnt/a" holds "/mnt/a/x",
// not "/mnt/ab"). Purely lexical: `path` is not resolved. A default (empty)
// StorageInfo when none holds it, e.g. for a relative path.
StorageInfo FindDisk(const QList<StorageInfo>& disks, const QString& path);

namespace Details {

// LoadDiskList() over a given mount table text and label folder (tests).
QList<StorageInfo> DisksFromMountTable(const QByteArray& mountInfo, const QString& labelFolder);

// True for file-system types that hold no user volume.
bool IsPseudoFileSystem(const QByteArray& type);

}  // namespace Details

}  // namespace Varnex::Cleaner
