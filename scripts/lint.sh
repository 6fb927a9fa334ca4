#!/usr/bin/env bash
# The checks CI runs before building: the layout of every C and C++ file
# (.clang-format), shellcheck over every shell script, and clang-tidy
# (.clang-tidy) over the product's sources. Every check runs even after one
# fails, so one run lists all there is to fix.
# Usage: lint.sh [BUILD_DIR]   (a native configuration, made there if missing)
set -u
cd "$(dirname "$0")/.." || exit 1
build=${1:-build/native}
status=0
failed() {
    echo "lint: $1" >&2
    status=1
}
for tool in clang-format shellcheck clang-tidy cmake; do
    command -v "$tool" >/dev/null || { echo "lint: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

mapfile -t sources < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}" || failed "clang-format differs (make format)"

# lib.sh is sourced by the others; -x lets shellcheck follow it.
mapfile -t scripts < <(git ls-files '*.sh' '*.bash' .ci/run)
shellcheck -x "${scripts[@]}" || failed "shellcheck"

# clang-tidy reads the compiler's own command for each source; the compiler's
# warnings are the build's business, so they are not made errors here.
cmake -S . -B "$build" -DTANDRO_M32=OFF -DTANDRO_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null ||
    failed "cmake could not configure $build"
mapfile -t product < <(git ls-files 'libvfs/*.cc' 'libports/*.cc' 'orvane/*.cc' 'tools/*.cc')
findings=$(printf '%s\n' "${product[@]}" |
    xargs -P"${JOBS:-$(nproc)}" -n1 clang-tidy -p "$build" --quiet --extra-arg=-Wno-error 2>&1 |
    grep -E '^[^ ].*: (warning|error): ' | sort -u)
if [ -n "$findings" ]; then
    printf '%s\n' "$findings" >&2
    failed "clang-tidy: $(wc -l <<<"$findings") findings"
fi
exit "$status"
