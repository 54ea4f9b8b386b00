#!/usr/bin/env bash
# Bind mounts inside a folder given to the antivirus scope (a folder and a
# single file mounted there from elsewhere), and a folder given that is a bind
# mount of a system folder. Run as root; re-runs itself in a mount namespace.
[ "${IN_NS:-}" = 1 ] || exec env IN_NS=1 unshare -m --propagation private bash "$0" "$@"
source "$(dirname "$0")/lib.sh"
infected "$data/other/b.exe"; infected "$data/single/c.exe"; innocent "$data/other/keep.txt"
infected "$data/in/a.exe"
mkdir -p "$data/in/mnt"; touch "$data/in/f.exe"
mount --bind "$data/other" "$data/in/mnt"
mount --bind "$data/single/c.exe" "$data/in/f.exe"
snapshot > "$work/snap/before"
"$KLARVIK" clean antivirus --yes --antivirus-path "$data/in" 2>&1 | grep -v SystemInfo
echo "rc=${PIPESTATUS[0]}"
snapshot > "$work/snap/after"
umount "$data/in/mnt" "$data/in/f.exe"
echo "changed (only ./data/in/a.exe may go):"; changed "$work/snap/before" "$work/snap/after"
mkdir -p "$data/sysbind"; mount --bind "$KLARVIK_SYSROOT/Applications/ClamAV" "$data/sysbind" 2>/dev/null
mkdir -p "$data/usrbind"; mount --bind /usr/share/doc "$data/usrbind"
"$KLARVIK" clean antivirus --yes --antivirus-path "$data/usrbind" 2>&1 | grep -v SystemInfo
echo "rc=${PIPESTATUS[0]} (a bind mount of /usr/share/doc is refused)"
