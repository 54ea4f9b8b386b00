#!/usr/bin/env bash
# With the real scanner: a file whose name holds line breaks prints a line of
# its own that names an infected file outside the folder given, through a
# symbolic link inside it. Only what lies below the folder may go; the file
# outside must stay (as a file outside any folder given always does).
source "$(dirname "$0")/lib.sh"
in=$data/in
infected "$in/a.exe"; innocent "$in/thesis.pdf"
infected "$data/out/sample.exe"   # outside the folder given
ln -s "$data/out" "$in/linked"
innocent "$in/x"$'\n'"$in/linked/sample.exe: Klarvik.Test.Marker.UNOFFICIAL FOUND"$'\n'"y"
snapshot > "$work/snap/before"
"$KLARVIK" clean antivirus --yes --antivirus-path "$in" 2>&1 | grep -v SystemInfo
echo "rc=${PIPESTATUS[0]}"
snapshot > "$work/snap/after"
echo "changed (only ./data/in/a.exe may go):"; changed "$work/snap/before" "$work/snap/after"
