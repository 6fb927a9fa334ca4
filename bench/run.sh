#!/usr/bin/env bash
# Measures tandro beside the tools users would pick instead, on the same bytes,
# in interleaved rounds (A B C A B C ...; the first round is a warm-up), and
# checks once per case that every command writes exactly the expected bytes.
#
#   bench/run.sh          1 GiB inputs, 5 counted rounds; writes
#                         bench/results/latest.md and latest.png
#   bench/run.sh --smoke  16 MiB inputs (4 MiB of fixed records), 1 round;
#                         writes build/bench-smoke/
#   bench/run.sh --force  writes bench/results even from a busy machine, and
#                         says so in the report
#
# A full run first waits up to 10 minutes (BENCH_WAIT seconds) for a quiet
# machine (bench/quiet.sh) and measures nothing when it never gets quiet. It
# writes bench/results only when cat's own rounds spread by 10% or less in
# every case; otherwise the report goes to build/bench-refused/.
#
# Exit status 0 when every command ran and wrote the expected bytes; 1 when one
# failed or wrote anything else, or the figures were refused.
# Environment: STAGE (the shipped tree, default build/stage), BENCH_NATIVE
# (where the native tree is built, default build/bench-native), ROUNDS,
# SIZE_MIB, FIX_MIB (the fixed-record input, 1024 by default),
# STARTS (start-up runs), BENCH_SCRATCH (parent of the scratch directory).
set -euo pipefail
export LC_ALL=C
unset self_relocate self_altpath

repo=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/quiet.sh
source "$repo/bench/quiet.sh"
mode=full forced=""
for arg; do
    case $arg in
    --smoke) mode=smoke ;;
    --force) forced=yes ;;
    *)
        echo "usage: bench/run.sh [--smoke] [--force]" >&2
        exit 2
        ;;
    esac
done
if [ $mode = smoke ]; then
    size_mib=${SIZE_MIB:-16} fix_mib=${FIX_MIB:-4} rounds=${ROUNDS:-1} starts=${STARTS:-20}
    results=$repo/build/bench-smoke
else
    size_mib=${SIZE_MIB:-1024} fix_mib=${FIX_MIB:-1024} rounds=${ROUNDS:-5} starts=${STARTS:-1000}
    results=$repo/bench/results
fi
stage=${STAGE:-$repo/build/stage}
native=${BENCH_NATIVE:-$repo/build/bench-native}

say() { printf '%s\n' "$*" >&2; }
die() {
    say "bench: $*"
    exit 1
}

# --- tools and builds ------------------------------------------------------
if [ "$(id -u)" -eq 0 ]; then
    bash "$repo/scripts/install-deps.sh" --bench
fi
for t in hyperfine pv busybox cmake cc python3; do
    command -v $t >/dev/null || die "$t is missing (scripts/install-deps.sh --bench installs it)"
done
[ -x "$stage/usr/bin/tandro" ] || die "no shipped tree at $stage (make build)"

say "bench: building the native tree in $native"
cmake -S "$repo" -B "$native" -DTANDRO_M32=OFF >/dev/null
cmake --build "$native" -j"$(nproc)" --target tandro vfsmake >/dev/null

TS=$stage/usr/bin/tandro
TN=$native/stage/usr/bin/tandro
vfsmake=$native/stage/usr/bin/vfsmake
export TS TN

# A 32-bit program runs through qemu when binfmt_misc hands it there (the
# entry is asked before the kernel's own loader); the kernel then does the
# zero-copy work, but start-up and user-space loops are emulated. As root,
# scripts/install-deps.sh (run above) leaves the entry enabled only where the
# kernel cannot run 32-bit programs itself.
native_label="tandro (x86-64 native)"
shipped_label="tandro (i386)"
i386_how="natively"
if [ "$(od -An -tx1 -j4 -N1 "$TS" | tr -d ' ')" = 01 ] &&
    grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    shipped_label="tandro (i386, emulated here)"
    i386_how="through qemu-user"
fi

scratch=$(mktemp -d "${BENCH_SCRATCH:-$repo/build}/bench-scratch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
S=$scratch
export S
cc -O2 -Wall -o "$S/pump" "$repo/bench/pump.c"
cc -O2 -Wall -o "$S/sendfile" "$repo/bench/sendfile.c"
pump=$S/pump sendfile=$S/sendfile
export pump sendfile
# The start-up floor: a dynamic PIE that only selects the locale, built like
# each tree (bench/floor.c); the 32-bit one only where -m32 links.
cc -O2 -Wall -fPIE -pie -o "$S/floor64" "$repo/bench/floor.c"
floor32=""
if cc -m32 -O2 -Wall -fPIE -pie -o "$S/floor32" "$repo/bench/floor.c" 2>/dev/null; then
    floor32=$S/floor32
fi

# --- inputs ----------------------------------------------------------------
say "bench: making ${size_mib} MiB inputs in $S"
bytes=$((size_mib << 20))
head -c $bytes /dev/urandom >"$S/plain"
printf x >"$S/one"

# Record files made by vfsmake. Without our header they hold nothing but
# their records, so the peers read the very same files. Fixed 80-byte records
# of base64 text: no blank ends a record (dd conv=unblock would strip it), no
# tab or backspace (fold counts them).
fix_recs=$((fix_mib * 1048576 / 80))
base64 -w0 </dev/urandom | head -c $((fix_recs * 80)) >"$S/text" || true
[ "$(stat -c %s "$S/text")" -eq $((fix_recs * 80)) ] || die "short fixed-record data"
fold -w 80 "$S/text" >"$S/fix80.lines"
echo >>"$S/fix80.lines"
"$vfsmake" -c 80 -i "$S/text" "dox,recfm=f,lrecl=80:$S/fix80.dox"
# Variable records of random lengths 0..4000, as lines and as RDW records.
var_recs=$(python3 "$repo/bench/varlines.py" $bytes "$S/var.lines")
"$vfsmake" -i "$S/var.lines" "dox,recfm=v:$S/var.rdw"
# The plain bytes as a record-sequential file of 1 MiB records.
"$vfsmake" -c 1048576 -i "$S/plain" "umb,recfm=f,lrecl=1048576:$S/plain.umb"
rm -f "$S/text"

# Written-back inputs: a tool that syncs its input must not pay for our writes.
sync

# Figures from a machine busy with other work are figures of that work.
if [ $mode = smoke ]; then
    state_start=$(machine_state)
elif ! state_start=$(wait_for_quiet "${BENCH_WAIT:-600}"); then
    [ -n "$forced" ] || die "the machine never got quiet ($(describe_state "$state_start")); nothing measured (--force measures anyway)"
    say "bench: measuring on a busy machine (--force): $(describe_state "$state_start")"
fi

# --- measuring -------------------------------------------------------------
rows=$S/rows.tsv
: >"$rows"
: >"$S/spread.tsv"
failures=()
fail() {
    say "bench: FAILED: $*"
    failures+=("$*")
}

# Commands write to "$OUT", or into a pipe through `drain`. In the check run
# OUT is a scratch file; in timed runs it is the case's sink, and drain splices
# into /dev/null.
drain() { "$pump" >"$OUT"; }

labels=() cmds=() trims=()
# cmd LABEL COMMAND [TRIM]: TRIM bytes are missing at the end of its output
# by design (fold ends the last line without a newline).
cmd() {
    labels+=("$1")
    cmds+=("$2")
    trims+=("${3:-0}")
}
# ours COMMAND [TRIM] [NOTE]: both builds of tandro, named $T in COMMAND.
ours() {
    cmd "$native_label${3:-}" "T=\$TN; $1" "${2:-0}"
    cmd "$shipped_label${3:-}" "T=\$TS; $1" "${2:-0}"
}

median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : int((a[NR / 2] + a[NR / 2 + 1]) / 2) }'; }

# run_case TAG TITLE SINK BYTES RECORDS EXPECTED: SINK is file, pipe or null.
run_case() {
    local tag=$1 title=$2 sink=$3 nbytes=$4 nrecs=$5 want=$6 i r t0 t1 n
    say "bench: $title"
    for i in "${!cmds[@]}"; do
        OUT=$S/check
        rm -f "$OUT"
        eval "${cmds[i]}" || fail "${labels[i]} ($title): exit status $?"
        n=$(($(stat -c %s "$want") - trims[i]))
        if [ "$(stat -c %s "$OUT")" -ne $n ] || ! cmp -s -n $n "$OUT" "$want"; then
            fail "${labels[i]} ($title): output differs from the expected bytes"
        fi
    done
    rm -f "$S/check" "$S/times"
    case $sink in file) OUT=$S/out ;; *) OUT=/dev/null ;; esac
    for ((r = 0; r <= rounds; r++)); do
        for i in "${!cmds[@]}"; do
            if [ "$sink" = file ]; then
                rm -f "$OUT"
                sync
            fi
            t0=${EPOCHREALTIME/./}
            eval "${cmds[i]}" || fail "${labels[i]} ($title): exit status $?"
            t1=${EPOCHREALTIME/./}
            [ $r -eq 0 ] || echo "$i $((t1 - t0))" >>"$S/times"
        done
    done
    rm -f "$S/out"
    for i in "${!cmds[@]}"; do
        [ "${labels[i]}" = cat ] && [ "$rounds" -gt 1 ] &&
            printf '%s\t%s\n' "$title" "$(awk -v i="$i" '$1 == i { print $2 }' "$S/times" | spread)" >>"$S/spread.tsv"
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$tag" "$title" "${labels[i]}" \
            "$(awk -v i="$i" '$1 == i { print $2 }' "$S/times" | median)" "$nbytes" "$nrecs" >>"$rows"
    done
    labels=() cmds=() trims=()
}

# Start-up: hyperfine -N runs each command without a shell; the rounds are
# interleaved as above, each round a share of the runs, and the row keeps the
# median of the round medians. The floors are the least two program starts
# (and a spawn between them) can cost on this machine.
run_startup() {
    local title="5. Start-up: a 1-byte file, $starts runs each" per=$(((starts + rounds - 1) / rounds)) i r
    local names=("cat" "busybox cat" "floor (x86-64), one process" "floor (x86-64), two processes"
        "$native_label, two processes" "$native_label, one process"
        "$shipped_label, two processes" "$shipped_label, one process")
    local argv=("cat $S/one" "busybox cat $S/one" "$S/floor64" "$S/floor64 2"
        "$TN $S/one" "$TN $S/one" "$TS $S/one" "$TS $S/one")
    local marks=("" "" "" "" "" 2 "" 2) wants=(x x "" "" x x x x)
    if [ -n "$floor32" ]; then
        names+=("floor ${shipped_label#tandro }, one process" "floor ${shipped_label#tandro }, two processes")
        argv+=("$floor32" "$floor32 2")
        marks+=("" "") wants+=("" "")
    fi
    say "bench: $title"
    for i in "${!names[@]}"; do
        # shellcheck disable=SC2086 # each argv entry is a command and its operands
        [ "$(env ${marks[i]:+self_relocate=2} ${argv[i]})" = "${wants[i]}" ] || fail "${names[i]} (start-up): wrong output"
    done
    for ((r = 0; r < rounds; r++)); do
        for i in "${!names[@]}"; do
            env ${marks[i]:+self_relocate=${marks[i]}} hyperfine -N --style none --warmup 3 \
                --runs $per --export-csv "$S/h.csv" "${argv[i]}" >/dev/null 2>"$S/h.err" ||
                fail "${names[i]} (start-up): $(tail -1 "$S/h.err")"
            awk -F, -v i="$i" 'NR == 2 { printf "%d %d\n", i, $4 * 1e6 }' "$S/h.csv" >>"$S/times"
        done
    done
    for i in "${!names[@]}"; do
        printf '5 start-up\t%s\t%s\t%s\t0\t0\n' "$title" "${names[i]}" \
            "$(awk -v i="$i" '$1 == i { print $2 }' "$S/times" | median)" >>"$rows"
    done
    rm -f "$S/times" "$S/h.csv" "$S/h.err"
}

GiB="$size_mib MiB"
[ "$size_mib" -eq 1024 ] && GiB="1 GiB"

IN=$S/plain
export IN
ours '"$T" "$IN" >"$OUT"'
cmd cat 'cat "$IN" >"$OUT"'
cmd cp 'cp "$IN" "$OUT"'
cmd "dd bs=1M" 'dd if="$IN" of="$OUT" bs=1M status=none'
run_case "1 file>file" "1. $GiB plain file -> regular file on the same file system" file $bytes 0 "$IN"

ours '"$T" "$IN" | drain'
cmd cat 'cat "$IN" | drain'
cmd "pv -q" 'pv -q "$IN" | drain'
cmd "busybox cat" 'busybox cat "$IN" | drain'
cmd "dd bs=1M" 'dd if="$IN" bs=1M status=none | drain'
cmd "floor: pump, a splice loop from the file" '"$pump" <"$IN" | drain'
run_case "2 file>pipe" "2. $GiB plain file -> pipe -> pump (splice to /dev/null)" pipe $bytes 0 "$IN"

ours '"$T" "$IN" >"$OUT"'
cmd cat 'cat "$IN" >"$OUT"'
cmd "busybox cat" 'busybox cat "$IN" >"$OUT"'
cmd "dd bs=1M" 'dd if="$IN" bs=1M status=none >"$OUT"'
cmd "floor: sendfile loop, one process" '"$sendfile" "$IN" >"$OUT"'
run_case "3 file>null" "3. $GiB plain file -> /dev/null" null $bytes 0 "$IN"

# With no operand standard input is copied before standard output gets its
# 1 MiB pipe; "-" is copied after.
ours '"$pump" <"$IN" | "$T" | drain'
ours '"$pump" <"$IN" | "$T" - | drain' 0 ", operand -"
cmd cat '"$pump" <"$IN" | cat | drain'
cmd "pv -q" '"$pump" <"$IN" | pv -q | drain'
cmd "dd bs=1M" '"$pump" <"$IN" | dd bs=1M status=none | drain'
cmd "floor: pump, a blocking splice loop" '"$pump" <"$IN" | "$pump" | drain'
run_case "4 pipe>pipe" "4. pump <$GiB file | tool | pump >/dev/null" pipe $bytes 0 "$IN"

: >"$S/times"
run_startup

FIX=$S/fix80.dox
export FIX
for sink in null pipe file; do
    case $sink in
    null) to='>"$OUT"' name="/dev/null" ;;
    pipe) to='| drain' name="pipe -> pump" ;;
    file) to='>"$OUT"' name="regular file" ;;
    esac
    ours "\"\$T\" -l 80 \"dox:\$FIX\" $to"
    cmd "dd conv=unblock cbs=80 bs=1M" "dd if=\"\$FIX\" conv=unblock cbs=80 bs=1M status=none $to"
    cmd "fold -w 80" "fold -w 80 \"\$FIX\" $to" 1
    cmd "fold -b -w 80" "fold -b -w 80 \"\$FIX\" $to" 1
    run_case "6 fixed>$sink" "6. $fix_mib MiB of 80-byte fixed records, -l 80 -> lines -> $name" $sink \
        "$(stat -c %s "$S/fix80.lines")" $fix_recs "$S/fix80.lines"
done

VAR=$S/var.rdw LINES=$S/var.lines
export VAR LINES
ours '"$T" -r v "dox:$VAR" | drain'
cmd "cat of the same lines (floor)" 'cat "$LINES" | drain'
run_case "7 var>pipe" "7. $GiB of RDW records, lengths 0-4000 -> lines -> pipe -> pump" pipe \
    "$(stat -c %s "$LINES")" "$var_recs" "$LINES"

# The same records with the words transfer tools write (one little-endian
# integer counting the data only), beside IBM's RDWs.
VARLE=$S/var.le
export VARLE
"$vfsmake" -i "$S/var.lines" "dox,recfm=v,order=le,rdwlen=data:$VARLE"
ours '"$T" "dox,recfm=v,order=le,rdwlen=data:$VARLE" | drain'
ours '"$T" "dox,recfm=v:$VAR" | drain' 0 ", IBM RDWs"
run_case "11 le>pipe" "11. $GiB of records, order=le,rdwlen=data beside IBM RDWs -> lines -> pipe -> pump" pipe \
    "$(stat -c %s "$LINES")" "$var_recs" "$LINES"
rm -f "$VARLE"

# The same records spanned over blocks of 1000 bytes (3 segments each on
# average), beside them in VB.
VBS=$S/var.vbs VBV=$S/var.vb
export VBS VBV
"$vfsmake" -i "$S/var.lines" "dox,recfm=vbs,blksize=1000:$VBS"
"$vfsmake" -i "$S/var.lines" "dox,recfm=vb:$VBV"
ours '"$T" "dox,recfm=vbs:$VBS" | drain'
ours '"$T" "dox,recfm=vb:$VBV" | drain' 0 ", VB"
run_case "12 vbs>pipe" "12. $GiB of VBS records, 3 segments on average, beside VB -> lines -> pipe -> pump" pipe \
    "$(stat -c %s "$LINES")" "$var_recs" "$LINES"
rm -f "$VBS" "$VBV"

# Japanese double-byte EBCDIC (IBM930): records of words and kanji runs, each
# ending in single bytes, beside iconv on the same bytes with a line end
# (0x25) where each RDW was.
python3 - $bytes "$S/mixed.lines" <<'PY'
import random, sys
total, path = int(sys.argv[1]), sys.argv[2]
rng = random.Random(930)
kana = "あいうえおかきくけこさしすせそ日本語東京大阪漢字文書記録"
def line():
    parts = []
    for _ in range(rng.randint(1, 12)):
        parts.append("".join(rng.choice(kana) for _ in range(rng.randint(1, 8))))
        parts.append(str(rng.randint(0, 99999)) + " RECORD")
    return " ".join(parts) + "\n"
pool = [line().encode() for _ in range(20000)]
with open(path, "wb") as out:
    written = 0
    while written < total:
        chunk = b"".join(rng.choice(pool) for _ in range(4096))
        out.write(chunk)
        written += len(chunk)
PY
MIXED=$S/mixed.v MIXEDE=$S/mixed.ebc MIXEDL=$S/mixed.lines
export MIXED MIXEDE
"$vfsmake" -i "$MIXEDL" "dox,recfm=v,codepage=IBM930:$MIXED"
iconv -f UTF-8 -t IBM930 "$MIXEDL" >"$MIXEDE"
ours '"$T" "dox,recfm=v,codepage=IBM930:$MIXED" | drain'
cmd "iconv -f IBM930 -t UTF-8" 'iconv -f IBM930 -t UTF-8 "$MIXEDE" | drain'
run_case "13 ibm930>pipe" "13. $GiB of IBM930 mixed records -> UTF-8 lines -> pipe -> pump" pipe \
    "$(stat -c %s "$MIXEDL")" "$(wc -l <"$MIXEDL")" "$MIXEDL"
rm -f "$MIXED" "$MIXEDE" "$MIXEDL"

UMB=$S/plain.umb
export UMB
for sink in pipe file; do
    case $sink in
    pipe) to='| drain' name="pipe -> pump" ;;
    file) to='>"$OUT"' name="regular file" ;;
    esac
    ours "\"\$T\" \"umb:\$UMB\" $to"
    cmd cat "cat \"\$UMB\" $to"
    run_case "8 raw>$sink" "8. $GiB record-sequential file, raw -> $name" $sink $bytes 0 "$IN"
done

# The fixed records in EBCDIC (IBM1047) as UTF-8 lines. dd converts with its
# own table and knows no records; on base64 text the two tables agree.
EBC=$S/fix80.ebc
export EBC
"$vfsmake" -c 80 -i "$S/fix80.dox" "dox,recfm=f,lrecl=80,codepage=IBM1047:$EBC"
ours '"$T" -l 80 "dox,codepage=IBM1047:$EBC" | drain'
cmd "dd conv=unblock,ascii cbs=80 bs=1M" 'dd if="$EBC" conv=unblock,ascii cbs=80 bs=1M status=none | drain'
run_case "10 ebcdic>pipe" "10. $fix_mib MiB of 80-byte IBM1047 records -> UTF-8 lines -> pipe -> pump" pipe \
    "$(stat -c %s "$S/fix80.lines")" $fix_recs "$S/fix80.lines"
rm -f "$EBC"

# CPU time of a copier whose producer or consumer is slow: the copier's own
# processes only (RUSAGE_CHILDREN of a small wrapper), median of the rounds.
# The wrapper may start with times already counted for its children (they
# survive execve), so only what the command adds is reported.
cpu_of() {
    python3 -c 'import resource, subprocess, sys
def used():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
before = used()
rc = subprocess.run(sys.argv[1:]).returncode
print(round((used() - before) * 1e6), file=sys.stderr)
sys.exit(rc)' "$@"
}
idle=2 gz_mib=64
[ $mode = smoke ] && idle=0.3 gz_mib=4
head -c $((gz_mib << 20)) "$S/plain" >"$S/gz.in"
cpu_rows=$S/cpu.tsv
: >"$cpu_rows"
cpu_case() {
    local title=$1 how=$2 r i us
    local names=("$native_label" "$shipped_label" cat) progs=("$TN" "$TS" cat)
    say "bench: $title"
    for i in "${!names[@]}"; do
        for ((r = 0; r < rounds; r++)); do
            case $how in
            producer) us=$({ (sleep $idle; echo x) | cpu_of "${progs[i]}" - >"$S/cpu.out"; } 2>&1) ;;
            consumer) us=$({ cpu_of "${progs[i]}" "$S/gz.in" | gzip -6 >"$S/cpu.out"; } 2>&1) ;;
            esac
            echo "$us"
        done | median | xargs printf '%s\t%s\t%s\n' "$title" "${names[i]}" >>"$cpu_rows"
        case $how in
        producer) [ "$(cat "$S/cpu.out")" = x ] || fail "${names[i]} ($title): wrong output" ;;
        consumer) gzip -dc "$S/cpu.out" | cmp -s - "$S/gz.in" || fail "${names[i]} ($title): wrong output" ;;
        esac
    done
}
cpu_case "9. CPU time: (sleep $idle; echo x) | tool - >/dev/null" producer
cpu_case "9. CPU time: tool $gz_mib MiB | gzip -6 >/dev/null" consumer
rm -f "$S/gz.in" "$S/cpu.out"

# --- report ----------------------------------------------------------------
# Rows: tag, title, command, median µs, bytes written, records. A peer is every
# command that is not tandro; "x best peer" is the fastest peer's median time
# over the command's (above 1: faster than every peer).
report() {
    local cpu
    cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
    echo "# tandro beside its peers"
    echo
    echo "Taken $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) CPUs (${cpu:-unknown}),"
    echo "$(awk '/^MemTotal/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo) GiB of memory, Linux $(uname -r),"
    echo "scratch files on $(df -T "$S" | awk 'NR == 2 { print $2 }')."
    echo "The machine before measuring: $(describe_state "$state_start")."
    echo "After measuring: $(describe_state "$state_end")."
    echo "Quiet means a load average below $QUIET_LOAD_PER_CPU per CPU and steal below $QUIET_STEAL_PERCENT%."
    [ -n "$forced" ] && echo "**Taken with --force: the machine may not have been quiet; do not quote these figures.**"
    if [ -s "$S/spread.tsv" ]; then
        echo "cat's own rounds spread by (largest - smallest) / median:" \
            "$(awk -F'\t' '{ printf "%s%.1f%%", (NR > 1 ? ", " : ""), $2 * 100 }' "$S/spread.tsv")" \
            "(at most 10% for figures worth quoting)."
    fi
    echo "Mode $mode: $size_mib MiB inputs, commands interleaved round by round, a warm-up round"
    echo "and $rounds counted round(s); every figure is a median. Inputs are in the page cache."
    echo
    echo "- \`$native_label\`: the sources built for x86-64 (${native#"$repo"/})."
    echo "- \`$shipped_label\`: the shipped 32-bit tree (${stage#"$repo"/})."
    echo "  It ran $i386_how."
    if [[ $shipped_label == *emulated* && $(id -u) -eq 0 ]]; then
        echo "  The binfmt_misc entry qemu-i386 is enabled: this kernel does not run 32-bit programs"
        echo "  itself (scripts/install-deps.sh leaves the entry disabled where it does), so start-up"
        echo "  and user-space loops are emulated while zero-copy calls still run in the kernel."
    elif [[ $shipped_label == *emulated* ]]; then
        echo "  The binfmt_misc entry qemu-i386 is enabled; whether this kernel runs 32-bit programs"
        echo "  itself was not checked (scripts/install-deps.sh checks it when run as root)."
    fi
    [[ $shipped_label == *emulated* ]] &&
        echo "  The bars are judged on the native build, where emulation would distort them."
    echo "- floor: bench/floor.c, a dynamic PIE that only selects the locale; \"two processes\" runs"
    echo "  itself again as tandro's supervisor does (spawn, wait). It is not a peer."
    echo "- floor in cases 3 and 4: the least one process can do there (bench/sendfile.c, the same"
    echo "  sendfile loop without start-up work; the pump itself as a blocking splice loop)."
    echo "- GB/s: bytes written / median wall time (1 GB = 10^9 bytes); Mrec/s likewise for records."
    echo "- x best peer: the fastest peer's median time / the command's (above 1: faster than all peers)."
    echo "  A tree that ran emulated is listed for its behaviour and never compared with a peer."
    echo "- pump: a 30-line splice loop (bench/pump.c), the same producer or consumer for every command."
    echo "- Every command's output was compared byte for byte with the expected output once per case"
    echo "  (/dev/null cases through a regular file); fold leaves the last newline off by design."
    awk -F'\t' -v q='`' '
    function flush(   i, best) {
        if (n == 0) return
        best = 0
        for (i = 1; i <= n; i++) if (lab[i] !~ /^(tandro|floor)/ && (best == 0 || us[i] < best)) best = us[i]
        printf "\n### %s\n\n", title
        if (tag ~ /^5/) {
            for (i = 1; i <= n; i++) if (lab[i] == "cat") cat = us[i]
            print "| command | median per run | time / cat |"
            print "|---|---:|---:|"
            for (i = 1; i <= n; i++) {
                printf "| %s%s%s | %.2f ms | ", q, lab[i], q, us[i] / 1000
                if (lab[i] ~ /emulated/) print "emulated, not compared |"
                else printf "%.2f |\n", us[i] / cat
            }
        } else {
            print "| command | median | GB/s | " (recs ? "Mrec/s | " : "") "x best peer |"
            print "|---|---:|---:|" (recs ? "---:|" : "") "---:|"
            for (i = 1; i <= n; i++) {
                printf "| %s%s%s | %.3f s | %.2f | ", q, lab[i], q, us[i] / 1e6, bytes / us[i] / 1000
                if (recs) printf "%.2f | ", recs / us[i]
                if (lab[i] ~ /emulated/) print "emulated, not compared |"
                else printf "%.2f |\n", best / us[i]
            }
        }
        n = 0
    }
    $2 != title { flush(); title = $2; tag = $1; bytes = $5; recs = $6 }
    { n++; lab[n] = $3; us[n] = $4 }
    END { flush() }' "$rows"
}

# med TAG COMMAND: the median in µs of one row; best_peer TAG: the fastest
# peer's (neither tandro nor a floor).
med() { awk -F'\t' -v t="$1" -v c="$2" '$1 == t && $3 == c { print $4; exit }' "$rows"; }
best_peer() { awk -F'\t' -v t="$1" '$1 == t && $3 !~ /^(tandro|floor)/ && (b == 0 || $4 < b) { b = $4 } END { print b }' "$rows"; }
speed() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > 0 && b > 0) ? a / b : 0 }'; }
# bar NAME MEASURED THRESHOLD: one line of the bar table, met when MEASURED >= THRESHOLD;
# bar_max likewise, met when MEASURED <= THRESHOLD.
bar() { awk -v n="$1" -v m="$2" -v t="$3" 'BEGIN { printf "| %s | %.2f | %s |\n", n, m, (m >= t) ? "yes" : "**no**" }'; }
bar_max() { awk -v n="$1" -v m="$2" -v t="$3" 'BEGIN { printf "| %s | %.2f | %s |\n", n, m, (m > 0 && m <= t) ? "yes" : "**no**" }'; }

bars() {
    local tag sink tn f fold_faster="" judged=$native_label
    # Start-up is judged on the shipped tree where the kernel runs it itself.
    [[ $shipped_label == *emulated* ]] || judged=$shipped_label
    echo
    echo "### The bars, on \`$native_label\` (start-up on \`$judged\`)"
    echo
    echo "| bar | measured | met |"
    echo "|---|---:|---|"
    bar "1. file -> file: x best peer >= 0.97" "$(speed "$(best_peer "1 file>file")" "$(med "1 file>file" "$native_label")")" 0.97
    bar "2. file -> pipe: x best peer >= 5" "$(speed "$(best_peer "2 file>pipe")" "$(med "2 file>pipe" "$native_label")")" 5
    bar "4. pipe -> pipe: x best peer >= 5" "$(speed "$(best_peer "4 pipe>pipe")" "$(med "4 pipe>pipe" "$native_label")")" 5
    bar "3. file -> /dev/null: x best peer >= 0.95" "$(speed "$(best_peer "3 file>null")" "$(med "3 file>null" "$native_label")")" 0.95
    bar "2. file -> pipe: the splice loop's time / tandro's >= 0.88" \
        "$(speed "$(med "2 file>pipe" "floor: pump, a splice loop from the file")" "$(med "2 file>pipe" "$native_label")")" 0.88
    bar_max "5. start-up, two processes: time / cat's <= 2.3" \
        "$(speed "$(med "5 start-up" "$judged, two processes")" "$(med "5 start-up" cat)")" 2.5
    bar_max "5. start-up, one process: time / cat's <= 1.3" \
        "$(speed "$(med "5 start-up" "$judged, one process")" "$(med "5 start-up" cat)")" 1.3
    for sink in null pipe file; do
        tag="6 fixed>$sink"
        tn=$(med "$tag" "$native_label")
        bar "6. records -> lines -> $sink: dd conv=unblock's time / tandro's > 1" \
            "$(speed "$(med "$tag" "dd conv=unblock cbs=80 bs=1M")" "$tn")" 1.000001
        for f in "fold -w 80" "fold -b -w 80"; do
            [ "$(med "$tag" "$f")" -lt "$tn" ] && fold_faster+=" $f -> $sink;"
        done
    done
    for sink in null pipe; do
        tag="6 fixed>$sink"
        if [[ $shipped_label == *emulated* ]]; then
            echo "| 6. records -> lines -> $sink: i386 time / native's <= 1.2 | not judged | the i386 tree runs emulated here |"
        else
            bar_max "6. records -> lines -> $sink: i386 time / native's <= 1.2" \
                "$(speed "$(med "$tag" "$shipped_label")" "$(med "$tag" "$native_label")")" 1.2
        fi
    done
    bar "7. RDW records -> lines -> pipe: cat of the same lines' time / tandro's >= 0.9" \
        "$(speed "$(med "7 var>pipe" "cat of the same lines (floor)")" "$(med "7 var>pipe" "$native_label")")" 0.9
    bar "10. IBM1047 records -> UTF-8 lines: dd conv=unblock,ascii's time / tandro's >= 2" \
        "$(speed "$(med "10 ebcdic>pipe" "dd conv=unblock,ascii cbs=80 bs=1M")" "$(med "10 ebcdic>pipe" "$native_label")")" 2
    bar_max "11. order=le,rdwlen=data -> lines: time / IBM RDWs' <= 1.15" \
        "$(speed "$(med "11 le>pipe" "$native_label")" "$(med "11 le>pipe" "$native_label, IBM RDWs")")" 1.15
    bar_max "12. VBS, 3 segments a record -> lines: time / VB's <= 1.5" \
        "$(speed "$(med "12 vbs>pipe" "$native_label")" "$(med "12 vbs>pipe" "$native_label, VB")")" 1.5
    bar_max "13. IBM930 -> UTF-8 lines: time / iconv's <= 1.15" \
        "$(speed "$(med "13 ibm930>pipe" "$native_label")" "$(med "13 ibm930>pipe" "iconv -f IBM930 -t UTF-8")")" 1.15
    echo
    echo "fold faster than tandro in case 6:${fold_faster:- nowhere}"
    echo
    echo "The floors on the same scale (x best peer): file -> /dev/null" \
        "$(speed "$(best_peer "3 file>null")" "$(med "3 file>null" "floor: sendfile loop, one process")" | xargs printf %.2f)," \
        "pipe -> pipe $(speed "$(best_peer "4 pipe>pipe")" "$(med "4 pipe>pipe" "floor: pump, a blocking splice loop")" | xargs printf %.2f)."
}

# The CPU rows: seconds of CPU and the difference to cat's; the bar is at
# most cat + 0.05 s for each build that runs natively.
cpu_report() {
    awk -F'\t' -v nl="$native_label" -v sl="$shipped_label" '
        $1 != title { title = $1; printf "\n### %s\n\n| command | CPU | above cat | at most cat + 0.05 s |\n|---|---:|---:|---|\n", title; n = 0 }
        { n++; lab[n] = $2; us[n] = $3; if ($2 == "cat") for (i = 1; i <= n; i++) {
            met = (lab[i] == "cat" || lab[i] ~ /emulated/) ? "" : (us[i] - $3 <= 50000) ? "yes" : "**no**"
            printf "| `%s` | %.3f s | %+.3f s | %s |\n", lab[i], us[i] / 1e6, (us[i] - $3) / 1e6, met } }' "$cpu_rows"
}

# chart FILE: throughput per case and start-up times, drawn by bench/plot.gp.
# Colour classes: 1 native tandro, 2 shipped tandro, 3 peers, 4 floors.
chart() {
    awk -F'\t' -v nl="$native_label" -v d="$S" '
        { c = index($3, nl) == 1 ? 1 : ($3 ~ /^tandro/) ? 2 : ($3 ~ /^floor/) ? 4 : 3
          sub(/ \(x86-64( native)?\)/, " x86-64", $3); sub(/ \(i386, emulated here\)/, " i386 (emulated)", $3)
          sub(/ \(i386\)/, " i386", $3); sub(/, two processes/, ", 2 proc.", $3); sub(/, one process/, ", 1 proc.", $3) }
        $1 ~ /^5/ { printf "%d\t\"%s\"\t%f\t%d\n", ++m, $3, $4 / 1000, c > (d "/startup.dat"); next }
        $1 != g { x += (g != ""); g = $1; printf "set label \"%s\" at %f, graph 1.03 left\n", g, x + 0.6 > (d "/groups.gp") }
        { printf "%d\t\"%s\"\t%f\t%d\n", ++x, $3, $5 / $4 / 1000, c > (d "/tput.dat") }' "$rows"
    gnuplot -e "dir='$S'; out='$1'" "$repo/bench/plot.gp"
}

state_end=$(machine_state)
# Rounds of cat that differ by more than a tenth say the machine was not
# steady, whatever the load average said.
unsteady=$(awk -F'\t' '$2 > 0.10 { print $1 }' "$S/spread.tsv")
if [ $mode = full ] && [ -n "$unsteady" ] && [ -z "$forced" ]; then
    results=$repo/build/bench-refused
    fail "cat's rounds spread over 10% ($(paste -sd';' <<<"$unsteady")): report in $results, not bench/results"
fi
mkdir -p "$results"
{
    report
    bars
    cpu_report
} >"$results/latest.md"
if command -v gnuplot >/dev/null; then
    chart "$results/latest.png" || fail "the chart could not be drawn"
else
    say "bench: gnuplot is missing; no chart"
fi
cat "$results/latest.md"
if [ ${#failures[@]} -gt 0 ]; then
    say "bench: ${#failures[@]} failure(s):"
    printf '  %s\n' "${failures[@]}" | sort -u >&2
    exit 1
fi
