#!/usr/bin/env bash
# `make bench`: runs every benchmark and prints our figures beside the peers'.
#
#   bench/run.sh BUILD_DIR [SECTION...]
#
# BUILD_DIR holds the benchmark programs in bench/ (a Release build with
# -DKLARVIK_BENCH=ON); test data is generated once into BUILD_DIR/bench-data.
# Every figure is the median of $BENCH_RUNS (default 5) warm runs, wall clock.
#
# Sections: fs_scan, fs_remove, scope_scan, scope_clean, scope_flat,
# scope_reset, scope_million, apps, appsdb, items, dups, large, frontend, leftovers, l10n,
# facade, antivirus, photo (default:
# all). Adding a benchmark: write a
# function bench_<name> below (use warm_median, time_once, row and ratio) and
# append <name> to all_sections.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
shift || true
bin=$build/bench
data=$build/bench-data
runs=${BENCH_RUNS:-5}
all_sections=(fs_scan fs_remove scope_scan scope_clean scope_flat scope_reset scope_million apps appsdb
    items dups large frontend leftovers l10n facade antivirus photo)
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

# Runs a benchmark program $runs times after one warm run and prints the
# median of each named field of its last output line, space-separated.
json_medians() {
    local fields=$1
    shift
    "$@" >/dev/null 2>&1 || true
    local i out=() line
    for ((i = 0; i < runs; i++)); do
        if ! line=$("$@" 2>"$data/last-stderr" | tail -n1); then
            echo "FAILED: $*" >&2
            cat "$data/last-stderr" >&2
            exit 1
        fi
        out+=("$line")
    done
    local f
    for f in $fields; do
        printf '%s\n' "${out[@]}" | json_field "$f" | median | tr '\n' ' '
    done
    echo
}

# The system junk scope as the application drives it: a scan of the tree
# against du, with and without an item model following it.
bench_scope_scan() {
    fs_tree
    local tree=$data/fs-tree
    echo "== scope: scan of $tree with the system junk scope (median of $runs warm runs) =="
    local plain model du items
    read -r items plain stall rss <<<"$(json_medians "items seconds max_stall_ms max_rss_bytes" "$bin/scope_bench" scan "$tree")"
    read -r model mstall <<<"$(json_medians "seconds max_stall_ms" "$bin/scope_bench" scan "$tree" --model)"
    du=$(warm_median du -sb "$tree")
    row "scope_bench scan ($items items)" "$plain" "s"
    row "du -sb" "$du" "s"
    row "scope scan / du -sb" "$(ratio "$plain" "$du")" "goal <= 1.30"
    row "longest stall of the scope's thread" "$stall" "ms, goal <= 25"
    row "memory per item" "$(awk -v r="$rss" -v n="$items" 'BEGIN { printf "%.0f", r / n }')" "bytes (max RSS / items), goal <= 650"
    row "scan with an item model" "$model" "s, longest stall $mstall ms"
    row "model cost per inserted row" "$(awk -v a="$model" -v b="$plain" -v n="$items" 'BEGIN { printf "%.2f", (a - b) * 1e6 / n }')" "us"
}

# The scope's cleaning of a copy of the tree (everything selected) against
# rm -rf of another copy, alternating.
bench_scope_clean() {
    fs_tree
    local tree=$data/fs-tree copy=$data/scope-copy
    echo "== scope: cleaning a copy of the tree, everything selected (median of $runs runs) =="
    local i line clean=() total=() plan=() stall=() rss=() t_rm=() items
    for ((i = 0; i < runs; i++)); do
        rm -rf "$copy"
        cp -a "$tree" "$copy"
        sync
        if ! line=$("$bin/scope_bench" clean "$copy" 2>"$data/last-stderr" | tail -n1); then
            echo "FAILED: scope_bench clean" >&2
            cat "$data/last-stderr" >&2
            exit 1
        fi
        items=$(json_field items <<<"$line")
        clean+=("$(json_field seconds <<<"$line")")
        total+=("$(json_field total_seconds <<<"$line")")
        plan+=("$(json_field plan_ms <<<"$line")")
        stall+=("$(json_field max_stall_ms <<<"$line")")
        rss+=("$(json_field max_rss_bytes <<<"$line")")
        rm -rf "$copy"
        cp -a "$tree" "$copy"
        sync
        t_rm+=("$(time_once rm -rf "$copy")")
    done
    rm -rf "$copy"
    local m_clean m_total m_plan m_stall m_rm
    m_clean=$(printf '%s\n' "${clean[@]}" | median)
    m_total=$(printf '%s\n' "${total[@]}" | median)
    m_plan=$(printf '%s\n' "${plan[@]}" | median)
    m_stall=$(printf '%s\n' "${stall[@]}" | median)
    m_rm=$(printf '%s\n' "${t_rm[@]}" | median)
    local m_rss
    m_rss=$(printf '%s\n' "${rss[@]}" | median)
    row "scope_bench clean ($items items)" "$m_clean" "s of cleaning; runs: ${clean[*]}"
    row "scan + cleaning" "$m_total" "s"
    row "rm -rf" "$m_rm" "s; runs: ${t_rm[*]}"
    row "cleaning / rm -rf" "$(ratio "$m_clean" "$m_rm")" "goal <= 2.00"
    row "scan + cleaning / rm -rf" "$(ratio "$m_total" "$m_rm")"
    row "planning inside StartCleaning()" "$m_plan" "ms, goal <= 100"
    row "longest stall while cleaning" "$m_stall" "ms, goal <= 25"
    row "memory per item while cleaning" "$(awk -v r="$m_rss" -v n="$items" 'BEGIN { printf "%.0f", r / n }')" "bytes (max RSS of the scan and the cleaning / items)"
}

# One folder of 100,000 files: the longest stall of the scope's thread.
bench_scope_flat() {
    local flat=$data/flat-100k copy=$data/flat-copy
    if [[ ! -d $flat ]]; then
        rm -rf "$flat.partial"
        "$bin/scope_bench" gen-flat "$flat.partial" 100000 >/dev/null
        mv "$flat.partial" "$flat"
    fi
    echo "== scope: one folder of 100,000 files (median of $runs runs) =="
    local scan sstall
    read -r scan sstall <<<"$(json_medians "seconds max_stall_ms" "$bin/scope_bench" scan "$flat")"
    row "scan" "$scan" "s, longest stall $sstall ms"
    rm -rf "$copy"
    cp -a "$flat" "$copy"
    local line
    line=$("$bin/scope_bench" clean "$copy" | tail -n1)
    rm -rf "$copy"
    row "cleaning" "$(json_field seconds <<<"$line")" "s, longest stall $(json_field max_stall_ms <<<"$line") ms, planning $(json_field plan_ms <<<"$line") ms"
}

# A reset while the shredder overwrites four 256 MiB files: how long the
# reset keeps the scope's thread (it must not wait for the overwriting).
bench_scope_reset() {
    local dir=$data/shred
    echo "== scope: reset while shredding 4 x 256 MiB (median of $runs runs) =="
    local i resets=()
    for ((i = 0; i < runs; i++)); do
        rm -rf "$dir"
        mkdir -p "$dir"
        for n in 1 2 3 4; do
            head -c $((256 * 1048576)) /dev/urandom >"$dir/big-$n"
        done
        sync
        resets+=("$("$bin/scope_bench" reset "$dir" | json_field reset_ms)")
    done
    rm -rf "$dir"
    row "reset during shredding" "$(printf '%s\n' "${resets[@]}" | median)" "ms; runs: ${resets[*]}"
}

# A tree of a million files (fs_bench gen scale 5: 1,052,626 entries, sparse
# files), generated twice into a temporary folder that is removed afterwards,
# also on a failure or an interrupt: the scope's scan against du -sb (median of
# $BENCH_MILLION_RUNS, default 3), one cleaning of the first tree and rm -rf of
# the second, and the per-item figures beside those of the 200,000-file tree.
bench_scope_million() {
    fs_tree
    local runs=${BENCH_MILLION_RUNS:-3}
    million_tmp=$(mktemp -d "${TMPDIR:-/tmp}/klarvik-million.XXXXXX")
    trap 'rm -rf "$million_tmp"' EXIT
    trap 'exit 130' INT TERM
    local tree=$million_tmp/tree copy=$million_tmp/copy
    echo "== scope: a tree of a million files in $million_tmp (scan: median of $runs runs, cleaning: one run) =="
    local t0 gen_s
    t0=$(now)
    "$bin/fs_bench" gen "$tree" 5 >/dev/null
    "$bin/fs_bench" gen "$copy" 5 >/dev/null
    gen_s=$(awk -v s="$t0" -v e="$(now)" 'BEGIN { printf "%.1f", e - s }')

    local items scan sstall rss ref_items ref_scan ref_rss du
    read -r items scan sstall rss <<<"$(json_medians "items seconds max_stall_ms max_rss_bytes" "$bin/scope_bench" scan "$tree")"
    read -r ref_items ref_scan ref_rss <<<"$(json_medians "items seconds max_rss_bytes" "$bin/scope_bench" scan "$data/fs-tree")"
    du=$(warm_median du -sb "$tree")

    local line clean plan cstall crss rm_rf
    sync
    if ! line=$("$bin/scope_bench" clean "$tree" 2>"$data/last-stderr" | tail -n1); then
        echo "FAILED: scope_bench clean $tree" >&2
        cat "$data/last-stderr" >&2
        exit 1
    fi
    clean=$(json_field seconds <<<"$line")
    plan=$(json_field plan_ms <<<"$line")
    cstall=$(json_field max_stall_ms <<<"$line")
    crss=$(json_field max_rss_bytes <<<"$line")
    if [[ -n $(ls -A "$tree") ]]; then
        echo "FAILED: scope_bench clean left entries in $tree" >&2
        exit 1
    fi
    sync
    rm_rf=$(time_once rm -rf "$copy")

    per_us() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.3f", s * 1e6 / n }'; }
    per_b() { awk -v r="$1" -v n="$2" 'BEGIN { printf "%.0f", r / n }'; }
    local scan_us ref_us mem mem_ref
    scan_us=$(per_us "$scan" "$items")
    ref_us=$(per_us "$ref_scan" "$ref_items")
    mem=$(per_b "$rss" "$items")
    mem_ref=$(per_b "$ref_rss" "$ref_items")
    row "trees generated ($items items, twice)" "$gen_s" "s, untimed below"
    row "scope scan" "$scan" "s, $scan_us us per item"
    row "du -sb" "$du" "s"
    row "scope scan / du -sb" "$(ratio "$scan" "$du")"
    row "scan per item / at $ref_items items" "$(ratio "$scan_us" "$ref_us")" "($ref_us us per item), goal <= 1.10"
    row "longest stall while scanning" "$sstall" "ms, goal <= 25"
    row "peak memory of the scan" "$(mib "$rss")" "$mem bytes per item"
    row "memory per item / at $ref_items items" "$(ratio "$mem" "$mem_ref")" "($mem_ref bytes per item), goal <= 1.10"
    row "StartCleaning()" "$plan" "ms, goal <= 100"
    row "longest stall while cleaning" "$cstall" "ms, goal <= 25"
    row "cleaning" "$clean" "s, peak memory $(mib "$crss") (scan and cleaning), $(per_b "$crss" "$items") bytes per item"
    row "rm -rf" "$rm_rf" "s"
    row "cleaning / rm -rf" "$(ratio "$clean" "$rm_rf")" "goal <= 1.30"
    rm -rf "$million_tmp"
    trap - EXIT INT TERM
}

# The search for application bundles: 2,000 fake bundles among 100,000 folders.
bench_apps() {
    local tree=$data/apps-tree
    if [[ ! -d $tree ]]; then
        rm -rf "$tree.partial"
        "$bin/apps_bench" gen "$tree.partial" >/dev/null
        mv "$tree.partial" "$tree"
    fi
    echo "== apps: GetApplications over $tree (median of $runs runs) =="
    local bundles folders seconds
    read -r bundles folders seconds <<<"$(json_medians "bundles folders seconds" "$bin/apps_bench" "$tree")"
    row "GetApplications ($bundles bundles)" "$seconds" "s over $folders folders"
    row "find with the same pruning" "$(warm_median find "$tree" -name '*.app' -prune)" "s"
}

# The applications database: 10,000 applications in one transaction.
bench_appsdb() {
    echo "== appsdb: inserts in one transaction (median of $runs runs) =="
    local inserts seconds rate
    read -r inserts seconds rate <<<"$(json_medians "inserts seconds rate_per_s" "$bin/appsdb_bench")"
    row "$inserts inserts" "$seconds" "s, $(awk -v r="$rate" 'BEGIN { printf "%.0f", r }') per second"
}

# Containers with many children: appends with a read of the counts between
# them, and a click on a folder under an item model; 10,000 and 100,000
# children side by side, so that linear growth shows as a tenfold time.
bench_items() {
    echo "== items: containers of 10,000 and 100,000 children (median of $runs runs) =="
    local n group folder click csig unclick usig
    for n in 10000 100000; do
        read -r group folder click csig unclick usig <<<"$(json_medians "group_seconds folder_seconds click_ms click_signals unclick_ms unclick_signals" "$bin/items_bench" "$n")"
        row "$n appends to a duplicates group" "$group" "s, with a read of the counts after each"
        row "$n appends to a folder" "$folder" "s, with a read of the counts after each"
        row "checking a folder of $n" "$click" "ms, $csig dataChanged ($n ItemChanged)"
        row "unchecking it ($n followers)" "$unclick" "ms, $usig dataChanged"
    done
}

# Duplicate files: `klarvik scan --kind duplicates` (its own setting: no
# pause, and --gentle) against jdupes -r, rmlint and fdupes -r on a tree of
# 200,000 entries; wall time, bytes read, and the groups each found.
bench_dups() {
    local tool missing=()
    for tool in jdupes rmlint fdupes; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    if [[ ${#missing[@]} -gt 0 ]]; then
        echo "installing ${missing[*]}"
        apt-get install -y "${missing[@]}" >/dev/null
    fi
    local tree=$data/dups-tree here
    here=$(cd "$(dirname "$0")" && pwd)
    if [[ ! -d $tree ]]; then
        echo "generating $tree"
        python3 "$here/dups_bench.py" gen "$tree"
    fi
    echo "== dups: duplicates of $tree (median of $runs warm runs) =="
    python3 "$here/dups_bench.py" run "$tree" "$build/bin/klarvik" "$runs"
}

# The large-files scope over the 200,000-file tree with 2,000 big files
# against find (and gdu where it can be installed).
bench_large() {
    command -v gdu >/dev/null || apt-get install -y gdu >/dev/null 2>&1 || true
    local tree=$data/large-tree only=$data/large-only here
    here=$(cd "$(dirname "$0")" && pwd)
    if [[ ! -d $tree || ! -d $only ]]; then
        echo "generating $tree"
        python3 "$here/large_bench.py" gen "$bin/fs_bench" "$tree" "$only"
    fi
    echo "== large: big files of $tree (median of $runs warm runs) =="
    python3 "$here/large_bench.py" run "$tree" "$only" "$build/bin/klarvik" "$runs"
}

# The front end's text, --json and --jsonl output of a disk-usage scan of the
# tree, beside du.
bench_frontend() {
    fs_tree
    local here
    here=$(cd "$(dirname "$0")" && pwd)
    if [[ ! -d $data/doc-copy ]]; then
        rm -rf "$data/doc-copy.partial"
        cp -a /usr/share/doc "$data/doc-copy.partial"
        mv "$data/doc-copy.partial" "$data/doc-copy"
    fi
    echo "== frontend: klarvik scan --kind disk-usage of $data/fs-tree (median of $runs warm runs) =="
    python3 "$here/frontend_bench.py" "$data/fs-tree" "$data/doc-copy" "$build/bin/klarvik" "$runs"
}

# Leftovers: `klarvik scan --kind leftovers` over a home whose Library holds
# 100,000 files of 200 removed applications (recorded by a scan of their
# bundles, which were then deleted), against du -sb of that Library folder.
# The goal: at most 1.5 times du.
bench_leftovers() {
    local base=$data/leftovers-home
    if [[ ! -d $base ]]; then
        echo "generating $base"
        rm -rf "$base.partial"
        python3 - "$base.partial" <<'EOF'
import os, sys
base = sys.argv[1]
lib = os.path.join(base, "home", "Library")
for n in range(200):
    ident = "com.bench.app%d" % n
    bundle = os.path.join(base, "sys", "Applications", "App%d.app" % n, "Contents")
    os.makedirs(bundle)
    with open(os.path.join(bundle, "Info.plist"), "w") as f:
        f.write('<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleIdentifier'
                '</key><string>%s</string></dict></plist>\n' % ident)
    for d in range(10):
        folder = os.path.join(lib, "Caches", ident, "d%d" % d)
        os.makedirs(folder)
        for i in range(40):
            with open(os.path.join(folder, "f%d" % i), "wb") as f:
                f.write(b"c" * 1024)
    support = os.path.join(lib, "Application Support", ident)
    os.makedirs(support)
    for i in range(99):
        with open(os.path.join(support, "s%d" % i), "wb") as f:
            f.write(b"s" * 1024)
    os.makedirs(os.path.join(lib, "Preferences"), exist_ok=True)
    with open(os.path.join(lib, "Preferences", ident + ".plist"), "wb") as f:
        f.write(b"p" * 512)
EOF
        env HOME="$base.partial/home" KLARVIK_SYSROOT="$base.partial/sys" \
            "$build/bin/klarvik" scan --kind third-party-apps --json >/dev/null 2>&1
        rm -rf "$base.partial/sys/Applications"
        mkdir -p "$base.partial/sys/Applications"
        mv "$base.partial" "$base"
    fi
    echo "== leftovers: the leftovers of 200 removed applications, 100,000 files (median of $runs runs) =="
    local ours du
    local doc
    doc=$(env HOME="$base/home" KLARVIK_SYSROOT="$base/sys" "$build/bin/klarvik" scan \
        --kind leftovers --json 2>/dev/null || true)
    if [[ $doc != *'"finished": "done"'* ]]; then
        echo "FAILED: the leftovers scan did not finish" >&2
        exit 1
    fi
    ours=$(warm_median env HOME="$base/home" KLARVIK_SYSROOT="$base/sys" \
        "$build/bin/klarvik" scan --kind leftovers --json)
    du=$(warm_median du -sb "$base/home/Library")
    row "klarvik scan --kind leftovers" "$ours" "s"
    row "du -sb of the Library folder" "$du" "s"
    row "ratio (goal <= 1.5)" "$(ratio "$ours" "$du")"
}

# The localization scan: 1,000 applications below a system root holding 50,000
# ".lproj" folders in 300,000 files, against du -sb of the same tree. The
# figure is the first scan, before the applications database holds any
# localization: the database is removed before every run (the scan then walks
# every bundle and writes its rows). The second scan is served from the rows.
bench_l10n() {
    local base=$data/l10n-sys
    if [[ ! -d $base ]]; then
        echo "generating $base"
        rm -rf "$base.partial"
        python3 - "$base.partial" <<'EOF'
import os, sys
base = sys.argv[1]
codes = ["fr", "de", "it", "es", "ja", "ko", "zh_CN", "pt", "pt_BR", "ru", "nl", "sv", "da",
         "fi", "nb", "pl", "tr", "cs", "hu", "el", "he", "ar", "th", "vi", "id", "ms", "uk",
         "ro", "sk", "hr", "ca", "hi", "bg", "lt", "lv", "et", "sl", "sr", "fa", "ur", "bn",
         "ta", "te", "mr", "gu", "kn", "ml", "is", "ga", "en"]
data = b"x" * 100
for n in range(1000):
    contents = os.path.join(base, "Applications", "App%d.app" % n, "Contents")
    resources = os.path.join(contents, "Resources")
    os.makedirs(os.path.join(contents, "MacOS"))
    os.makedirs(resources)
    for i in range(49):
        with open(os.path.join(resources if i else contents, "r%d" % i), "wb") as f:
            f.write(data)
    with open(os.path.join(contents, "MacOS", "App%d" % n), "wb") as f:
        f.write(data)
    for code in codes:
        lproj = os.path.join(resources, code + ".lproj")
        os.makedirs(os.path.join(lproj, "Main.nib"))
        for i in range(4):
            with open(os.path.join(lproj, "s%d.strings" % i), "wb") as f:
                f.write(data)
        with open(os.path.join(lproj, "Main.nib", "keyedobjects.nib"), "wb") as f:
            f.write(data)
EOF
        mv "$base.partial" "$base"
    fi
    local home
    home=$(mktemp -d "${TMPDIR:-/tmp}/klarvik-l10n.XXXXXX")
    echo "== l10n: app-languages over 300,000 files, 50,000 .lproj folders (median of $runs warm runs) =="
    local doc
    doc=$(env HOME="$home" KLARVIK_SYSROOT="$base" "$build/bin/klarvik" scan \
        --kind app-languages --json 2>/dev/null || true)
    if [[ $doc != *'"finished": "done"'* ]]; then
        rm -rf "$home"
        echo "FAILED: the localization scan did not finish" >&2
        exit 1
    fi
    local ours cached du
    # Every run starts without our database: the first scan of the machine.
    l10n_first_scan() {
        rm -rf "$home/Library"
        env HOME="$home" KLARVIK_SYSROOT="$base" "$build/bin/klarvik" scan --kind app-languages --json
    }
    ours=$(warm_median l10n_first_scan)
    env HOME="$home" KLARVIK_SYSROOT="$base" "$build/bin/klarvik" scan --kind app-languages \
        --json >/dev/null 2>&1
    cached=$(warm_median env HOME="$home" KLARVIK_SYSROOT="$base" "$build/bin/klarvik" scan \
        --kind app-languages --json)
    du=$(warm_median du -sb "$base")
    rm -rf "$home"
    row "klarvik scan, first (no rows)" "$ours" "s"
    row "klarvik scan, from the rows" "$cached" "s"
    row "du -sb of the system root" "$du" "s"
    row "ratio first / du (goal <= 1.5)" "$(ratio "$ours" "$du")"
}

# The whole product: one Cleaner scanning every scope at once, the 200,000-file
# tree as the home folder (disk usage, duplicates, large files and the rest
# over it together). The goal: no stall of the main thread over 50 ms.
bench_facade() {
    fs_tree
    local sysroot line
    sysroot=$(mktemp -d "${TMPDIR:-/tmp}/klarvik-facade.XXXXXX")
    echo "== facade: every scope at once, home = $data/fs-tree (median of $runs runs) =="
    read -r scopes items secs stall rss <<<"$(json_medians "scopes items seconds max_stall_ms max_rss_bytes" \
        env HOME="$data/fs-tree" KLARVIK_SYSROOT="$sysroot" XDG_CACHE_HOME= XDG_DATA_HOME= "$bin/facade_bench")"
    rm -rf "$sysroot"
    row "facade_bench ($scopes scopes, $items items)" "$secs" "s"
    row "longest stall of the main thread" "$stall" "ms, goal <= 50"
    row "peak memory" "$(mib "$rss")"
}

# The virus scan: `klarvik scan --kind antivirus` over 20,000 files (20 of them
# holding the test marker) with the sample engine, against a bare
# `clamscan -r` with the same database. The goal: at most 1.05 times clamscan.
bench_antivirus() {
    command -v clamscan >/dev/null || { echo "== antivirus: clamscan is not installed, skipped"; return; }
    local tree=$data/av-tree sysroot=$data/av-sysroot here
    here=$(cd "$(dirname "$0")" && pwd)
    if [[ ! -d $tree ]]; then
        echo "generating $tree"
        rm -rf "$tree.partial"
        python3 - "$tree.partial" <<'EOF2'
import os, random, sys
base = sys.argv[1]
rnd = random.Random(7)
for i in range(20000):
    folder = os.path.join(base, "d%03d" % (i // 100))
    os.makedirs(folder, exist_ok=True)
    body = bytes(rnd.getrandbits(8) for _ in range(rnd.randint(100, 4000)))
    if i % 1000 == 0:
        body += b"KLARVIK-TEST-MARKER-5d41402abc4b2a76"
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(body)
EOF2
        mv "$tree.partial" "$tree"
    fi
    rm -rf "$sysroot"
    "$here/../scripts/clamav-sample.sh" "$sysroot"
    echo "== antivirus: 20,000 files of $tree (median of $runs warm runs) =="
    local ours peer home
    home=$(mktemp -d "${TMPDIR:-/tmp}/klarvik-av.XXXXXX")
    ours=$(warm_median env HOME="$home" KLARVIK_SYSROOT="$sysroot" "$build/bin/klarvik" scan \
        --kind antivirus "$tree")
    # clamscan exits with 1 when it finds something: that is its success here.
    peer=$(warm_median sh -c 'clamscan -d "$1" -r "$2"; [ $? -le 1 ]' sh \
        "$sysroot/Applications/ClamAV/db" "$tree")
    rm -rf "$home"
    row "klarvik scan --kind antivirus" "$ours" "s"
    row "clamscan -r" "$peer" "s"
    row "klarvik / clamscan" "$(ratio "$ours" "$peer")" "goal <= 1.05"
}

# The photo library's trash: 100,000 images, 20,000 of them in the trash
# (their files made), read by the trash scope; beside it sqlite3 answering the
# same question (each trashed version with its master and proxies) in one join.
bench_photo() {
    command -v sqlite3 >/dev/null || { echo "== photo: sqlite3 is not installed, skipped"; return; }
    local home=$data/photo-home here library
    here=$(cd "$(dirname "$0")" && pwd)
    library="$home/Pictures/iPhoto Library"
    if [[ ! -d $home ]]; then
        echo "generating $home"
        rm -rf "$home.partial"
        python3 "$here/../scripts/photo-library-sample.py" "$home.partial/Pictures/iPhoto Library" \
            --images 100000 --trashed 20000 --files trashed
        mv "$home.partial" "$home"
    fi
    # The preferences name the library where it is now.
    python3 - "$home" <<'EOF2'
import os, plistlib, sys
home = sys.argv[1]
os.makedirs(os.path.join(home, "Library/Preferences"), exist_ok=True)
with open(os.path.join(home, "Library/Preferences/com.apple.IPhoto.plist"), "wb") as f:
    plistlib.dump({"RootDirectory": os.path.join(home, "Pictures/iPhoto Library")}, f)
EOF2
    local fakes ours peer json stall rss
    fakes=$(mktemp -d "${TMPDIR:-/tmp}/klarvik-photo.XXXXXX")
    printf '#!/bin/sh\necho /sbin/init\n' > "$fakes/ps"
    chmod +x "$fakes/ps"
    echo "== photo: trash scan, 100,000 images, 20,000 in the trash (median of $runs warm runs) =="
    ours=$(warm_median env HOME="$home" PATH="$fakes:$PATH" "$bin/photo_bench")
    json=$(env HOME="$home" PATH="$fakes:$PATH" "$bin/photo_bench" | tail -n1)
    stall=$(echo "$json" | json_field max_stall_ms)
    rss=$(echo "$json" | json_field max_rss_bytes)
    peer=$(warm_median sqlite3 "$library/Database/Library.apdb" \
        "ATTACH '$library/Database/ImageProxies.apdb' AS p;
         SELECT m.modelId, m.fileName, m.imagePath, v.name, v.uuid, v.versionNumber,
                s.fullSizePreviewPath, s.thumbnailPath, s.miniThumbnailPath
           FROM RKMaster m JOIN RKVersion v ON v.masterId = m.modelId
           LEFT JOIN p.RKImageProxyState s ON s.versionUuid = v.uuid
          WHERE v.isInTrash AND v.showInLibrary;")
    rm -rf "$fakes"
    row "trash scope scan" "$ours" "s"
    row "  per 10,000 images" "$(awk -v s="$ours" 'BEGIN { printf "%.3f", s / 2 }')" "s"
    row "sqlite3, one join" "$peer" "s"
    row "  per 10,000 images" "$(awk -v s="$peer" 'BEGIN { printf "%.3f", s / 2 }')" "s"
    row "scope / sqlite3" "$(ratio "$ours" "$peer")" ""
    row "longest stall while scanning" "$stall" "ms"
    row "peak memory" "$(mib "$rss")" ""
}

sections=("$@")
if [[ ${#sections[@]} -eq 0 ]]; then
    sections=("${all_sections[@]}")
fi
for section in "${sections[@]}"; do
    "bench_$section"
done
