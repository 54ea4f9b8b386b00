#!/usr/bin/env bash
# Ctrl-C during the scan and during the confirmation (a scanner slowed down
# by a wrapper): exit 130, nothing removed, no scanner left behind.
source "$(dirname "$0")/lib.sh"
infected "$data/in/a.exe"
eng=$KLARVIK_SYSROOT/Applications/ClamAV/engine/bin/clamscan
mv "$eng" "$eng.real"
for step in scan confirmation; do
    if [ $step = scan ]; then when='*" -r "*) sleep 3;;'; else when='*" -r "*) ;; *) sleep 3;;'; fi
    printf '#!/bin/sh\ncase " $* " in %s esac\nexec %s "$@"\n' "$when" "$eng.real" > "$eng"; chmod +x "$eng"
    setsid "$KLARVIK" clean antivirus --yes --antivirus-path "$data/in" >/dev/null 2>&1 &
    pid=$!; sleep 2.2; kill -INT $pid; wait $pid; echo "Ctrl-C during the $step: rc=$? (130)"
    sleep 4; ps -eo pid,stat,args | grep -F "$work" | grep -v grep
    ls "$data/in"
done
