#!/usr/bin/env bash
# An infected file whose name is not UTF-8: it can be neither shown nor
# removed, and the facade and the file list must say it was left.
source "$(dirname "$0")/lib.sh"
infected "$data/in/a.exe"; infected "$data/in/b"$'\xff'".exe"
"$KLARVIK" scan antivirus --antivirus-path "$data/in" 2>&1 | grep -v SystemInfo
"$KLARVIK" scan --kind antivirus "$data/in" 2>&1 | grep -v SystemInfo
"$KLARVIK" clean antivirus --yes --antivirus-path "$data/in" 2>&1 | grep -v SystemInfo
ls -b "$data/in"
