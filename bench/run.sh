#!/usr/bin/env bash
# `make bench`: runs every benchmark and prints our figures beside the peers'.
#
#   bench/run.sh BUILD_DIR [SECTION...]
#
# BUILD_DIR holds the benchmark programs in bench/ (a Release build with
# -DKLARVIK_BENCH=ON); test data is generated once into BUILD_DIR/bench-data.
# Every figure is the median of $BENCH_RUNS (default 5) warm runs, wall clock.
#
# Sections: fs_scan, fs_remove (default: all). Adding a benchmark: write a
# function bench_<name> below (use warm_median, time_once, row and ratio) and
# append <name> to all_sections.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
shift || true
bin=$build/bench
data=$build/bench-data
runs=${BENCH_RUNS:-5}
all_sections=(fs_scan fs_remove)
mkdir -p "$data"

now() { date +%s.%N; }

# Median of the numbers on stdin, one per line.
median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1;
        if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Seconds one run of the command takes; its output is dropped. A failing
# command stops the benchmark.
time_once() {
    local start end
    start=$(now)
    if ! "$@" >/dev/null 2>"$data/last-stderr"; then
        echo "FAILED: $*" >&2
        cat "$data/last-stderr" >&2
        exit 1
    fi
    end=$(now)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

# One untimed run to warm the caches, then the median of $runs timed runs.
warm_median() {
    "$@" >/dev/null 2>&1 || true
    local i
    for ((i = 0; i < runs; i++)); do
        time_once "$@"
    done | median
}

# A field of the JSON object on the last line of stdin.
json_field() { tail -n1 | sed -n "s/.*\"$1\": \([0-9.e+-]*\).*/\1/p"; }

row() { printf '  %-34s %10s  %s\n' "$1" "$2" "${3:-}"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }

# The 200,000-file tree of the file-system benchmarks, made once.
fs_tree() {
    local tree=$data/fs-tree
    if [[ ! -d $tree ]]; then
        echo "generating $tree"
        rm -rf "$tree.partial"
        "$bin/fs_bench" gen "$tree.partial" | tail -n1
        mv "$tree.partial" "$tree"
    fi
}

# The scanner against du and find.
bench_fs_scan() {
    fs_tree
    local tree=$data/fs-tree
    echo "== fs: scan of $tree, seconds (median of $runs warm runs) =="
    local last ours du find entries rss
    last=$("$bin/fs_bench" scan "$tree" | tail -n1)
    entries=$(json_field entries <<<"$last")
    ours=$(warm_median "$bin/fs_bench" scan "$tree")
    rss=$(json_field max_rss_bytes <<<"$("$bin/fs_bench" scan "$tree")")
    du=$(warm_median du -sb "$tree")
    find=$(warm_median find "$tree" -printf '%s\n')
    row "fs_bench scan ($entries entries)" "$ours" "max RSS $(mib "$rss")"
    row "du -sb" "$du"
    row "find -printf '%s'" "$find"
    row "scan / du -sb" "$(ratio "$ours" "$du")" "goal <= 0.80"
    row "scan / find" "$(ratio "$ours" "$find")"
}

# The removal server (after a scan and the planning) against rm -rf.
bench_fs_remove() {
    fs_tree
    local tree=$data/fs-tree copy=$data/fs-copy ours
    echo "== fs: removal of a copy of the tree, seconds (median of $runs runs) =="
    # Copies are made (and synced) before each timed run, untimed; the two
    # removals alternate so that both see the same machine.
    local i t_ours=() t_rm=()
    for ((i = 0; i < runs; i++)); do
        rm -rf "$copy"
        cp -a "$tree" "$copy"
        sync
        t_ours+=("$(time_once "$bin/fs_bench" remove "$copy")")
        if [[ -n $(ls -A "$copy") ]]; then
            echo "FAILED: fs_bench remove left entries in $copy" >&2
            exit 1
        fi
        rm -rf "$copy"
        cp -a "$tree" "$copy"
        sync
        t_rm+=("$(time_once rm -rf "$copy")")
    done
    rm -rf "$copy"
    ours=$(printf '%s\n' "${t_ours[@]}" | median)
    local rm_rf
    rm_rf=$(printf '%s\n' "${t_rm[@]}" | median)
    row "fs_bench remove (scan + plan + remove)" "$ours" "runs: ${t_ours[*]}"
    row "rm -rf" "$rm_rf" "runs: ${t_rm[*]}"
    row "remove / rm -rf" "$(ratio "$ours" "$rm_rf")" "goal <= 1.30"
}

sections=("$@")
if [[ ${#sections[@]} -eq 0 ]]; then
    sections=("${all_sections[@]}")
fi
for section in "${sections[@]}"; do
    "bench_$section"
done
