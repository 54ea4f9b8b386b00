#!/usr/bin/env bash
# The scanner reports errors (an unreadable folder: "Total errors: 1") and
# finds an infected file, so it exits with 1; the last file it reported on is
# gone by the time its line is read (a temporary file). The scan must still
# fail with the errors, and a clean must remove nothing.
# Run as root: the scan runs as nobody (root reads every folder).
if [ "$(id -u)" = 0 ] && [ "${AS_NOBODY:-}" != 1 ]; then
    dir=$(mktemp -d /tmp/a19v.XXXXXX); chmod 755 "$dir"
    cp -r "$(dirname "$0")/lib.sh" "$0" "$dir/"
    mkdir -p "$dir/../scripts" 2>/dev/null
    exec runuser -u nobody -- env AS_NOBODY=1 \
        KLARVIK="${KLARVIK:-$(cd "$(dirname "$0")/.." && pwd)/build-asan/bin/klarvik}" \
        SAMPLE="$(cd "$(dirname "$0")/.." && pwd)/scripts/clamav-sample.sh" bash "$dir/$(basename "$0")"
fi
set -u
MARKER=KLARVIK-TEST-MARKER-5d41402abc4b2a76
work=$(mktemp -d /tmp/a19v.XXXXXX)
export HOME=$work/home KLARVIK_SYSROOT=$work/sys XDG_CACHE_HOME= XDG_DATA_HOME=
mkdir -p "$HOME" "$work/in/locked" "$work/in2"
"$SAMPLE" "$KLARVIK_SYSROOT"
printf 'x%s\n' "$MARKER" > "$work/in/a.exe"
echo tmp > "$work/in2/t.tmp"   # the last file reported on
chmod 000 "$work/in/locked"
eng=$KLARVIK_SYSROOT/Applications/ClamAV/engine/bin/clamscan
mv "$eng" "$eng.real"
cat > "$eng" <<SH
#!/bin/bash
case " \$* " in *" -r "*)
  out=\$("$eng.real" "\$@"); rc=\$?
  # the last file reported on goes before its line is read
  rm -f -- "$work/in2/t.tmp"
  printf '%s\n' "\$out"; exit \$rc ;;
esac
exec "$eng.real" "\$@"
SH
chmod +x "$eng"
"$KLARVIK" scan antivirus --antivirus-path "$work/in" --antivirus-path "$work/in2" 2>&1 | grep -v SystemInfo
echo "rc=${PIPESTATUS[0]} (must be 1: the scanner reported an error)"
echo tmp > "$work/in2/t.tmp"
"$KLARVIK" clean antivirus --yes --antivirus-path "$work/in" --antivirus-path "$work/in2" 2>&1 | grep -v SystemInfo
echo "rc=${PIPESTATUS[0]} (must be 1, nothing removed)"; ls "$work/in"
chmod 755 "$work/in/locked"
