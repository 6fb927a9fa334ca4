#!/usr/bin/env bash
# The -T progress line at a real terminal (a tmux pane, whose raw output is
# recorded): it is drawn while bytes move, one to four times a second, with
# the operand, the bytes, the rate and the percentage where the size is
# known; erased before the report; zero-copy calls move at most 64 MiB while
# it may be shown; never drawn with standard output on the same terminal,
# without -T, in the background, or with standard error elsewhere.
source "$(dirname "$0")/lib.sh"

command -v tmux >/dev/null || skip_all "tmux is not installed; the progress line not tested"
command -v python3 >/dev/null || skip_all "python3 is not installed; the progress line not tested"

tm() { tmux -S "$work/tmux.sock" "$@"; }
trap 'tm kill-server 2>/dev/null; rm -rf "$work"' EXIT
tm new-session -d -s pl -x 100 -y 30 \
    "env -i PATH=/usr/bin:/bin TERM=xterm HOME=$work LC_ALL=C bash --norc --noprofile"
tm pipe-pane -t pl "cat >>$work/raw"
touch "$work/raw"

# slow SECONDS [BYTES]: BYTES (64 KiB) of "a" every 10 ms on standard output for that long.
cat >"$work/slow.py" <<'EOF'
import os, sys, time
end, chunk = time.time() + float(sys.argv[1]), b"a" * int((sys.argv[2:] or [65536])[0])
while time.time() < end:
    os.write(1, chunk)
    time.sleep(0.01)
EOF
# drain: reads standard input 64 KiB every 10 ms.
cat >"$work/drain.py" <<'EOF'
import os, time
while os.read(0, 65536):
    time.sleep(0.01)
EOF

n=0
# at_terminal COMMAND: types it in the pane and waits for it; $work/seen is
# what the terminal received meanwhile.
at_terminal() {
    n=$((n + 1))
    local from
    from=$(stat -c %s "$work/raw")
    local sep=";"
    [[ $1 == *"&" ]] && sep=""
    tm send-keys -t pl -l "$1$sep wait; echo \$? >$work/rc$n" && tm send-keys -t pl Enter
    until_ok [ -s "$work/rc$n" ]
    sleep 0.2 # pipe-pane lags the pane a little
    tail -c +$((from + 1)) "$work/raw" >"$work/seen"
}
# draws: the lines drawn for operand $1 in what the terminal received, one a line.
draws() { tr '\r' '\n' <"$work/seen" | grep -a "^$1  [0-9]"; }
seconds() { grep -ao 'Elapsed: [0-9.]*' "$work/seen" | grep -o '[0-9.]*$'; }
slow="python3 $work/slow.py"

at_terminal "$slow 3 | \"$TANDRO\" -T - >$work/out"
count=$(draws - | wc -l)
elapsed=$(seconds)
expect_match "a slow copy: its line names the input, the bytes and the rate" \
    '^-  [0-9.]+(Ki|Mi)B  [0-9.]+(Ki|Mi)?Bps *$' "$(draws - | tail -n 1)"
expect_eq "one to four redraws a second ($count in ${elapsed}s)" 1 \
    "$(awk -v c="$count" -v e="$elapsed" 'BEGIN { print (c >= e - 1 && c <= 4 * e + 1) }')"
expect_match "the line is erased before the report" $'\r +\rElapsed: ' "$(cat "$work/seen")"
expect_match "the report starts its own line on the screen" '^Elapsed: ' \
    "$(tm capture-pane -p -t pl | grep -a Elapsed)"

head -c 8M /dev/zero >"$work/f8"
at_terminal "\"$TANDRO\" -T $work/f8 | python3 $work/drain.py"
expect_match "the percentage where the size is known" "^$work/f8  .*  [0-9]{1,3}%" \
    "$(draws "$work/f8" | tail -n 1)"

# While the line may be shown, zero-copy calls move 64 MiB at most.
truncate -s 200M "$work/sparse"
at_terminal "\"$TANDRO\" -T $work/sparse >$work/out"
expect_match "a 200 MiB file to a file: 4 zero-copy calls with the line" \
    '^CPU Copies: 0 - 4  ' "$(grep -a 'CPU Copies' "$work/seen")"
at_terminal "\"$TANDRO\" -T $work/sparse >$work/out 2>$work/err"
expect_match "and 1 without it" '^CPU Copies: 0 - 1  ' "$(cat "$work/err")"

for case in "$slow 1.5 64 | \"$TANDRO\" -T -" \
    "$slow 1.5 | \"$TANDRO\" - >$work/out" \
    "$slow 1.5 | \"$TANDRO\" -T - >$work/out &" \
    "$slow 1.5 | \"$TANDRO\" -T - >$work/out 2>$work/err"; do
    at_terminal "$case"
    expect_eq "no line: $case" "" "$(draws -)"
done
expect_eq "no line in a redirected standard error" "" "$(tr -cd '\r' <"$work/err")"

finish
