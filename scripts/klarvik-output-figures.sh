#!/bin/sh
# Wall time and peak memory of klarvik's outputs (text, --json, --jsonl) on a
# tree of N empty files, scanning and cleaning, beside `du -s` of the same tree.
#   scripts/klarvik-output-figures.sh [KLARVIK] [N]
# KLARVIK defaults to build/bin/klarvik (a Release build), N to 200000. The
# tree lives in a temporary folder, and HOME and KLARVIK_SYSROOT point at
# temporary folders too.
set -eu
klarvik=$(realpath "${1:-build/bin/klarvik}")
count=${2:-200000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/sysroot"
export HOME="$work/home" KLARVIK_SYSROOT="$work/sysroot"

# N empty files, 500 a folder.
make_tree() {
    rm -rf "$work/Caches"
    python3 - "$work/Caches" "$count" <<'EOF'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%04d" % (i // 500))
    if i % 500 == 0:
        os.makedirs(folder)
    open(os.path.join(folder, "f%03d" % (i % 500)), "w").close()
EOF
}

# measure LABEL COMMAND...: one line, wall seconds and peak resident memory.
measure() {
    label=$1
    shift
    /usr/bin/time -f "%e %M %x" -o "$work/time" "$@" >"$work/out" 2>"$work/err" || true
    # shellcheck disable=SC2046
    set -- $(tail -n 1 "$work/time")  # after "Command exited with ..." when not 0
    wall=$1 peak=$2 code=$3
    printf '%-28s %8s s %10s KB  %12s B out  exit %s\n' "$label" "$wall" "$peak" \
        "$(wc -c <"$work/out")" "$code"
}

make_tree
echo "tree: $count files, $(find "$work/Caches" | wc -l) entries"
measure "du -s" du -s "$work/Caches"
for format in text --json --jsonl; do
    flag=$format
    [ "$format" = text ] && flag=
    # shellcheck disable=SC2086
    measure "scan $format" "$klarvik" scan --kind caches $flag "$work/Caches"
done
for format in text --json --jsonl; do
    flag=$format
    [ "$format" = text ] && flag=
    make_tree
    # shellcheck disable=SC2086
    measure "clean --yes $format" "$klarvik" clean --kind caches --yes $flag "$work/Caches"
    left=$(find "$work/Caches" -mindepth 1 | wc -l)
    [ "$left" -eq 0 ] || echo "  ($left entries left; $(tail -n 1 "$work/err"))"
done
make_tree
measure "rm -rf" rm -rf "$work/Caches"
