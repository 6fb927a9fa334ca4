#!/usr/bin/env bash
# Job control at a real terminal (a tmux pane): the interrupt key ends the child
# and the first process reports it; the stop key stops the job and gives the
# shell its prompt back, fg finishes the copy; tostop is off while the child runs.
source "$(dirname "$0")/lib.sh"

command -v tmux >/dev/null || skip_all "tmux is not installed; job control not tested"

sock="$work/tmux.sock"
tm() { tmux -S "$sock" "$@"; }
trap 'tm kill-server 2>/dev/null; rm -rf "$work"' EXIT
tm new-session -d -s jc -x 120 -y 30 \
    "env -i PATH=/usr/bin:/bin TERM=xterm HOME=$work bash --norc --noprofile"
tty=$(tm display -p -t jc '#{pane_tty}')
shell=$(tm display -p -t jc '#{pane_pid}')

children() { cat /proc/"$1"/task/*/children 2>/dev/null; }
# The first process (the shell's child) and its child that runs the program.
find_pair() {
    local p c
    for p in $(children "$shell"); do
        for c in $(children "$p"); do
            first=$p child=$c
            tr '\0' '\n' <"/proc/$c/environ" | grep -q '^self_relocate=.' && return 0
        done
    done
    return 1
}
state() { awk '{print $3}' /proc/"$1"/stat; }
tostop() { stty -a -F "$tty" | grep -o -- '-\?tostop'; }
file_has() { grep -qF -- "$2" "$1" 2>/dev/null; }
type_line() { tm send-keys -t jc -l "$1" && tm send-keys -t jc Enter; }
stop_msg() { echo "tandro: tandro stoped by signal $1 ($2)."; }
cont_msg="tandro: tandro continued by signal 18 (Continued)."

type_line "stty tostop; \"$TANDRO\" 2>$work/err1; echo \$? >$work/rc1"
until_ok find_pair
expect_eq "tostop cleared while the child runs" "-tostop" "$(tostop)"
tm send-keys -t jc C-c
until_ok [ -s "$work/rc1" ]
expect_eq "interrupt: status and message" \
    "130 tandro: tandro terminated with signal 2 (Interrupt)." "$(cat "$work/rc1") $(cat "$work/err1")"
expect_eq "tostop set again afterwards" "tostop" "$(tostop)"

# The stop key: the whole job stops and the shell answers the next line.
type_line "\"$TANDRO\" >$work/out 2>$work/err2"
until_ok find_pair
type_line "before"
until_ok file_has "$work/out" "before"
tm send-keys -t jc C-z
until_ok file_has "$work/err2" "stoped"
type_line "echo prompt >$work/prompt"
until_ok [ -s "$work/prompt" ]
expect_eq "stop: the shell has its prompt, both processes stopped" "prompt T T" \
    "$(cat "$work/prompt") $(state "$first") $(state "$child")"

# fg continues the job; a plain SIGSTOP of the child is reported and waited for.
type_line "fg"
until_ok file_has "$work/err2" "continued"
kill -STOP "$child"
until_ok file_has "$work/err2" "stoped by signal 19"
expect_eq "SIGSTOP: the first process waits on" S "$(state "$first")"
kill -CONT "$child"
until_ok [ "$(grep -c continued "$work/err2")" = 2 ]
type_line "after"
tm send-keys -t jc C-d
type_line "echo \$? >$work/rc2"
until_ok [ -s "$work/rc2" ]
expect_eq "fg: status and the copy" "0:before
after" "$(cat "$work/rc2"):$(cat "$work/out")"
expect_eq "fg: one message per stop and continuation" \
    "$(stop_msg 20 Stopped)
$cont_msg
$(stop_msg 19 'Stopped (signal)')
$cont_msg" "$(cat "$work/err2")"

finish
