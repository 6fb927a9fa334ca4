#!/bin/bash
# Record files: the per-file dispatch, every stage of the block copier, the
# cached and line-buffered record copiers, driver settings carried from one
# name to the next, failures and the operands after them.
source "$(dirname "$0")/lib.sh"
export LC_ALL=C
pty_run="$TOOLS/pty_run"
cd "$work" || exit 1

printf 'alpha\nbeta\n\ngamma\n' >text
awk '{ printf "%-8s\n", $0 }' text >text8       # the records as 8-byte lines
awk '{ printf "%-8s", $0 }' text >raw8          # the same without line ends
sort text >sorted
"$vfsmake" -i text umb,recfm=v:umbv.raw          # the data of umbv without our header
"$vfsmake" -i text umb,recfm=v,header:umbv
"$vfsmake" -i text tev,header:tev
"$vfsmake" -i text dox,recfm=v,header:doxv
"$vfsmake" -i text dox,recfm=fb,lrecl=8,header:doxf
"$vfsmake" -i text umb,lrecl=8:fixed             # raw fixed records, no header
"$vfsmake" -i text dox,recfm=v:doxv.bare
"$vfsmake" -i text yar:yar
"$vfsmake" -i text yar,order=be:yarbe            # the other byte order: not native
{ cat raw8; echo; } >raw8nl

copier_of() { grep -E '^(fast|block|line) buffering file ' "$work/err"; }

# Dispatch: operand|the file's driver|copier|expected output, checked with
# the per-file -v lines.
hint="Specify record length (-l<reclen>) to get formatted output."
while IFS='|' read -r name driver copier expect; do
    file=${name#*:}
    run "$TANDRO" -v "$name"
    [ "$name" = dox:fixed ] && copier="$hint
$copier"
    expect_eq "$name: status" 0 "$rc"
    expect_eq "$name: -v" "Resolving... $name
Concatenating file vfs_$driver-$file
$copier buffering file $file" "$(cat "$work/err")"
    expect_same_file "$name: bytes" "$expect" "$work/out"
done <<'EOF'
umbv|umb|fast|umbv.raw
tev|tev|fast|text
doxv|dox|block|text
doxf|dox|block|text8
dox:fixed|dox|fast|raw8nl
yar|yar|block|sorted
yarbe|yar|line|sorted
EOF

# Fixed records without a length become lines with -l 80 (and -r f -l 80).
head -c 80000 /dev/urandom | tr -c 'a-z' 'a-z' >chunks
{ fold -w 80 chunks; echo; } >chunks80
"$vfsmake" -c 80 -i chunks umb,lrecl=80:f80
for opts in "-l 80" "-r f -l 80"; do
    run "$TANDRO" -v $opts -T dox:f80
    expect_eq "-l 80 ($opts): copier" "block buffering file f80" "$(copier_of)"
    expect_same_file "-l 80 ($opts): lines" chunks80 "$work/out"
    expect_match "-l 80 ($opts): from the cache" "3/4 - 1000  4/5 - 0" "$(cat "$work/err")"
done
run "$TANDRO" -T dox:f80
{ cat chunks; echo; } >chunksnl
expect_same_file "without -l: raw bytes and one newline" chunksnl "$work/out"
expect_match "without -l: one splice" "CPU Copies: 0 - 1  3/4 - 0  4/5 - 0" "$(cat "$work/err")"
expect_match "without -l: both copies and the newline counted" "I/O: 156\.25KiB" "$(cat "$work/err")"

# The block copier's stages, each byte-exact, for a 300 kB record-sequential file.
head -c 300000 /dev/urandom >data
"$vfsmake" -c 100 -i data umb,lrecl=100,header:big
check_stage() { # NAME TRACE EXPECTED_FILE
    expect_eq "$1: status" 0 "$rc"
    expect_eq "$1: trace" "$2" "$(trace_of)"
    expect_same_file "$1: bytes" "$3" "$work/got"
}
"$TANDRO" -v -v big 2>"$work/err" | cat >"$work/got"
rc=${PIPESTATUS[0]}
check_stage "pipe" "splice big" data
# The header makes the input longer than its data: the reserved tail is cut.
"$TANDRO" -v -v big >"$work/got" 2>"$work/err"
rc=$?
check_stage "regular file" "copy_file_range big" data
"$pty_run" -o "$TANDRO" -v -v big >"$work/got" 2>"$work/err"
rc=$?
check_stage "terminal" "copy_file_range big
sendfile big" data
printf 'head\n' >"$work/got"
{ printf 'head\n'; cat data; } >headdata
"$TANDRO" -v -v -T big >>"$work/got" 2>"$work/err"
rc=$?
check_stage "appending file: cache walk" "copy_file_range big
sendfile big
Fall_Back big" headdata
expect_match "cache walk: one block, no zero-copy" "CPU Copies: 0 - 0  3/4 - 2  4/5 - 0" "$(cat "$work/err")"

# Records crossing the 256 KiB cache buffer: the 10,000-byte one is read at
# 4096, 8192 and 16384 bytes.
{
    awk 'BEGIN { for (i = 0; i < 2600; i++) printf "%05d%090d\n", i, 0 }'
    head -c 10000 /dev/zero | tr '\0' L
    printf '\n\ntail\n'
} >long
"$vfsmake" -i long dox,recfm=v:long.dox
run "$TANDRO" -T dox,recfm=v:long.dox
expect_same_file "long record: lines" long "$work/out"
expect_match "long record: three reads" "3/4 - 2602  4/5 - 3" "$(cat "$work/err")"
: >empty
"$vfsmake" -i empty dox,recfm=v,header:doxempty
run "$TANDRO" -T doxempty
expect_eq "empty file: nothing out" "0" "$(wc -c <"$work/out")"
expect_match "empty file: no copies" "3/4 - 0  4/5 - 0" "$(cat "$work/err")"

# Driver settings carry over: after a line-sequential file without a record
# length, a queued-sequential one is read as variable records.
run "$TANDRO" -v dox:doxv.bare
expect_eq "queued-sequential alone: raw" "$hint" "$(grep Specify "$work/err")"
run "$TANDRO" -v tev:text dox:doxv.bare
cat text text >twice
expect_same_file "after line-sequential: lines" twice "$work/out"
expect_eq "after line-sequential: copiers" "fast buffering file text
block buffering file doxv.bare" "$(copier_of)"

# Failures end the run; later operands are not touched (record damage and
# missing files are the hostile-input tests' part).
echo hi | "$TANDRO" dox:/dev/stdin tev >"$work/out" 2>"$work/err"
expect_eq "unseekable: status" 2 "$?"
expect_eq "unseekable: open message" "Eh? Open read only failed 1014:not a seekable file" "$(head -1 "$work/err")"
expect_eq "unseekable: nothing copied" 0 "$(wc -c <"$work/out")"
"$TANDRO" tev big >/dev/full 2>"$work/err"
expect_eq "full device: status" 2 "$?"
expect_eq "full device: message" "Eh? concat failed 28:No space left on device" "$(head -1 "$work/err")"

# A fixed file written by a COBOL program (the COBOL tests' writer), where
# the compiler is installed.
if command -v cobc >/dev/null && cobc -x -o writer "$SRC_DIR/tests/cli/cobol/writer.cob" 2>/dev/null &&
    ./writer; then
    run "$TANDRO" -l 8 dox:fix.dat
    expect_eq "COBOL fixed file as lines" "ABCDEFGH|12      |" "$(tr '\n' '|' <"$work/out")"
    run "$TANDRO" umb,lrecl=8:fix.dat
    expect_same_file "COBOL fixed file raw" fix.dat "$work/out"
fi

finish
