#!/usr/bin/env bash
# Files written by COBOL programs read back through the library (vfsmake -x),
# and files vfsmake writes read back by a COBOL program, for every variable
# prefix format.
source "$(dirname "$0")/lib.sh"
src="$SRC_DIR/tests/cli/cobol"

command -v cobc >/dev/null 2>&1 || skip_all "cobc not found"

cd "$work" || exit 1
cobc -x -o writer "$src/writer.cob" && cobc -x -o reader "$src/reader.cob"
expect_eq "COBOL programs compile" 0 $?

x300=$(printf 'X%.0s' $(seq 300))
for fmt in 0 1 2 3; do
    rm -f var.dat fix.dat lines.txt
    COB_VARSEQ_FORMAT=$fmt ./writer
    expect_eq "writer runs with COB_VARSEQ_FORMAT=$fmt" 0 $?
    run "$vfsmake" -x "umb,varfmt=$fmt:var.dat"
    expect_eq "varfmt $fmt: status, the four records" "$(printf '0:HELLO\nH\n%s\nTRAIL   \n.' "$x300")" \
        "$rc:$(cat "$work/out"; echo .)"
done

run "$vfsmake" -x "umb,lrecl=8:fix.dat"
expect_eq "fixed records" "$(printf 'ABCDEFGH\n12      \n')" "$(cat "$work/out"; echo)"
run "$vfsmake" -x "tev:lines.txt"
expect_eq "line sequential records" "$(printf 'ONE\n\nTWO  THREE\n')" "$(cat "$work/out"; echo)"
# Read with the wrong prefix format, the damage is found, not skipped.
run "$vfsmake" -x "umb,varfmt=0:var.dat"
expect_eq "wrong format is an error" 1 "$rc"
expect_match "wrong format names the byte" "vfsmake: umb,varfmt=0:var.dat: .* at byte [0-9]+" "$(cat "$work/err")"

# The other way: vfsmake writes, the COBOL runtime reads.
printf 'first\nx\n%s\nlast record\n' "$x300" >records.txt
for fmt in 0 1 2 3; do
    "$vfsmake" -i records.txt "umb,varfmt=$fmt:in.dat"
    run env COB_VARSEQ_FORMAT=$fmt ./reader
    expect_eq "COBOL reads varfmt $fmt" \
        "$(printf '0005:first\n0001:x\n0300:%s\n0011:last record' "$x300")" "$(cat "$work/out")"
done

finish
