#!/usr/bin/env bash
# A handful of representative runs of the native program under valgrind's
# memcheck: no invalid access, no use of uninitialised memory, no leak.
# The program runs as one process (self_relocate=2), so memcheck sees the
# process that does the work without following a fork and an exec; the
# supervising process is covered by the AddressSanitizer configuration.
source "$(dirname "$0")/lib.sh"

if [ "$TANDRO_M32" != 0 ] && [ "$TANDRO_M32" != OFF ] && [ "$TANDRO_M32" != FALSE ]; then
    echo "SKIP: valgrind runs in the native configuration"
    finish
    exit
fi
if [ "${TANDRO_SANITIZE:-0}" != 0 ] && [ "$TANDRO_SANITIZE" != OFF ] &&
    [ "$TANDRO_SANITIZE" != FALSE ]; then
    echo "SKIP: valgrind does not run a program built with AddressSanitizer"
    finish
    exit
fi
if ! command -v valgrind >/dev/null; then
    echo "SKIP: valgrind is not installed"
    finish
    exit
fi

supp="$SRC_DIR/tests/valgrind.supp"
# vg NAME STATUS ARGS...: runs the program under memcheck with stdout to
# $work/out and stderr to $work/err; checks the status and an empty log.
vg() {
    local name=$1 status=$2
    shift 2
    rm -f "$work"/vg.*
    self_relocate=2 timeout 300 valgrind -q --error-exitcode=1 --leak-check=full \
        --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
        --track-fds=no --suppressions="$supp" --log-file="$work/vg.%p" \
        "$TANDRO" "$@" >"$work/out" 2>"$work/err"
    local rc=$?
    expect_eq "$name: status" "$status" "$rc"
    local log
    log=$(cat "$work"/vg.* 2>/dev/null)
    expect_eq "$name: memcheck is silent" "" "$log"
}

head -c 2500000 /dev/urandom >"$work/data"
printf 'line one\nline two\n' >"$work/text"

vg "regular file to file" 0 "$work/data"
expect_same_file "regular file to file: bytes" "$work/data" "$work/out"

vg "two files and -T, -v -v" 0 -T -v -v "$work/text" "$work/data"
expect_same_file "two files: bytes" <(cat "$work/text" "$work/data") "$work/out"
expect_match "two files: report" 'CPU Copies: 0 - ' "$(cat "$work/err")"

# Standard input from a pipe (process substitution keeps vg in this shell).
vg "operand - from a pipe" 0 - < <(cat "$work/data")
expect_same_file "operand - from a pipe: bytes" "$work/data" "$work/out"
vg "no operand, pipe in" 0 < <(cat "$work/text")
expect_eq "no operand, pipe in: bytes" "$(cat "$work/text")" "$(cat "$work/out")"

# A character device in and a regular file out: copy_file_range refuses,
# the 1 MiB read/write loop copies.
vg "character device in (fall-back loop)" 0 - </dev/null
expect_eq "character device in: nothing out" 0 "$(stat -c %s "$work/out")"

vg "failing file after a good one" 2 "$work/text" "$work/missing" "$work/data"
expect_eq "failing file: message" "Eh? Concatenate failed 2:No such file or directory" \
    "$(cat "$work/err")"
expect_eq "failing file: the good one was copied, the later one not" "$(cat "$work/text")" \
    "$(cat "$work/out")"

# Record files: raw blocks (read_buffer), records as lines (read_linef, or
# read_lines for keyed records in the other byte order), and one that fails
# part-way.
vfsmake="$STAGE/usr/bin/vfsmake"
printf 'alpha\nbravo\ncharlie\n\ndelta-delta\n' >"$work/in"
"$vfsmake" -i "$work/in" "umb,varfmt=1:$work/umb"
"$vfsmake" -i "$work/in" "dox,recfm=vb,blksize=24:$work/vb"
"$vfsmake" -i "$work/in" "yar,order=be:$work/yar"
"$vfsmake" -i "$work/in" "dox,recfm=f,lrecl=12:$work/fixed"
vg "record sequential, raw" 0 "umb,varfmt=1:$work/umb"
expect_same_file "record sequential, raw: bytes" "$work/umb" "$work/out"
vg "blocked variable records as lines" 0 "dox,recfm=vb,blksize=24:$work/vb"
expect_same_file "blocked variable records: lines" "$work/in" "$work/out"
vg "keyed records, -l 4 (records grow the buffer)" 0 -l 4 "$work/yar"
expect_same_file "keyed records: lines in key order" <(sort "$work/in") "$work/out"
vg "fixed records as lines" 0 "dox,recfm=f,lrecl=12:$work/fixed"
expect_eq "fixed records as lines: padded" "$(printf '%-12s\n' alpha bravo charlie '' delta-delta)" \
    "$(cat "$work/out")"
head -c -3 "$work/vb" >"$work/vb.cut"
vg "damaged record file" 2 "dox,recfm=vb,blksize=24:$work/vb.cut" "$work/text"
expect_match "damaged record file: the walk's message" '^Seek fail: ' "$(cat "$work/err")"

vg "help" 0 -h
expect_match "help: usage" '^Description: tandro' "$(cat "$work/err")"

finish
