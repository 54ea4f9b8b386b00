#!/usr/bin/env bash
# Runs the fuzz targets of a build, each for SECONDS, two at a time.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]      (default: every *_fuzz of BUILD_DIR/bin)
# Each target starts from a copy of its seed corpus (fuzz/corpus/NAME) in a
# scratch folder, so a run never writes into the repository. Any crash, leak,
# sanitizer report, time-out or broken check fails the run and names the
# reproducer; the scratch folder is then kept. Rerun one input with
#   BUILD_DIR/bin/NAME_fuzz REPRODUCER
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]}"
seconds="${2:?usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]}"
shift 2
bin="$(cd "$build/bin" && pwd)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for t in "$bin"/*_fuzz; do
        targets+=("$(basename "$t" _fuzz)")
    done
fi

# The longest input worth trying: a little more than the largest real one.
max_len() {
    case "$1" in
        property_list) echo 65536 ;;
        system_profiler) echo 16384 ;;
        path_codec | mdls | clamscan_line | engine_version) echo 1024 ;;
        path_normalize) echo 2048 ;;
        *) echo 8192 ;;
    esac
}

scratch="$(mktemp -d "${TMPDIR:-/tmp}/klarvik-fuzz.XXXXXX")"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen LC_ALL=C

run_one() {
    local name="$1" dir="$scratch/$1"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    if [ -d "$here/corpus/$name" ]; then
        cp -R "$here/corpus/$name/." "$dir/corpus/"
    fi
    local rc=0
    "$bin/${name}_fuzz" -max_total_time="$seconds" -max_len="$(max_len "$name")" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" \
        "$dir/corpus" >"$dir/log" 2>&1 || rc=$?
    echo "$rc" >"$dir/rc"
}

for name in "${targets[@]}"; do
    if [ ! -x "$bin/${name}_fuzz" ]; then
        echo "No fuzz target $name in $bin" >&2
        exit 2
    fi
done

echo "Fuzzing ${#targets[@]} targets for ${seconds} s each, two at a time (scratch: $scratch)"
running=0
for name in "${targets[@]}"; do
    if [ "$running" -ge 2 ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_one "$name" &
    running=$((running + 1))
done
wait || true

failed=0
for name in "${targets[@]}"; do
    dir="$scratch/$name"
    rc="$(cat "$dir/rc" 2>/dev/null || echo 99)"
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)"
    speed="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)"
    if [ "$rc" = 0 ]; then
        printf '%-20s ok      %10s runs %8s exec/s\n' "$name" "${runs:-?}" "${speed:-?}"
        continue
    fi
    failed=1
    printf '%-20s FAILED (exit %s)\n' "$name" "$rc"
    grep -E 'ERROR|SUMMARY|check failed|runtime error|Test unit written' "$dir/log" | head -20 | sed 's/^/    /'
    for artifact in "$dir"/artifacts/*; do
        [ -e "$artifact" ] && echo "    reproducer: $artifact"
    done
    echo "    log: $dir/log"
done

if [ "$failed" -ne 0 ]; then
    echo "Fuzzing found problems; the scratch folder $scratch is kept." >&2
    exit 1
fi
rm -rf "$scratch"
