#!/usr/bin/env bash
# Installs a sample antivirus engine where the library keeps its own:
# $KLARVIK_SYSROOT/Applications/ClamAV. The engine is this machine's ClamAV
# (engine/bin/clamscan runs /usr/bin/clamscan), and its only signature is a
# test marker, never a real virus: a file holding the text
#   KLARVIK-TEST-MARKER-5d41402abc4b2a76
# is found as "Klarvik.Test.Marker.UNOFFICIAL".
# Usage: clamav-sample.sh SYSROOT
set -euo pipefail
prefix="$1/Applications/ClamAV"
clamscan=$(command -v clamscan || true)
if [ -z "$clamscan" ]; then
    echo "clamscan is not installed (Debian's package clamav)" >&2
    exit 1
fi
mkdir -p "$prefix/engine/bin" "$prefix/db"
printf '#!/bin/sh\nexec %s "$@"\n' "$clamscan" > "$prefix/engine/bin/clamscan"
printf '#!/bin/sh\necho "freshclam: this sample engine has no signature mirror" >&2\nexit 52\n' \
    > "$prefix/engine/bin/freshclam"
chmod 755 "$prefix/engine/bin/clamscan" "$prefix/engine/bin/freshclam"
"$clamscan" --version | sed -n 's/^ClamAV \([0-9.]*\).*/\1/p' > "$prefix/engine/version"
marker=KLARVIK-TEST-MARKER-5d41402abc4b2a76
echo "Klarvik.Test.Marker:0:*:$(printf %s "$marker" | od -An -tx1 | tr -d ' \n')" \
    > "$prefix/db/klarvik-test.ndb"
