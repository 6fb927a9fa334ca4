#!/usr/bin/env bash
# Builds the fuzz targets and runs each one for FUZZ_SECONDS (default 60) on
# its checked-in seeds. New inputs go to <build>/corpus/<target>, crashes to
# <build>/artifacts/. Fails if any target found a crash, leak or hang.
set -eu
src=$(cd "$(dirname "$0")" && pwd)
build=${1:-$src/../build/fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-$(nproc)}

cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$build" --target fuzz_targets -j"$jobs" >/dev/null

status=0
total=0
mkdir -p "$build/artifacts"
for bin in "$build"/bin/fuzz_*; do
    target=$(basename "$bin")
    seeds=$src/corpus/${target#fuzz_}
    mkdir -p "$build/corpus/$target" "$seeds"
    log=$build/$target.log
    if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 -close_fd_mask=2 -artifact_prefix="$build/artifacts/$target-" \
        "$build/corpus/$target" "$seeds" >"$log" 2>&1; then
        result="no finding"
    else
        result="FINDING (see $log)"
        status=1
        grep -E '^(==[0-9]+==ERROR|SUMMARY|library contract)' "$log" | head -5 >&2 || true
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    total=$((total + ${runs:-0}))
    printf 'fuzz: %-22s %10s runs in %ss, %s\n' "$target" "${runs:-?}" "$seconds" "$result"
done
printf 'fuzz: %d runs in all\n' "$total"
exit "$status"
