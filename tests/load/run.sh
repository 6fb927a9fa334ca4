#!/usr/bin/env bash
# Load runs outside CI (make load): many operands in one run, many tiny files
# over many runs, a 5 GiB sparse file, a slow producer into a slow consumer.
# Each checks the output byte for byte, prints the peak resident set size,
# and the long run checks that descriptors do not pile up.
# Usage: run.sh TANDRO   (the staged program; the 32-bit one runs under qemu)
set -u
tandro=${1:?usage: run.sh TANDRO}
work=$(mktemp -d "${TMPDIR:-/tmp}/tandro-load.XXXXXX")
trap 'exec 4>&- 5>&-; rm -rf "$work"' EXIT
failed=0
passed=0
check() { # check NAME CONDITION-STATUS
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        printf 'ok    %s\n' "$1"
    else
        failed=$((failed + 1))
        printf 'FAIL  %s\n' "$1"
    fi
}
# peak KIB-FILE: the "Maximum resident set size" GNU time wrote. It covers
# both processes: wait4 folds the waited-for child into the first one.
peak() { sed -n 's/.*Maximum resident set size (kbytes): //p' "$1"; }

# The working process is the child of the one we started.
child_of() { cat "/proc/$1/task/$1/children" 2>/dev/null | awk '{print $1}'; }
fd_count() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

echo "== 10,000 operands in one run, descriptors counted at the 2nd and the 9,999th"
mkdir "$work/many"
for i in $(seq 1 10000); do printf '%05d\n' "$i" >"$work/many/f$i"; done
mkfifo "$work/many/p1" "$work/many/p2"
ops=("$work/many/f1" "$work/many/p1")
for i in $(seq 2 9998); do ops+=("$work/many/f$i"); done
ops+=("$work/many/p2" "$work/many/f9999" "$work/many/f10000")
/usr/bin/time -v -o "$work/time1" "$tandro" "${ops[@]}" >"$work/out1" 2>"$work/err1" &
pid=$!
# Opening the write side returns once the program has opened the FIFO; it
# then waits on it (EAGAIN), holding every descriptor it has at that point.
exec 4>"$work/many/p1"
worker=$(child_of "$(child_of $pid)")
early=$(fd_count "$worker")
printf 'p1\n' >&4
exec 4>&-
exec 5>"$work/many/p2"
late=$(fd_count "$worker")
printf 'p2\n' >&5
exec 5>&-
wait $pid
rc=$?
{
    printf '00001\np1\n'
    seq -f '%05g' 2 9998
    printf 'p2\n09999\n10000\n'
} >"$work/want1"
check "10,000 operands: status 0 (got $rc)" $rc
cmp -s "$work/want1" "$work/out1"
check "10,000 operands: output byte-exact" $?
check "10,000 operands: open descriptors $early at the start, $late near the end" \
    "$([ -n "$early" ] && [ "$early" = "$late" ] && echo 0 || echo 1)"
echo "      peak RSS $(peak "$work/time1") KiB"

echo "== 100,000 tiny files, 1,000 operands per run"
mkdir "$work/tiny"
(cd "$work/tiny" && seq 1 100000 | awk '{ f = "t" $1; print $1 > f; close(f) }')
# Written back first: the program syncs each input it closes, and 100,000
# dirty files would measure the disk rather than the program.
sync
start=$(date +%s)
(cd "$work/tiny" && seq -f 't%g' 1 100000 | xargs -n 1000 "$tandro") >"$work/out2" 2>"$work/err2"
rc=$?
check "100,000 tiny files: every run status 0 (xargs $rc)" $rc
seq 1 100000 | cmp -s - "$work/out2"
check "100,000 tiny files: output byte-exact" $?
check "100,000 tiny files: no message" "$([ -s "$work/err2" ] && echo 1 || echo 0)"
echo "      $(($(date +%s) - start)) s for 100 runs"
rm -rf "$work/tiny"

echo "== a 5 GiB sparse file with data at the chunk and 4 GiB boundaries"
sparse=$work/sparse
truncate -s 5G "$sparse"
for off in 0 2147479552 4294967296 5368709100; do
    printf 'marker at %d\n' "$off" | dd of="$sparse" bs=1 seek="$off" conv=notrunc status=none
done
truncate -s 5G "$sparse"
start=$(date +%s)
/usr/bin/time -v -o "$work/time3" "$tandro" "$sparse" 2>"$work/err3" | cmp - "$sparse"
st=("${PIPESTATUS[@]}")
check "5 GiB sparse file to a pipe: status ${st[0]}, output byte-exact" $((st[0] + st[1]))
echo "      $(($(date +%s) - start)) s, peak RSS $(peak "$work/time3") KiB"
cat "$sparse" | /usr/bin/time -v -o "$work/time4" "$tandro" 2>"$work/err4" | cmp - "$sparse"
st=("${PIPESTATUS[@]}")
check "5 GiB through standard input, pipe to pipe: status ${st[1]}, byte-exact" $((st[1] + st[2]))
echo "      peak RSS $(peak "$work/time4") KiB"
rm -f "$sparse"

echo "== a slow producer into a slow consumer (20 MiB)"
head -c 20971520 /dev/urandom >"$work/slow"
if command -v pv >/dev/null; then
    producer() { pv -q -L 4m "$work/slow"; }
    consumer() { pv -q -L 3m; }
else
    producer() { for i in $(seq 0 319); do dd if="$work/slow" bs=65536 skip="$i" count=1 status=none; sleep 0.02; done; }
    consumer() {
        while dd bs=65536 count=1 iflag=fullblock status=none >"$work/chunk" && [ -s "$work/chunk" ]; do
            cat "$work/chunk"
            sleep 0.03
        done
    }
fi
start=$(date +%s)
producer | /usr/bin/time -v -o "$work/time5" "$tandro" 2>"$work/err5" | consumer | cmp - "$work/slow"
st=("${PIPESTATUS[@]}")
check "slow producer, slow consumer: status ${st[1]}, byte-exact" $((st[1] + st[3]))
echo "      $(($(date +%s) - start)) s, peak RSS $(peak "$work/time5") KiB"

printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
