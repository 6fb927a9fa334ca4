# Shared helpers of the whole-program tests. Source it; call finish at the end.
set -u
: "${TANDRO:?run through ctest, which sets TANDRO}"
passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/tandro-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# LeakSanitizer cannot check a process that is being traced: in the sanitizer
# build the programs a test runs under strace skip the leak check.
if [ "${TANDRO_SANITIZE:-0}" = 1 ]; then
    strace() { command strace -E "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" "$@"; }
fi

pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    printf 'FAIL: %s\n' "$1" >&2
}

# expect_eq NAME EXPECTED ACTUAL
expect_eq() {
    if [ "$2" = "$3" ]; then pass; else
        fail "$1"
        printf '  expected: %q\n  actual:   %q\n' "$2" "$3" >&2
    fi
}

# expect_same_file NAME EXPECTED_FILE ACTUAL_FILE
expect_same_file() {
    if cmp -s "$2" "$3"; then pass; else
        fail "$1"
        cmp "$2" "$3" 2>&1 | head -3 >&2
    fi
}

# expect_match NAME REGEX TEXT
expect_match() {
    if printf '%s' "$3" | grep -Eq -- "$2"; then pass; else
        fail "$1"
        printf '  pattern: %s\n  text:    %q\n' "$2" "$3" >&2
    fi
}

# run CMD...: runs with stdout to $work/out, stderr to $work/err, status in $rc.
run() {
    "$@" >"$work/out" 2>"$work/err"
    rc=$?
}

finish() {
    printf '%d passed, %d failed\n' "$passed" "$failed"
    [ "$failed" -eq 0 ]
}

# Helpers shared by several scripts.
vfsmake="$STAGE/usr/bin/vfsmake"
m32() { [ "${TANDRO_M32:-0}" = 1 ]; }
sanitized() { [ "${TANDRO_SANITIZE:-0}" = 1 ]; }
# skip_all REASON: the whole script cannot run here.
skip_all() {
    echo "SKIP: $1"
    finish
    exit
}
# Strategy lines of a -v -v trace in $work/err (-v also announces each file).
trace_of() { grep -E '^(splice|copy_file_range|sendfile|Fall_Back) ' "$work/err"; }
# expect_result NAME STATUS OUT ERR: $rc, $work/out and $work/err after a run.
expect_result() {
    expect_eq "$1: status" "$2" "$rc"
    expect_eq "$1: output" "$3" "$(cat "$work/out")"
    expect_eq "$1: messages" "$4" "$(cat "$work/err")"
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
