#!/usr/bin/env bash
# Load runs outside CI (make load): many operands in one run, many tiny files
# over many runs, a 5 GiB sparse file, a slow producer into a slow consumer.
# Each checks the output byte for byte and prints the peak resident set size
# (GNU time's, which folds the waited-for child into the first process).
# Usage: run.sh TANDRO   (the staged program)
set -u
tandro=$(realpath "${1:?usage: run.sh TANDRO}")
work=$(mktemp -d "${TMPDIR:-/tmp}/tandro-load.XXXXXX")
trap 'exec 4>&- 5>&-; rm -rf "$work"' EXIT
failed=0
# check NAME COMMAND...: runs COMMAND, a failure fails the load run.
check() {
    local name=$1
    shift
    if "$@"; then echo "ok    $name"; else echo "FAIL  $name" && failed=$((failed + 1)); fi
}
peak() { echo "      peak RSS $(sed -n 's/.*Maximum resident set size (kbytes): //p' "$1") KiB"; }
timed() { /usr/bin/time -v -o "$work/time" "$tandro" "$@"; }
child_of() { awk '{print $1}' "/proc/$1/task/$1/children" 2>/dev/null; }
fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 -printf x | wc -c; }

echo "== 10,000 operands in one run, descriptors counted at the 2nd and the 9,999th"
mkdir "$work/many" && cd "$work/many" || exit 1
seq -f '%05g' 10000 | awk '{ f = "f" $1 + 0; print > f; close(f) }'
mkfifo p1 p2
/usr/bin/time -v -o "$work/time" "$tandro" f1 p1 $(seq -f 'f%g' 2 9998) p2 f9999 f10000 >../out1 &
pid=$!
# Opening the write side returns once the program has opened the FIFO; it
# then waits on it, holding every descriptor it has at that point.
exec 4>p1
worker=$(child_of "$(child_of $pid)")
early=$(fds "$worker")
echo p1 >&4 && exec 4>&-
exec 5>p2
late=$(fds "$worker")
echo p2 >&5 && exec 5>&-
check "10,000 operands: status 0" wait $pid
check "10,000 operands: byte-exact" cmp -s ../out1 <(echo 00001; echo p1; seq -f '%05g' 2 9998; echo p2; seq -f '%05g' 9999 10000)
check "10,000 operands: $early descriptors at the start, $late near the end" test -n "$early" -a "$early" = "$late"
peak "$work/time"

echo "== 100,000 tiny files, 1,000 operands per run"
mkdir "$work/tiny" && cd "$work/tiny" || exit 1
seq 100000 | awk '{ f = "t" $1; print > f; close(f) }'
sync # the program syncs each input it closes: dirty files would time the disk
start=$SECONDS
check "100,000 tiny files: every run status 0" eval 'seq -f "t%g" 100000 | xargs -n 1000 "$tandro" >../out2 2>../err2'
check "100,000 tiny files: byte-exact, no message" eval 'seq 100000 | cmp -s - ../out2 && [ ! -s ../err2 ]'
echo "      $((SECONDS - start)) s for 100 runs"
cd "$work" && rm -rf tiny

echo "== a 5 GiB sparse file with data at the chunk and 4 GiB boundaries"
truncate -s 5G sparse
for off in 0 2147479552 4294967296 5368709100; do
    echo "marker at $off" | dd of=sparse bs=1 seek="$off" conv=notrunc status=none
done
truncate -s 5G sparse
check "5 GiB sparse file to a pipe: byte-exact" eval 'timed sparse | cmp - sparse && [ "${PIPESTATUS[0]}" = 0 ]'
peak "$work/time"
check "5 GiB pipe to pipe: byte-exact" eval 'cat sparse | timed | cmp - sparse && [ "${PIPESTATUS[1]}" = 0 ]'
peak "$work/time"
rm -f sparse

echo "== a slow producer into a slow consumer (20 MiB)"
if command -v pv >/dev/null; then
    head -c 20971520 /dev/urandom >slow
    check "slow producer, slow consumer: byte-exact" eval 'pv -q -L 4m slow | timed | pv -q -L 3m | cmp - slow && [ "${PIPESTATUS[1]}" = 0 ]'
    peak "$work/time"
else
    echo "SKIP  pv is not installed (scripts/install-deps.sh --bench)"
fi

[ "$failed" -eq 0 ]
