#!/bin/bash
# Stream copier: every strategy by descriptor kinds, its -v -v trace, byte-exact
# data, counters of the -T report, failures.
source "$(dirname "$0")/lib.sh"
export LC_ALL=C
pty_run="$TOOLS/pty_run"

cd "$work" || exit 1
head -c 3000000 /dev/urandom >data # several pipe loads, not a multiple of any chunk
printf '0123456789' >ten
: >empty

copies_of() { grep '^CPU Copies:' "$work/err"; }

# Strategy table: name, trace lines, the run (copies "data" into $work/got,
# its status in $rc).
check_strategy() {
    rm -f "$work/got"
    eval "$3" 2>"$work/err"
    expect_eq "$1: status" 0 "$rc"
    expect_eq "$1: trace" "$2" "$(trace_of)"
    expect_same_file "$1: data" data "$work/got"
}
T='"$TANDRO" -v -v'
check_strategy "pipe to pipe" "splice p-2-p stdin -> stdout" "cat data | $T | cat >got; rc=\${PIPESTATUS[1]}"
check_strategy "pipe to file" "splice p-2-f stdin -> stdout" "cat data | $T >got; rc=\${PIPESTATUS[1]}"
check_strategy "file to pipe" "splice f-2-p stdin -> stdout" "$T data | cat >got; rc=\${PIPESTATUS[0]}"
check_strategy "file to file" "copy_file_range stdin -> stdout" "$T data >got; rc=\$?"
check_strategy "stdin file to file" "copy_file_range stdin -> stdout" "$T <data >got; rc=\$?"
check_strategy "file to terminal" $'copy_file_range stdin -> stdout\nsendfile stdin -> stdout' \
    "\"\$pty_run\" -o $T data >got; rc=\$?"

"$TANDRO" -v -v -T data >/dev/null 2>"$work/err"
rc=$?
expect_eq "file to /dev/null: status" 0 "$rc"
expect_eq "file to /dev/null: trace" "copy_file_range stdin -> stdout
sendfile stdin -> stdout" "$(trace_of)"
expect_eq "file to /dev/null: one sendfile" "CPU Copies: 0 - 1  3/4 - 0  4/5 - 0" "$(copies_of)"

# Terminal input: the read/write fall-back, one chunk per typed line.
lines=$'first line\nsecond\n'
printf '%s' "$lines" | "$pty_run" -i -o "$TANDRO" -v -v -T - >"$work/got" 2>"$work/err"
expect_eq "terminal to terminal: trace" "Fall_Back stdin -> stdout" "$(trace_of)"
expect_eq "terminal to terminal: data" "$lines" "$(cat "$work/got")"$'\n'
printf '%s' "$lines" | "$pty_run" -i "$TANDRO" -v -v -T - >"$work/got" 2>"$work/err"
expect_eq "terminal to file: trace" "copy_file_range stdin -> stdout
Fall_Back stdin -> stdout" "$(trace_of)"
expect_eq "terminal to file: data" "$lines" "$(cat "$work/got")"$'\n'
expect_eq "terminal to file: a chunk per line" "CPU Copies: 0 - 0  3/4 - 2  4/5 - 0" "$(copies_of)"
expect_match "terminal to file: bytes read and written" "I/O: 36\.00B" "$(cat "$work/err")"
# A terminal reports size 0: into a pipe it is read, not spliced by its size.
printf '%s' "$lines" | "$pty_run" -i "$TANDRO" -v -v - 2>"$work/err" | cat >"$work/got"
expect_eq "terminal to pipe: trace" "Fall_Back stdin -> stdout" "$(trace_of)"
expect_eq "terminal to pipe: data" "$lines" "$(cat "$work/got")"$'\n'
# Each "-" reads the terminal again up to its next end-of-file.
printf 'one\n\004two\n' | "$pty_run" -i "$TANDRO" - ten - >"$work/got" 2>"$work/err"
expect_eq "terminal read twice" "one
0123456789two" "$(cat "$work/got")"

# Appending output: copy_file_range and splice refuse it; nothing is overwritten
# and no preallocated zeros come before the appended data.
printf 'log head\n' >log
"$TANDRO" -v -v ten >>log 2>"$work/err"
expect_eq "append file: data" "log head
0123456789" "$(cat log)"
expect_eq "append file: trace" "copy_file_range stdin -> stdout
sendfile stdin -> stdout
Fall_Back stdin -> stdout" "$(trace_of)"
printf 'piped' | "$TANDRO" -v -v >>log 2>"$work/err"
expect_eq "append pipe: data" "log head
0123456789piped" "$(cat log)"
expect_eq "append pipe: trace" "splice p-2-f stdin -> stdout
Fall_Back stdin -> stdout" "$(trace_of)"
cat data data >twice
: >log2
"$TANDRO" data >>log2 && "$TANDRO" data >>log2
expect_same_file "append twice" twice log2

# Output written earlier in the run stays: the pipe goes in at the output's position.
printf 'mid-' | "$TANDRO" ten - ten >"$work/got"
expect_eq "file, pipe, file into one file" "0123456789mid-0123456789" "$(cat "$work/got")"
{
    printf 'shell wrote this '
    printf 'then tandro' | "$TANDRO"
} >"$work/got"
expect_eq "pipe into a file already written" "shell wrote this then tandro" "$(cat "$work/got")"
# Into a pipe a file on standard input is spliced from offset 0, wherever an
# earlier reader left its position; into a file it continues from there.
{
    head -c 4 >/dev/null
    "$TANDRO" | cat
} <ten >"$work/got"
expect_eq "file stdin into a pipe, from its start" "0123456789" "$(cat "$work/got")"
{
    head -c 4 >/dev/null
    "$TANDRO"
} <ten >"$work/got"
expect_eq "file stdin into a file, from its position" "456789" "$(cat "$work/got")"

# Empty inputs copy nothing and succeed; into a file by one zero-length call.
"$TANDRO" -T empty >"$work/got" 2>"$work/err"
expect_eq "empty to file: status and size" 0:0 "$?:$(wc -c <"$work/got")"
expect_eq "empty to file: one zero-length call" "CPU Copies: 0 - 1  3/4 - 0  4/5 - 0" "$(copies_of)"
expect_match "empty to file: nothing moved" "I/O: 0\.00B" "$(cat "$work/err")"
"$TANDRO" -T empty 2>"$work/err" | cat >"$work/got"
expect_eq "empty to pipe: status and size" 0:0 "${PIPESTATUS[0]}:$(wc -c <"$work/got")"
expect_match "empty to pipe: nothing moved" "I/O: 0\.00B" "$(cat "$work/err")"
: | "$TANDRO" >"$work/got"
expect_eq "empty pipe" 0 "$(wc -c <"$work/got")"

# The -T report: 10 bytes by one copy_file_range call count 20 bytes moved.
run "$TANDRO" -T ten
expect_eq "-T: data" "0123456789" "$(cat "$work/out")"
expect_match "-T: report line" \
    '^Elapsed: [0-9.]+s  User: [0-9.]+s  Sys: [0-9.]+s  I/O: 20\.00B  (\*Free\*|[0-9.]+([KMGTPE]i)?Bps)$' \
    "$(head -n 1 "$work/err")"
expect_eq "-T: copy counts" "CPU Copies: 0 - 1  3/4 - 0  4/5 - 0" "$(sed -n 2p "$work/err")"
expect_eq "-T: two lines only" 2 "$(wc -l <"$work/err")"
# Pipe to pipe: the splice calls vary with scheduling, the bytes do not.
printf '0123456789' | "$TANDRO" -T 2>"$work/err" | cat >/dev/null
expect_match "-T pipe to pipe: bytes" "I/O: 20\.00B" "$(cat "$work/err")"
expect_match "-T pipe to pipe: no user copies" "^CPU Copies: 0 - [1-9][0-9]*  3/4 - 0  4/5 - 0$" "$(copies_of)"

# A sparse file past 4 GiB through a pipe: 64-bit sizes and offsets end to end.
big_size=$((4 * 1024 * 1024 * 1024 + 8192))
marker_at=$((4 * 1024 * 1024 * 1024 + 1000))
truncate -s "$big_size" big
printf 'marker past the 4 GiB line' | dd of=big bs=1 seek="$marker_at" conv=notrunc status=none
printf 'marker near the start' | dd of=big bs=1 seek=4096 conv=notrunc status=none
# One pass: dd drops exactly the first 4 GiB, so what is left shows both the
# total size and the bytes at the marker's offset.
"$TANDRO" -v -v big 2>"$work/err" | dd bs=1M iflag=fullblock skip=4096 status=none >"$work/tail"
expect_eq "sparse 4 GiB+: trace" "splice f-2-p stdin -> stdout" "$(trace_of)"
expect_same_file "sparse 4 GiB+: size, and the marker at its offset" <(tail -c 8192 big) "$work/tail"
expect_eq "sparse 4 GiB+: early marker" "$(head -c 8192 big | cksum)" \
    "$("$TANDRO" big 2>/dev/null | head -c 8192 | cksum)"

# Kernel refusals, injected: without copy_file_range a regular input goes to
# sendfile, any other to the fall-back; a pipe whose splice is refused continues
# in the fall-back. strace cannot reach the system calls of the 32-bit build,
# which runs under an emulator on this kernel.
if ! command -v strace >/dev/null; then
    echo "SKIP: fault injection (strace is not installed)"
elif m32 && ! strace -f -qq -o /dev/null -e inject=copy_file_range:error=ENOSYS \
    "$TANDRO" -v -v ten 2>&1 >"$work/got" | grep -q '^sendfile'; then
    echo "SKIP: fault injection (strace cannot inject into the emulated 32-bit build)"
else
    inject() { strace -f -qq -o /dev/null -e "inject=$1" "${@:2}"; }
    inject copy_file_range:error=ENOSYS "$TANDRO" -v -v -T data >"$work/got" 2>"$work/err"
    expect_eq "no copy_file_range: trace" "copy_file_range stdin -> stdout
sendfile stdin -> stdout" "$(trace_of)"
    expect_same_file "no copy_file_range: data" data "$work/got"
    printf 'typed\n' | inject copy_file_range:error=ENOSYS "$pty_run" -i "$TANDRO" -v -v >"$work/got" 2>"$work/err"
    expect_eq "no copy_file_range, terminal: trace" "copy_file_range stdin -> stdout
Fall_Back stdin -> stdout" "$(trace_of)"
    expect_eq "no copy_file_range, terminal: data" "typed" "$(cat "$work/got")"
    # Refused after the first splice: what was spliced stays, the rest follows in order.
    cat data | inject splice:error=EINVAL:when=2 "$TANDRO" -v -v -T 2>"$work/err" | cat >"$work/got"
    expect_eq "splice refused midway: trace" "splice p-2-p stdin -> stdout
Fall_Back stdin -> stdout" "$(trace_of)"
    expect_same_file "splice refused midway: data" data "$work/got"
    expect_match "splice refused midway: both paths counted" "^CPU Copies: 0 - [0-9]+  3/4 - [1-9][0-9]*  4/5 - 0$" "$(copies_of)"
    expect_match "splice refused midway: bytes" "I/O: 5\.72MiB" "$(cat "$work/err")"
    # Short and refused writes of the fall-back into a slow, non-blocking pipe.
    cat data | inject splice:error=EINVAL "$TANDRO" 2>"$work/err" | (sleep 0.2 && cat) >"$work/got"
    expect_same_file "fall-back into a slow pipe" data "$work/got"
fi

# A named pipe or a process substitution is a byte stream read once: nothing
# may be taken from it before the copy, and a FIFO's single writer is served.
mkfifo "$work/fifo"
printf 'through the fifo\n' >"$work/fifo" &
run timeout 10 "$TANDRO" "$work/fifo"
wait
expect_eq "named FIFO: status" 0 "$rc"
expect_eq "named FIFO: data" "through the fifo" "$(cat "$work/out")"
run timeout 10 "$TANDRO" <(printf one) <(printf two)
expect_eq "process substitutions" "onetwo" "$(cat "$work/out")"

finish
