#!/usr/bin/env bash
# A handful of representative runs of the native program under valgrind's
# memcheck: no invalid access, no use of uninitialised memory, no leak.
# The program runs as one process (self_relocate=2), so memcheck sees the
# process that does the work without following a fork and an exec; the
# supervising process is covered by the AddressSanitizer configuration.
source "$(dirname "$0")/lib.sh"

m32 && skip_all "valgrind runs in the native configuration"
sanitized && skip_all "valgrind does not run a program built with AddressSanitizer"
command -v valgrind >/dev/null || skip_all "valgrind is not installed"

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
printf 'alpha\nbravo\ncharlie\n\ndelta-delta\n' >"$work/in"
"$vfsmake" -i "$work/in" "umb,varfmt=1:$work/umb"
"$vfsmake" -i "$work/in" "dox,recfm=vb,blksize=24:$work/vb"
"$vfsmake" -i "$work/in" "yar,order=be:$work/yar"
"$vfsmake" -i "$work/in" "dox,recfm=f,lrecl=12:$work/fixed"
head -c -3 "$work/vb" >"$work/vb.cut"
printf '%-12s\n' alpha bravo charlie '' delta-delta >"$work/fixed.lines"
sort "$work/in" >"$work/in.sorted"
: >"$work/empty"

# Name, status, the expected output file, arguments. Standard input, where a
# case needs one, is a pipe or a character device: copy_file_range refuses
# the device and the 1 MiB read/write loop copies. Record files: raw blocks
# (read_buffer), records as lines (read_linef, or read_lines for keyed
# records in the other byte order, where records grow the buffer).
vg "regular file to file" 0 "$work/data"
expect_same_file "regular file to file: bytes" "$work/data" "$work/out"
vg "two files and -T, -v -v" 0 -T -v -v "$work/text" "$work/data"
expect_same_file "two files: bytes" <(cat "$work/text" "$work/data") "$work/out"
expect_match "two files: report" 'CPU Copies: 0 - ' "$(cat "$work/err")"
vg "operand - from a pipe" 0 - < <(cat "$work/data")
expect_same_file "operand - from a pipe: bytes" "$work/data" "$work/out"
vg "character device in (fall-back loop)" 0 - </dev/null
expect_same_file "character device in: nothing out" "$work/empty" "$work/out"
while IFS='|' read -r name expect args; do
    # shellcheck disable=SC2086
    vg "$name" 0 $args
    expect_same_file "$name: bytes" "$expect" "$work/out"
done <<EOF
record sequential, raw|$work/umb|umb,varfmt=1:$work/umb
blocked variable records as lines|$work/in|dox,recfm=vb,blksize=24:$work/vb
keyed records, -l 4|$work/in.sorted|-l 4 $work/yar
fixed records as lines, padded|$work/fixed.lines|dox,recfm=f,lrecl=12:$work/fixed
EOF

vg "failing file after a good one" 2 "$work/text" "$work/missing" "$work/data"
expect_same_file "failing file: the good one was copied, the later one not" "$work/text" "$work/out"
vg "damaged record file" 2 "dox,recfm=vb,blksize=24:$work/vb.cut" "$work/text"
expect_match "damaged record file: the walk's message" '^Seek fail: ' "$(cat "$work/err")"

vg "help" 0 -h
expect_match "help: usage" '^Description: tandro' "$(cat "$work/err")"

finish
