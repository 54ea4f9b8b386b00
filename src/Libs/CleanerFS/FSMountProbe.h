#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// Which mount an entry lies on. statx tells it (STATX_MNT_ID, with the
// STATX_ATTR_MOUNT_ROOT attribute) from Linux 5.8 on; before that a bind mount
// of the same file system keeps the device number, and only the mount id tells
// it from its surroundings. Without either, an entry is taken to be on another
// mount: a mount is never crossed because nothing could tell.
namespace Varnex::Cleaner::Details {

// The mount id of `name` in dirFd (dirFd itself for ""), never following a
// final link, by the probes that work without statx's help: the mount id that
// name_to_handle_at reports, then the "mnt_id" of /proc/self/fdinfo. 0 when
// none of them tells.
std::uint64_t ProbeMountId(int dirFd, const char* name);

// Whether `path` and every entry between it and `top` (a folder above it;
// both absolute, as bytes) lie on top's mount, by statx's mount id. False
// when a mount id cannot be told: a path found below a scan root (by a tool
// that crosses mounts, or a database row) must not lead a removal into
// something mounted there.
bool StaysOnMountOf(const std::string& top, const std::string& path);

// Whether anything is mounted anywhere below the folder open as folderFd, as
// /proc/self/mountinfo tells. True when that cannot be told (mountinfo
// unreadable, the folder's path unknown): moving a folder carries the mounts
// inside it along, so a move must not be made without knowing.
bool HoldsMountPoint(int folderFd);

// Whether the file (device, inode) is also the root of a mount somewhere (a
// file bind mount), as /proc/self/mountinfo and a stat of each mount point of
// its device tell. True when mountinfo cannot be read.
bool IsMountedElsewhere(dev_t device, ino_t inode);

// Whether statx's mount id and mount root attribute may be believed when the
// kernel gives them. Tests turn them off to walk the paths of older kernels.
bool UseStatxMountId();

// Tests only: the probes that are skipped, as an older kernel or a file system
// without file handles would make them fail.
enum class MountProbeLimit {
    NONE,         // everything the kernel offers
    NO_STATX,     // as before Linux 5.8: no mount id, no mount root attribute
    FDINFO_ONLY,  // neither statx nor file handles tell the mount
};
void LimitMountProbesForTests(MountProbeLimit limit);

}  // namespace Varnex::Cleaner::Details
