#!/usr/bin/env bash
# Job control at a real terminal (a tmux pane): the interrupt key ends the child
# and the first process reports it; the stop key stops the job and gives the
# shell its prompt back, fg finishes the copy; tostop is off while the child runs.
source "$(dirname "$0")/lib.sh"

command -v tmux >/dev/null || skip_all "tmux is not installed; job control not tested"

tm() { tmux -S "$work/tmux.sock" "$@"; }
trap 'tm kill-server 2>/dev/null; rm -rf "$work"' EXIT
tm new-session -d -s jc -x 120 -y 30 \
    "env -i PATH=/usr/bin:/bin TERM=xterm HOME=$work bash --norc --noprofile"
tty=$(tm display -p -t jc '#{pane_tty}')
shell=$(tm display -p -t jc '#{pane_pid}')

children() { cat /proc/"$1"/task/*/children 2>/dev/null; }
# The first process (the shell's child) and its child that runs the program.
find_pair() {
    for first in $(children "$shell"); do
        for child in $(children "$first"); do
            tr '\0' '\n' <"/proc/$child/environ" | grep -q '^self_relocate=.' && return 0
        done
    done
    return 1
}
state() { awk '{print $3}' /proc/"$1"/stat; }
tostop() { stty -a -F "$tty" | grep -o -- '-\?tostop'; }
has() { grep -qF -- "$2" "$1" 2>/dev/null; }
type_line() { tm send-keys -t jc -l "$1" && tm send-keys -t jc Enter; }

# Killed by SIGINT as cat would be, the run also ends the rest of the shell's line.
type_line "stty tostop; \"$TANDRO\" 2>$work/err1; echo >$work/rest"
until_ok find_pair
expect_eq "tostop cleared while the child runs" "-tostop" "$(tostop)"
tm send-keys -t jc C-c
type_line "echo \$? >$work/rc1"
until_ok [ -s "$work/rc1" ]
expect_eq "interrupt: status, no message (the shell's silence), the line ended, tostop set again" \
    "130  no-rest tostop" \
    "$(cat "$work/rc1") $(cat "$work/err1") $([ -e "$work/rest" ] || echo no-rest) $(tostop)"

# The stop key stops the whole job and the shell answers the next line; fg
# continues it; a plain SIGSTOP of the child is reported and waited for.
type_line "\"$TANDRO\" >$work/out 2>$work/err2"
until_ok find_pair
type_line "before"
until_ok has "$work/out" "before"
tm send-keys -t jc C-z
until_ok has "$work/err2" "stoped"
type_line "echo prompt >$work/prompt"
until_ok [ -s "$work/prompt" ]
expect_eq "stop: the shell's prompt back, both processes stopped" "prompt T T" \
    "$(cat "$work/prompt") $(state "$first") $(state "$child")"
type_line "fg"
until_ok has "$work/err2" "continued"
kill -STOP "$child"
until_ok has "$work/err2" "signal 19"
expect_eq "SIGSTOP: the first process waits on" S "$(state "$first")"
kill -CONT "$child"
until_ok eval '[ "$(grep -c continued "$work/err2")" = 2 ]'
type_line "after"
tm send-keys -t jc C-d
type_line "echo \$? >$work/rc2"
until_ok [ -s "$work/rc2" ]
expect_eq "fg: status and the copy" $'0:before\nafter' "$(cat "$work/rc2"):$(cat "$work/out")"
cont="tandro: tandro continued by signal 18 (Continued)."
expect_eq "one message per stop and continuation" "tandro: tandro stoped by signal 20 (Stopped).
$cont
tandro: tandro stoped by signal 19 (Stopped (signal)).
$cont" "$(cat "$work/err2")"

# In the background the bit is cleared while the child runs, so that its
# output, or its message from inside a pipeline, reaches the terminal instead
# of stopping the job; it is set again at the end.
printf 'a\nb\n' >"$work/small"
type_line "\"$TANDRO\" $work/small & wait \$!; \"$TANDRO\" $work/none | cat & wait \$!; echo \$? \$(stty -a | grep -o -- '-\\?tostop') >$work/rc3"
until_ok [ -s "$work/rc3" ]
expect_eq "background: neither job is stopped, tostop set again" "0 tostop" "$(cat "$work/rc3")"

# A pager, or any reader that puts the terminal in raw mode, owns it while the
# copy runs: once it quits, the terminal has the modes from before the run,
# every time. Only tostop is ours, and it is left alone in a foreground pipeline.
seq 3000000 >"$work/big"
raw_reader="python3 -c 'import sys, termios, tty; f = open(\"/dev/tty\"); s = termios.tcgetattr(f); tty.setraw(f); f.read(1); termios.tcsetattr(f, termios.TCSANOW, s)'"
before=$(stty -a -F "$tty")
# The reader runs and has the terminal raw (the shell's own line editing is off by then).
reader_raw() {
    for c in $(children "$shell"); do
        case $(cat /proc/"$c"/comm 2>/dev/null) in
        less | python3*) stty -a -F "$tty" | grep -q -- -icanon && return 0 ;;
        esac
    done
    return 1
}
# The shell reads its next line: its process group has the terminal and its
# line editor has switched canonical mode off again (it puts its own modes back
# after a job killed by a signal, before reading the next line).
shell_has_terminal() {
    [ "$(ps -o tpgid= -p "$shell" | tr -d ' ')" = "$shell" ] &&
        stty -a -F "$tty" | grep -q -- -icanon
}
for reader in less "$raw_reader"; do
    for try in 1 2 3 4 5 6 7 8 9 10; do
        rm -f "$work/read"
        type_line "\"$TANDRO\" $work/big | $reader; echo >$work/read"
        until_ok reader_raw
        tm send-keys -t jc q
        until_ok [ -e "$work/read" ]
        until_ok shell_has_terminal
        expect_eq "modes after ${reader%% *}, try $try" "$before" "$(stty -a -F "$tty")"
    done
done

finish
