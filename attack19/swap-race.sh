#!/usr/bin/env bash
# A second process swaps a finding and an innocent file back and forth (by
# rename, by hard link, for a folder, for a symbolic link) while klarvik
# scans and cleans; the innocent file must survive every run.
# Usage: swap-race.sh [RUNS]
source "$(dirname "$0")/lib.sh"
runs=${1:-40}
lost=0
for ((i = 0; i < runs; ++i)); do
    for mode in rename link dir symlink; do
        rm -rf "$data/in"; infected "$data/in/a.exe"; innocent "$data/in/thesis.pdf" "thesis $i"
        python3 - "$data/in" "$mode" <<'PY' &
import os, sys, time
d, mode = sys.argv[1], sys.argv[2]
a, t, hold = d + "/a.exe", d + "/thesis.pdf", d + "/.hold"
end = time.time() + 2.5
while time.time() < end:
    try:
        if mode == "rename":      # the innocent file takes the finding's name
            os.rename(a, hold); os.rename(t, a); time.sleep(0.0005); os.rename(a, t); os.rename(hold, a)
        elif mode == "link":      # the finding's name becomes a hard link of the innocent file
            os.rename(a, hold); os.link(t, a); time.sleep(0.0005); os.unlink(a); os.rename(hold, a)
        elif mode == "dir":       # a folder holding the innocent file stands there
            os.rename(a, hold); os.mkdir(a); os.rename(t, a + "/t"); time.sleep(0.0005)
            os.rename(a + "/t", t); os.rmdir(a); os.rename(hold, a)
        else:                     # a link to the innocent file stands there
            os.rename(a, hold); os.symlink(t, a); time.sleep(0.0005); os.unlink(a); os.rename(hold, a)
    except OSError:
        pass
    time.sleep(0.001)
PY
        racer=$!
        sleep 0.$((RANDOM % 5))
        "$KLARVIK" clean antivirus --yes --antivirus-path "$data/in" >/dev/null 2>&1
        rc=$?
        wait $racer
        # the racer leaves each name as it found it, unless klarvik took one
        if [ "$(cat "$data/in/thesis.pdf" 2>/dev/null)" != "thesis $i" ]; then
            echo "run $i $mode: the innocent file is gone or changed (klarvik rc=$rc)"; ls -la "$data/in"
            lost=$((lost + 1))
        fi
    done
done
echo "$lost of $((runs * 4)) runs lost the innocent file"
