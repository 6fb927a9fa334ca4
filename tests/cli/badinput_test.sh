#!/usr/bin/env bash
# Damaged and hostile inputs. For each: the exact messages, status 2 when a
# file failed, the records before the damage written, the operands after
# the failing one untouched (a later operand that would add its own bytes or
# message if it were read), and no crash.
source "$(dirname "$0")/lib.sh"

limit=120
cd "$work" || exit 1
printf 'alpha\nbravo\ncharlie\n\ndelta-delta\n' >in.txt
printf 'later\n' >later
"$vfsmake" -i in.txt dox,recfm=v:rdw
"$vfsmake" -i in.txt dox,recfm=vb,blksize=24:vb
"$vfsmake" -i in.txt umb,varfmt=1,header:hdr
"$vfsmake" -i in.txt dox,recfm=f,lrecl=12:fixed

# poke FILE OFFSET BYTES: overwrites bytes in place (printf escapes).
poke() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# bad NAME STATUS EXPECTED-OUT EXPECTED-ERR ARGS...: one run, output a file.
bad() {
    local name=$1 status=$2 out=$3 err=$4
    shift 4
    timeout $limit "$TANDRO" "$@" >"$work/out" 2>"$work/err"
    rc=$?
    expect_result "$name" "$status" "$out" "$err"
}
# walk_err CODE TEXT: the messages of a record walk stopped by damage.
walk_err() {
    printf 'Seek fail: %s %s\nEh? concat failed %s:%s\nEh? Concatenate failed %s:Unknown error %s' \
        "$1" "$2" "$1" "$2" "$1" "$1"
}

# Record damage: the walk stops at the damaged record with the library's
# text; the operand before and the records before the damage are out, the
# later operand is not.
head -c -3 rdw >rdw.cut
bad "truncated record" 2 $'later\nalpha\nbravo\ncharlie' "$(walk_err 1000 'truncated record at byte 33')" \
    later dox,recfm=v:rdw.cut later
cp rdw rdw.bad
poke rdw.bad 9 '\377\377\000\000'
bad "bad RDW" 2 alpha "$(walk_err 1001 'bad record descriptor word at byte 9')" dox,recfm=v:rdw.bad later
cp rdw rdw.zero
poke rdw.zero 9 '\000\003\000\000'
bad "RDW shorter than itself" 2 alpha "$(walk_err 1001 'bad record descriptor word at byte 9')" \
    dox,recfm=v:rdw.zero later
# The first block (22 bytes) holds two records; the second BDW is damaged.
cp vb vb.bad
poke vb.bad 22 '\000\002'
bad "bad BDW" 2 $'alpha\nbravo' "$(walk_err 1002 'bad block descriptor word at byte 22')" \
    dox,recfm=vb,blksize=24:vb.bad later
head -c -1 fixed >fixed.cut
bad "fixed records, last one short" 2 $'alpha       \nbravo       \ncharlie     \n            ' \
    "$(walk_err 1000 'truncated record at byte 48')" -l 12 dox,recfm=f,lrecl=12:fixed.cut later

# Our header, damaged: resolution finds no file system and says why.
cp hdr hdr.bad
poke hdr.bad 9 '\167'
bad "corrupt header" 2 "" "Eh? No detectable file system for hdr.bad:corrupt header: byte order" hdr.bad later
head -c 40 hdr >hdr.short
bad "short header" 2 "" "Eh? No detectable file system for hdr.short:short header" hdr.short later
bad "header of another driver" 2 "" "Eh? File system missmatch (vfs_umb)  9:Bad file descriptor" \
    dox,recfm=v:hdr later

# Prefix options the driver does not know, or values out of range.
bad "unknown option" 2 "" "Eh? No detectable file system for umb,bogus=1:hdr:unknown option bogus=1" \
    umb,bogus=1:hdr later
bad "option value out of range" 2 "" \
    "Eh? No detectable file system for umb,lrecl=0:hdr:unknown option lrecl=0" umb,lrecl=0:hdr later

# A huge record length. The library refuses it at open for a layout whose
# records cannot be that long, and for a layout that knows its length the
# file's own length wins, so no copier allocates 2 GiB (on the 32-bit
# build such an allocation cannot succeed).
bad "-l 2g, variable records" 2 "" \
    $'Eh? Open read only failed 1004:record length 2147483648 beyond maximum 32756\nEh? Concatenate failed 1004:Unknown error 1004' \
    -l 2g dox,recfm=v:rdw later
bad "-l 2g, fixed records" 0 $'alpha       \nbravo       \ncharlie     \n            \ndelta-delta ' "" \
    -l 2g dox,recfm=f,lrecl=12:fixed

# A directory, as a byte stream and as a record file.
mkdir dir
bad "directory" 2 "" "Eh? Concatenate failed 21:Is a directory" dir later
for name in umb:dir dox:dir yar:dir; do
    bad "directory as a record file ($name)" 2 "" \
        $'Eh? Open read only failed 21:Is a directory\nEh? Concatenate failed 21:Is a directory' \
        $name later
done

# A file this user cannot read: run as nobody, since root reads anything.
cp rdw locked
cp later locked.txt
chmod 000 locked locked.txt
chmod 711 "$work"
if setpriv --reuid=65534 --regid=65534 --clear-groups "$TANDRO" -V >/dev/null 2>&1; then
    for case in "locked.txt|Eh? Concatenate failed 13:Permission denied" \
        "dox,recfm=v:locked|$(printf 'Eh? Open read only failed 13:Permission denied\nEh? Concatenate failed 13:Permission denied')"; do
        timeout $limit setpriv --reuid=65534 --regid=65534 --clear-groups "$TANDRO" "${case%%|*}" \
            "$work/later" >"$work/out" 2>"$work/err"
        rc=$?
        expect_result "unreadable ${case%%|*}" 2 "" "${case#*|}"
    done
else
    echo "SKIP: unreadable file (cannot run the program as uid 65534 here)"
fi

# Names of 1023 characters and more: the name is cut to 1023 characters.
d=$work
while [ $((${#d} + 201)) -lt 1000 ]; do d=$d/$(printf 'd%.0s' $(seq 1 200)); done
mkdir -p "$d"
long=$d/$(printf 'f%.0s' $(seq 1 $((1023 - ${#d} - 1))))
printf 'long\n' >"$long"
expect_eq "long name: 1023 characters" 1023 "${#long}"
bad "1023-character name" 0 long "" "$long"
bad "longer name, cut to its first 1023 characters" 0 long "" "${long}-and-more-beyond"
bad "prefix and 1023-character name, cut inside the path" 2 "" \
    $'Eh? Open read only failed 2:No such file or directory\nEh? Concatenate failed 2:No such file or directory' \
    "dox,recfm=v:$long" later

# A file that shrinks or grows while it is copied. The program writes into
# a FIFO that this test drains: after the first MiB (the pipe holds one
# more), the file is cut or extended, then the rest is read.
mkfifo fifo
seq -f 'line %08g of a changing file' 1 250000 >lines
# changing NAME OPERAND FILE CHANGE...: runs, changes FILE, collects output.
changing() {
    local name=$1 operand=$2 file=$3
    shift 3
    (
        timeout $limit "$TANDRO" "$operand" >fifo 2>"$work/err"
        echo $? >"$work/rc"
    ) &
    exec 3<fifo
    dd bs=1M count=1 iflag=fullblock <&3 >"$work/out" 2>/dev/null
    "$@" "$file"
    cat <&3 >>"$work/out"
    exec 3<&-
    wait
}
cp lines plain
changing "shrinking byte stream" plain plain truncate -s 4000000
expect_eq "shrinking byte stream: status, no message" 0: "$(cat rc):$(cat err)"
expect_same_file "shrinking byte stream: the first 4000000 bytes" <(head -c 4000000 lines) out
cp lines plain
changing "growing byte stream" plain plain eval 'printf "appended\n" >>'
expect_eq "growing byte stream: status" 0 "$(cat rc)"
expect_same_file "growing byte stream: the file as it grew" <(cat lines; printf 'appended\n') out
"$vfsmake" -i lines dox,recfm=v:recs
# 36 bytes a record (RDW and 32 bytes): 111111 whole records before 4000003.
changing "shrinking record file" dox,recfm=v:recs recs truncate -s 4000003
expect_same_file "shrinking record file: the whole records before the cut" <(head -n 111111 lines) out
expect_eq "shrinking record file: status, messages" \
    $'2:Read fail: 5 Input/output error\nEh? concat failed 5:Input/output error\nEh? Concatenate failed 22:Invalid argument' \
    "$(cat rc):$(cat err)"
"$vfsmake" -i lines dox,recfm=v:recs
changing "growing record file" dox,recfm=v:recs recs eval 'cat rdw >>'
expect_eq "growing record file: status" 0 "$(cat rc)"
expect_same_file "growing record file: the records it had when opened" lines out

finish
