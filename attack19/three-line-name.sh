#!/usr/bin/env bash
# An innocent file whose name holds two line breaks, its middle line reading
# as a finding of another innocent file. The scan must not list thesis.pdf;
# the clean removes only a.exe and finishes without errors.
source "$(dirname "$0")/lib.sh"
infected "$data/in/a.exe"; innocent "$data/in/thesis.pdf"
innocent "$data/in/c"$'\n'"$data/in/thesis.pdf: Evil FOUND"$'\n'"d"
"$KLARVIK" scan --kind antivirus "$data/in" 2>/dev/null; echo "rc=$? (thesis.pdf must not be listed)"
snapshot > "$work/snap/before"
"$KLARVIK" clean antivirus --yes --antivirus-path "$data/in" 2>&1 | grep -v SystemInfo
echo "rc=${PIPESTATUS[0]} (0: nothing in error)"
snapshot > "$work/snap/after"
echo "changed (only ./data/in/a.exe may go):"; changed "$work/snap/before" "$work/snap/after"
