# shellcheck shell=bash
# Shared helpers of the whole-program tests. Source it; call finish at the end.
set -u
: "${TANDRO:?run through ctest, which sets TANDRO}"
passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/tandro-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# LeakSanitizer cannot check a process that is being traced: in the sanitizer
# build the programs a test runs under strace (also from a table's `bash -c`)
# skip the leak check.
if [ "${TANDRO_SANITIZE:-0}" = 1 ]; then
    strace() { command strace -E "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" "$@"; }
    export -f strace
fi

pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    printf 'FAIL: %s\n' "$1" >&2
}
# expect_eq NAME EXPECTED ACTUAL
expect_eq() {
    [ "$2" = "$3" ] && pass && return
    fail "$1"
    printf '  expected: %q\n  actual:   %q\n' "$2" "$3" >&2
}
# expect_same_file NAME EXPECTED_FILE ACTUAL_FILE
expect_same_file() {
    cmp -s "$2" "$3" && pass && return
    fail "$1"
    cmp "$2" "$3" 2>&1 | head -3 >&2
}
# expect_match NAME REGEX TEXT
expect_match() {
    printf '%s' "$3" | grep -Eq -- "$2" && pass && return
    fail "$1"
    printf '  pattern: %s\n  text:    %q\n' "$2" "$3" >&2
}

finish() {
    printf '%d passed, %d failed\n' "$passed" "$failed"
    [ "$failed" -eq 0 ]
}

# skip_all REASON: the whole script cannot run here.
skip_all() {
    echo "SKIP: $1"
    finish
    exit
}

# until_ok CMD...: runs CMD until it succeeds, at most about a minute.
until_ok() {
    local i
    for ((i = 0; i < 600; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
