#!/usr/bin/env bash
# vfsmake: every layout written from lines or chunks and listed back, the
# exact bytes of the prefixed layouts, and its failures.
source "$(dirname "$0")/lib.sh"
cd "$work" || exit 1

run "$vfsmake" -h
expect_eq "-h: status, first line" "0:Usage: vfsmake [option]... name" "$rc:$(head -1 "$work/out")"

printf 'one\n\nthree\nfour' >lines.txt
lines=$(printf 'one\n\nthree\nfour\n')
padded=$(printf 'one  \n     \nthree\nfour \n')
while read -r name want; do
    rm -f f
    "$vfsmake" -i lines.txt "$name:f"
    expect_eq "$name: made" 0 $?
    # Files with our header are found without the prefix.
    case $name in *header* | yar*) listname=f ;; *) listname="$name:f" ;; esac
    run "$vfsmake" -x "$listname"
    expect_eq "$name: status" 0 "$rc"
    if [ "$want" = padded ]; then expected=$padded; else expected=$lines; fi
    expect_eq "$name: records" "$expected" "$(cat "$work/out"; echo)"
done <<'LIST'
umb,lrecl=5 padded
umb,lrecl=5,header padded
umb,varfmt=0 lines
umb,varfmt=1 lines
umb,varfmt=2 lines
umb,varfmt=3,header lines
tev lines
tev,header lines
dox,lrecl=5 padded
dox,recfm=fb,lrecl=5,blksize=50 padded
dox,recfm=v lines
dox,recfm=vb,blksize=24 lines
dox,recfm=vb,header lines
LIST

# Exact bytes: what other programs expect to find.
printf 'ab\n\n' | "$vfsmake" "umb,varfmt=0:f"
expect_eq "varfmt 0 bytes" "0002000061620000 0000" "$(od -An -tx1 f | tr -d ' \n' | sed 's/.\{16\}/& /')"
printf 'ab\n\n' | "$vfsmake" "umb,varfmt=2:f"
expect_eq "varfmt 2 bytes" "0200000061620000 0000" "$(od -An -tx1 f | tr -d ' \n' | sed 's/.\{16\}/& /')"
printf 'ab\nc\n' | "$vfsmake" "dox,recfm=vb:f"
expect_eq "VB bytes" "000f000000060000 61620005000063" \
    "$(od -An -tx1 f | tr -d ' \n' | sed 's/.\{16\}/& /g;s/ $//')"
printf 'dos\r\n' | "$vfsmake" "tev:f"
expect_eq "tev keeps a CR it was given" "dos" "$("$vfsmake" -x tev:f | tr -d '\n\r')"

# Chunks of a raw file; the short last one is padded.
printf 'aaaabbbbcc' >raw
"$vfsmake" -c 4 -i raw "umb,lrecl=4:f"
expect_eq "chunks" "aaaabbbbcc  " "$(cat f)"

# Keyed files are sorted by key; equal keys keep their input order.
printf 'b2 second\na1 first\nb2 third\n' | "$vfsmake" "yar,keylen=2,order=be:k"
run "$vfsmake" -x k
expect_eq "keyed order" "$(printf 'a1 first\nb2 second\nb2 third')" "$(cat "$work/out")"
: | "$vfsmake" yar:empty
run "$vfsmake" -x empty
expect_eq "empty keyed file" "0:" "$rc:$(cat "$work/out")"

# Failures: status, message, arguments.
while IFS='|' read -r status message args; do
    # shellcheck disable=SC2086
    run "$vfsmake" $args
    expect_eq "fails: $args" "$status:$message" "$rc:$(cat "$work/err")"
done <<'EOF'
1|vfsmake: umb,recfm=x:f: unknown option recfm=x|-i lines.txt umb,recfm=x:f
1|vfsmake: dox,lrecl=3:f: record 3: record length 5 beyond maximum 3|-i lines.txt dox,lrecl=3:f
1|vfsmake: dox:f: record length unknown|-i lines.txt dox:f
1|vfsmake: lines.txt: not a record file|-x lines.txt
1|vfsmake: missing: No such file or directory|-i missing tev:f
EOF
printf 'abc\nlonger line\n' | "$vfsmake" "umb,varfmt=1:f"
head -c 12 f >cut
run "$vfsmake" -x "umb,varfmt=1:cut"
expect_eq "damage: records before it" "abc" "$(cat "$work/out")"
expect_eq "damage: text" "1:vfsmake: umb,varfmt=1:cut: truncated record at byte 7" "$rc:$(cat "$work/err")"
run "$vfsmake"
expect_eq "no name" 2 "$rc"

finish
