#!/usr/bin/env bash
# Job control at a real terminal (a tmux pane): the interrupt key ends the
# child and the first process reports it; the stop key stops only the child;
# tostop is off while the child runs and back on afterwards.
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
has_marker() { tr '\0' '\n' <"/proc/$1/environ" 2>/dev/null | grep -q '^self_relocate=.'; }
# The first process (the shell's child) and the child that runs the program.
find_pair() {
    local p c
    for p in $(children "$shell"); do
        for c in $(children "$p"); do
            if has_marker "$c" && ls -l /proc/"$c"/fd/0 2>/dev/null | grep -qF "$tty"; then
                first=$p
                child=$c
                return 0
            fi
        done
    done
    return 1
}
tostop() { stty -a -F "$tty" | grep -o -- '-\?tostop'; }
file_has() { [ -s "$1" ] && grep -qF -- "$2" "$1"; }

# Type a command line into the pane.
type_line() {
    tm send-keys -t jc -l "$1"
    tm send-keys -t jc Enter
}

type_line "stty tostop; \"$TANDRO\" 2>$work/err1; echo \$? >$work/rc1"
first='' child=''
until_ok find_pair
expect_eq "interrupt: two processes on the terminal" 1 "$([ -n "$child" ] && echo 1)"
expect_eq "tostop cleared while the child runs" "-tostop" "$(tostop)"
tm send-keys -t jc C-c
until_ok [ -s "$work/rc1" ]
expect_eq "interrupt: status" 130 "$(cat "$work/rc1")"
expect_eq "interrupt: message" "tandro: tandro terminated with signal 2 (Interrupt)." \
    "$(cat "$work/err1")"
expect_eq "tostop set again afterwards" "tostop" "$(tostop)"

type_line "\"$TANDRO\" 2>$work/err2; echo \$? >$work/rc2"
first='' child=''
until_ok find_pair
tm send-keys -t jc C-z
until_ok file_has "$work/err2" "stoped by signal"
stopped=$(cat "$work/err2")
expect_eq "stop: message" "tandro: tandro stoped by signal 20 (Stopped)." "$stopped"
expect_eq "stop: the child is stopped" T "$(awk '{print $3}' /proc/"$child"/stat)"
expect_eq "stop: the first process waits on" 1 "$(kill -0 "$first" && [ ! -s "$work/rc2" ] && echo 1)"
expect_eq "stop: tostop still cleared while the first process waits" "-tostop" "$(tostop)"

kill -CONT "$child"
until_ok file_has "$work/err2" "continued"
expect_eq "continue: message" "tandro: tandro stoped by signal 20 (Stopped).
tandro: tandro continued by signal 18 (Continued)." "$(cat "$work/err2")"
# Still in the foreground: it reads the terminal and ends at end of input.
tm send-keys -t jc -l "typed after the stop"
tm send-keys -t jc Enter C-d
until_ok [ -s "$work/rc2" ]
expect_eq "continue: status after end of input" 0 "$(cat "$work/rc2")"
expect_match "continue: the typed line was copied" "typed after the stop" \
    "$(tm capture-pane -p -t jc)"

finish
