#!/usr/bin/env bash
# Start-up relocation seen from outside: the child's environment, the statuses
# the first process passes on, its messages, one-process runs, and -m.
source "$(dirname "$0")/lib.sh"

real=$(cd "$work" && pwd -P)
stage_man="$STAGE/usr/share/man"

# install_tree DIR/usr/bin DIR/usr/lib: a copy of the program and its library.
install_tree() {
    mkdir -p "$1" "$2"
    cp "$TANDRO" "$1/"
    cp "$STAGE"/usr/lib/*.so "$2/"
}

# The child of $1 that runs the program (its environment has the marker).
marked_child() {
    local pid
    for pid in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -q '^self_relocate=.' && echo "$pid" && return 0
    done
    return 1
}
find_child() { until_ok marked_child "$1"; }
# wait_open PID FILE: until process PID has FILE open.
has_open() { ls -l /proc/"$1"/fd 2>/dev/null | grep -qF -- "-> $2"; }
wait_open() { until_ok has_open "$@"; }

# child_env NAME CMD...: runs CMD with the operand $work/fifo, saves the child's
# environment in $work/NAME.env while the child blocks reading the FIFO, then
# feeds it; leaves the status in $rc. The test holds the FIFO open for reading
# and writing, so no open of it ever blocks and no written byte is lost.
child_env() {
    local name=$1 first child
    shift
    rm -f "$work/fifo" && mkfifo "$work/fifo"
    exec 3<>"$work/fifo"
    "$@" "$work/fifo" 3>&- >"$work/out" 2>"$work/err" &
    first=$!
    : >"$work/$name.env"
    if child=$(find_child "$first") && wait_open "$child" "$work/fifo"; then
        tr '\0' '\n' <"/proc/$child/environ" | sort >"$work/$name.env"
    fi
    printf 'through the fifo\n' >&3
    exec 3>&-
    wait "$first"
    rc=$?
}

# env_of NAME VAR: the value of VAR in the saved environment, or <unset>.
env_of() {
    local line
    line=$(grep "^$2=" "$work/$1.env") || {
        echo "<unset>"
        return
    }
    printf '%s' "${line#*=}"
}

# --- A tree unpacked under a directory: product directory and root entries.
tree="$real/tree"
prod="$tree/opt/qor/vanto/rte"
install_tree "$prod/usr/bin" "$prod/usr/lib"
child_env tree env -i PATH=/usr/bin:/bin ETCPATH=/e "$prod/usr/bin/tandro"
expect_eq "tree: status, data copied by the child, stderr" "0:through the fifo:" \
    "$rc:$(cat "$work/out"):$(cat "$work/err")"
expect_eq "tree: marker is the root" "$tree/" "$(env_of tree self_relocate)"
expect_eq "tree: PATH" "$prod/usr/bin/:$tree/usr/bin/:/usr/bin:/bin" "$(env_of tree PATH)"
expect_eq "tree: LD_LIBRARY_PATH" "$prod/usr/lib/:$tree/usr/lib/" "$(env_of tree LD_LIBRARY_PATH)"
expect_eq "tree: NLSPATH" "$prod/usr/share/locale/%L/%N:$tree/usr/share/locale/%L/%N" \
    "$(env_of tree NLSPATH)"
expect_eq "tree: MANPATH" "$prod/usr/share/man/:$tree/usr/share/man/" "$(env_of tree MANPATH)"
expect_eq "tree: ETCPATH" "$prod/etc.d:$prod/etc:$tree/etc.d:$tree/etc:/e" "$(env_of tree ETCPATH)"
expect_eq "tree: LIBC_FATAL_STDERR_" 1 "$(env_of tree LIBC_FATAL_STDERR_)"

# --- Started by a bare name through a link in PATH, with an alternate root;
# an empty marker counts as unset.
mkdir -p "$real/links"
ln -s "$prod/usr/bin/tandro" "$real/links/td"
child_env alt env -i PATH="$real/links:/usr/bin:/bin" self_altpath=alt/ self_relocate= td
expect_eq "alt: status" 0 "$rc"
expect_eq "alt: PATH" "$prod/usr/bin/:$tree/usr/bin/:$tree/alt/usr/bin/:$real/links:/usr/bin:/bin" \
    "$(env_of alt PATH)"
expect_eq "alt: MANPATH" "$prod/usr/share/man/:$tree/usr/share/man/:$tree/alt/usr/share/man/" \
    "$(env_of alt MANPATH)"
expect_eq "alt: ETCPATH has no alternate entry" "$prod/etc.d:$prod/etc:$tree/etc.d:$tree/etc" \
    "$(env_of alt ETCPATH)"
expect_eq "alt: marker" "$tree/" "$(env_of alt self_relocate)"

# --- The runtime layout under usr/lpp: the marker is the product directory.
lpp="$real/rte/usr/lpp/vanto"
install_tree "$lpp/bin" "$lpp/lib"
child_env lpp env -i PATH=/bin "$lpp/bin/tandro"
expect_eq "lpp: status" 0 "$rc"
expect_eq "lpp: marker is the product directory" "$lpp/" "$(env_of lpp self_relocate)"
expect_eq "lpp: PATH" "$lpp/usr/bin/:$real/rte/usr/bin/:/bin" "$(env_of lpp PATH)"

# --- Markers set from outside: one process, nothing changed. "2" sets no
# return point, any other text returns at once.
for marker in 2 1; do
    rm -f "$work/fifo" && mkfifo "$work/fifo"
    exec 3<>"$work/fifo"
    env -i PATH=/usr/bin:/bin self_relocate=$marker "$TANDRO" "$work/fifo" 3>&- >"$work/out" &
    pid=$!
    wait_open "$pid" "$work/fifo"
    expect_eq "marker $marker: the process itself reads" 0 "$?"
    expect_eq "marker $marker: no child process" "" "$(cat /proc/$pid/task/*/children)"
    expect_eq "marker $marker: PATH untouched" "PATH=/usr/bin:/bin" \
        "$(tr '\0' '\n' <"/proc/$pid/environ" | grep '^PATH=')"
    printf 'one\n' >&3
    exec 3>&-
    wait "$pid"
    expect_eq "marker $marker: status and data" 0:one "$?:$(cat "$work/out")"
done

# Other statuses of the child come back unchanged and without a message:
# the option and operand tests pin the status and text of each.
printf 'data\n' >"$work/data"

# --- A child killed by SIGTERM: 143 and the message.
rm -f "$work/fifo" && mkfifo "$work/fifo"
"$TANDRO" "$work/fifo" >"$work/out" 2>"$work/err" &
first=$!
if child=$(find_child "$first"); then
    kill -TERM "$child"
fi
wait "$first"
expect_eq "SIGTERM: status" 143 "$?"
expect_eq "SIGTERM: message" "tandro: tandro terminated with signal 15 (Terminated)." \
    "$(cat "$work/err")"

# --- execve and fork failing, injected where strace can trace us.
if command -v strace >/dev/null && strace -f -qq -o /dev/null true 2>/dev/null; then
    run strace -f -qq -o /dev/null -e trace=execve -e inject=execve:error=ENOENT:when=1 \
        "$TANDRO" "$work/data"
    expect_eq "execve fails: status" 127 "$rc"
    expect_eq "execve fails: message" \
        "tandro: execve(tandro) failed:  rc -1  errno 2 No such file or directory" \
        "$(cat "$work/err")"
    expect_eq "execve fails: nothing copied" "" "$(cat "$work/out")"
    # Only the fork's clone: qemu-user starts its own threads with clone3.
    run strace -f -qq -o /dev/null -e trace=clone,fork,vfork \
        -e inject=clone,fork,vfork:error=ENOMEM:when=1 "$TANDRO" "$work/data"
    expect_eq "fork fails: runs in one process" "0:data" "$rc:$(cat "$work/out")"
    expect_eq "fork fails: message" \
        "tandro: fork(tandro) failed: rc -1  errno 12 Cannot allocate memory" \
        "$(cat "$work/err")"
else
    echo "SKIP: strace cannot trace here; execve and fork failures not injected"
fi

# --- A file the loader can run but execve cannot: started through the dynamic
# loader, the child's execve of the same file fails without injection.
if m32; then loader=/lib/ld-linux.so.2; else loader=$(ls /lib64/ld-linux-*.so.* 2>/dev/null | head -1); fi
if [ -n "$loader" ] && [ -x "$loader" ]; then
    cp -r "$prod" "$real/noexec"
    chmod a-x "$real/noexec/usr/bin/tandro"
    run "$loader" "$real/noexec/usr/bin/tandro" "$work/data"
    expect_eq "execve refused: status" 127 "$rc"
    expect_eq "execve refused: message" \
        "tandro: execve(tandro) failed:  rc -1  errno 13 Permission denied" "$(cat "$work/err")"
else
    echo "SKIP: no dynamic loader to start a non-executable copy"
fi

# --- -m and -man: the viewer gets the name, and MANPATH starts with the tree's pages.
mkdir -p "$real/fakebin"
cat >"$real/fakebin/man" <<EOF
#!/bin/sh
{ printf '%s\n' "\$#"; for a; do printf '[%s]\n' "\$a"; done; printf 'MANPATH=%s\n' "\$MANPATH"; } >"$work/man.record"
EOF
chmod +x "$real/fakebin/man"
# A later -q stays unread: the page ends the run before it.
for opt in -m -man; do
    rm -f "$work/man.record"
    run env PATH="$real/fakebin:/usr/bin:/bin" MANPATH=/elsewhere "$TANDRO" "$opt" -q
    expect_eq "$opt: status, no message" 0: "$rc:$(cat "$work/err")"
    expect_eq "$opt: viewer's arguments" $'1\n[tandro]' "$(head -2 "$work/man.record")"
    expect_match "$opt: MANPATH starts with the tree" "^MANPATH=$STAGE/usr/share/man/:.*:/elsewhere\$" \
        "$(tail -1 "$work/man.record")"
done
# The child gets the first process's argv[0], so a link's name reaches the viewer.
ln -s "$TANDRO" "$real/links/other name"
rm -f "$work/man.record"
run env PATH="$real/fakebin:/usr/bin:/bin" "$real/links/other name" -m
expect_eq "-m under a name with a blank" $'1\n[other name]' "$(head -2 "$work/man.record")"

# The real viewer finds the page through the tree's MANPATH alone.
if command -v man >/dev/null; then
    run env MANPATH=/nonexistent MANPAGER=cat MANWIDTH=80 "$TANDRO" -m
    expect_eq "man: status" 0 "$rc"
    expect_match "man: the page of the tree" "tandro - concatenate files" "$(cat "$work/out")"
    for page in "$stage_man"/man1/*.1; do
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        expect_eq "no roff warnings in $(basename "$page")" "" "$warnings"
    done
else
    echo "SKIP: man is not installed"
fi

finish
