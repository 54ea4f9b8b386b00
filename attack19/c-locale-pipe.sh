#!/usr/bin/env bash
# The C locale, standard input and output not a terminal, names that are
# UTF-8 but not ASCII and names that look like options.
source "$(dirname "$0")/lib.sh"
infected "$data/in/été ü.exe"; innocent "$data/in/thèse.pdf"; infected "$data/in/-rf"; infected "$data/in/--help"
export LANG=C LC_ALL=C
snapshot > "$work/snap/before"
"$KLARVIK" clean antivirus --yes --antivirus-path "$data/in" 2>&1 </dev/null | grep -v SystemInfo | cat
snapshot > "$work/snap/after"
echo "changed (the three infected files only):"; changed "$work/snap/before" "$work/snap/after"
