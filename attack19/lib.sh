# Shared set-up for the antivirus attack scripts: a fake home, a system root
# with the sample engine, a data folder, and checksum lists of everything.
# Source it; KLARVIK points at the binary (default: the ASan build).
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
KLARVIK=${KLARVIK:-$here/../build-asan/bin/klarvik}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
MARKER=KLARVIK-TEST-MARKER-5d41402abc4b2a76
work=$(mktemp -d /tmp/a19.XXXXXX)
export HOME=$work/home KLARVIK_SYSROOT=$work/sys XDG_CACHE_HOME= XDG_DATA_HOME=
mkdir -p "$HOME" "$KLARVIK_SYSROOT" "$work/data" "$work/snap"
"$here/../scripts/clamav-sample.sh" "$KLARVIK_SYSROOT"
data=$work/data
infected() { mkdir -p "$(dirname "$1")"; printf 'x%s\n' "$MARKER" > "$1"; }
innocent() { mkdir -p "$(dirname "$1")"; printf '%s\n' "${2:-innocent}" > "$1"; }
# Every entry below $work (but the product's own state) with its kind and
# checksum, one per line, names escaped.
snapshot() {
    (cd "$work" && find . \( -path ./home/Library -o -path ./snap \) -prune -o -print0 | sort -z |
        while IFS= read -r -d '' f; do
            if [ -L "$f" ]; then k="L $(readlink "$f")"
            elif [ -f "$f" ]; then k="F $(sha1sum < "$f" | cut -c1-40)"
            elif [ -d "$f" ]; then k=D; else k=O; fi
            printf '%q %s\n' "$f" "$k"
        done)
}
# The lines of two snapshots that differ ("<" gone or changed, ">" new).
changed() { diff "$1" "$2" | grep '^[<>]'; }
