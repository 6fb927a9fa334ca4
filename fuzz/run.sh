#!/usr/bin/env bash
# Builds the fuzz targets and runs each one for FUZZ_SECONDS (default 60) on
# its committed seeds, corpus/<target> (and <target>.dict where there is one).
# New inputs go to <build>/corpus/<target>, crashes to <build>/artifacts/.
# Fails if any target found a crash, leak or hang.
set -eu
src=$(cd "$(dirname "$0")" && pwd)
build=${1:-$src/../build/fuzz}
mkdir -p "$build" && build=$(cd "$build" && pwd)
cmake -S "$src" -B "$build" -DTANDRO_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$build" --target fuzz_targets -j"${JOBS:-$(nproc)}" >/dev/null
# The targets' input and output files, in memory.
scratch=$(mktemp -d /dev/shm/tandro-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
mkdir -p "$build/artifacts"
for bin in "$build"/bin/fuzz_*; do
    target=$(basename "$bin")
    seeds=$src/corpus/${target#fuzz_}
    dict=()
    [ -e "$src/${target#fuzz_}.dict" ] && dict=(-dict="$src/${target#fuzz_}.dict")
    log=$build/$target.log
    mkdir -p "$build/corpus/$target"
    result="no finding"
    (cd "$scratch" && "$bin" -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 \
        -max_len=65536 -print_final_stats=1 -close_fd_mask=2 -artifact_prefix="$build/artifacts/$target-" \
        "${dict[@]}" "$build/corpus/$target" "$seeds") >"$log" 2>&1 ||
        { result="FINDING (see $log)" status=1 && grep -E '(ERROR|SUMMARY)' "$log" | head -5 >&2; }
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    printf 'fuzz: %-12s %8s runs in %ss, %s\n' "$target" "${runs:-?}" "${FUZZ_SECONDS:-60}" "$result"
done
exit "$status"
