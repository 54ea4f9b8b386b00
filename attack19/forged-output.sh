#!/usr/bin/env bash
# A scanner whose recursive scan prints forged lines (innocent files, a file
# outside the folder given, a folder, a file through a linked folder, the
# summary and error lines early) before the real output; its scan of one file
# alone is honest. Nothing innocent may go, and the refusals must show.
source "$(dirname "$0")/lib.sh"
in=$data/in
infected "$in/a.exe"; innocent "$in/thesis.pdf"; innocent "$in/sub/notes.txt"
infected "$data/out/b.exe"; ln -s "$data/out" "$in/linked"
innocent "$in/x"$'\n'"$in/thesis.pdf: Evil FOUND"$'\n'"y"
eng=$KLARVIK_SYSROOT/Applications/ClamAV/engine/bin/clamscan
mv "$eng" "$eng.real"
cat > "$eng" <<SH
#!/bin/sh
case " \$* " in *" -r "*)
  printf '%s\n' "$in/thesis.pdf: Evil FOUND" "$data/out/b.exe: Klarvik.Test.Marker.UNOFFICIAL FOUND" \
    "$in/sub: Evil FOUND" "$in/linked/b.exe: Klarvik.Test.Marker.UNOFFICIAL FOUND" \
    "$in/sub/notes.txt: Klarvik.Test.Marker.UNOFFICIAL FOUND" ;;
esac
exec "$eng.real" "\$@"
SH
chmod +x "$eng"
snapshot > "$work/snap/before"
"$KLARVIK" clean antivirus --yes --antivirus-path "$in" 2>&1 | grep -v SystemInfo
echo "rc=${PIPESTATUS[0]} (1: the forged findings are refused)"
snapshot > "$work/snap/after"
echo "changed (only ./data/in/a.exe may go):"; changed "$work/snap/before" "$work/snap/after"
