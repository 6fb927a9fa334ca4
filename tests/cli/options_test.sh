#!/bin/bash
# Command line: help, version and error texts, exit statuses, operands.
source "$(dirname "$0")/lib.sh"
export LC_ALL=C MANPAGER=cat PAGER=cat
set -f # operands such as "?" are texts, not patterns

full_usage() {
    printf 'Description: %s\n\nVirtual File System (VFS) file concatenation.\nWith no filename, or when filename is '"'"'-'"'"', read standard input.\n\nUsage: %s [option]... [--] [filename]...\noption:\n\t-h|-\\?   This help information\n\t-man     Display the man page\n\n\t-d       Debugging\n\t-v       Verbosity\n\t-V       Version\n\n\t-T       Time execution\n\n\t-r:      Record format f|v\n\t-l:      Record length\n\tfilename...  File name(s)\n\n' "$1" "$1"
}
short_usage() { printf 'See `%s -h | -man` for brief | verbose details.\n' "$1"; }

# The version block: three fixed lines, then the 581-byte notice of "@(#)" lines.
check_version_block() { # NAME FILE
    local head notice
    head=$(head -n 3 "$2")
    expect_match "$1: version lines" \
        $'^Program:\ttandro\nVersion:\t1\\.1\\.0\nBuilt:  \t(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}$' \
        "$head"
    tail -n +4 "$2" >"$work/notice"
    expect_eq "$1: notice size" 581 "$(wc -c <"$work/notice")"
    expect_eq "$1: notice lines begin with @(#)" "" "$(grep -v '^@(#)' "$work/notice")"
    expect_eq "$1: notice ends with a line end" "$(tail -c 1 "$work/notice" | od -An -c | tr -d ' ')" '\n'
}
# check_usage_run NAME PREFIX: status 0, nothing on stdout, and on stderr the
# text PREFIX, the full usage and the version block.
check_usage_run() {
    expect_eq "$1: status, stdout" 0: "$rc:$(cat "$work/out")"
    { printf "$2"; full_usage tandro; } >"$work/expect"
    expect_eq "$1: text" "$(cat "$work/expect")" "$(head -c "$(wc -c <"$work/expect")" "$work/err")"
    tail -c +"$(($(wc -c <"$work/expect") + 1))" "$work/err" >"$work/rest"
    check_version_block "$1" "$work/rest"
}

cd "$work" || exit 1
printf 'alpha\n' >a
printf 'beta\n' >b
printf 'gamma' >c

# Help requests: full usage then the version block, status 0, nothing on stdout.
for args in "-h" "-?" "?" "?anything" "/?" '\?' "-v -h a" "-h -d" "-- ?"; do
    # shellcheck disable=SC2086
    run "$TANDRO" $args
    check_usage_run "help [$args]" ""
done

# The program's name in the texts is the last component of the name it was run by.
# The emulator that runs the 32-bit build on this kernel cannot hand a chosen
# argv[0] to the re-run child, so there only the child's own naming is checked.
ln -s "$TANDRO" "$work/vfscat"
for marker in "" 2; do
    [ -z "$marker" ] && [ "${TANDRO_M32:-0}" = 1 ] && continue
    if [ -z "$marker" ]; then run "$work/vfscat" -q; else self_relocate=$marker run "$work/vfscat" -q; fi
    expect_eq "name from argv[0] [marker $marker]" "Unknown option (-q).
$(short_usage vfscat)" "$(cat "$work/err")"
done

# -V prints only the version block, wherever it stands.
for args in "-V" "-h -V" "-V -h" "-V -q" "-TV"; do
    # shellcheck disable=SC2086
    run "$TANDRO" $args a
    expect_eq "version [$args]: status, stdout" 0: "$rc:$(cat "$work/out")"
    check_version_block "version [$args]" "$work/err"
done

# Parsing errors: message, short usage, status 1; the usage status wins over help.
while IFS='|' read -r args message; do
    # shellcheck disable=SC2086
    run "$TANDRO" $args
    expect_eq "error [$args]: status, stdout" 1: "$rc:$(cat "$work/out")"
    expect_eq "error [$args]: text" "$(printf "$message" && short_usage tandro)" "$(cat "$work/err")"
done <<'EOF'
-q|Unknown option (-q).\n
-l|Missing value for option (-l).\n
a -b|Missing value for option (-b).\n
-q -h|Unknown option (-q).\n
-h -q|Unknown option (-q).\n
-o x -q|Invalid organization (x)\nUnknown option (-q).\n
-Tz a|Unknown option (-z).\n
EOF

# A bad value letter: its message, then full usage and version block, status 0,
# and no file is copied. Several bad values each speak before the one usage.
while IFS='|' read -r args message; do
    # shellcheck disable=SC2086
    run "$TANDRO" $args a
    check_usage_run "bad value [$args]" "$message"
done <<'EOF'
-o x|Invalid organization (x)\n
-O zz|Invalid organization (zz)\n
-a q|Invalid access mode (q)\n
-r z|Invalid record format (z)\n
-r F|Invalid record format (F)\n
-o x -a y -r zeta|Invalid organization (x)\nInvalid access mode (y)\nInvalid record format (zeta)\n
EOF

# Good values are accepted and the files are still copied.
run "$TANDRO" -o i -O r -a d -r f -l 4k -b 0x10 -T a b
expect_eq "good values: status, data" $'0:alpha\nbeta' "$rc:$(cat "$work/out")"

# Operands: in order, "--" ends the options, "-" inside a cluster too.
run "$TANDRO" a b c
expect_eq "three files: status, data" $'0:alpha\nbeta\ngamma' "$rc:$(cat "$work/out")"
printf 'dash-h\n' >./-h
run "$TANDRO" -- -h a
expect_eq "-- then -h is a file" "$(printf 'dash-h\nalpha')" "$(cat "$work/out")"
run "$TANDRO" -v- -h
expect_eq "- in a cluster ends the options" 0:dash-h "$rc:$(cat "$work/out")"
run "$TANDRO" a -v b
expect_eq "options after names" "$(printf 'alpha\nbeta')" "$(cat "$work/out")"

# The first failing name ends the run; later names are not touched.
run "$TANDRO" a missing b
expect_result "missing file" 2 alpha "Eh? Concatenate failed 2:No such file or directory"

# Standard input: no name, "-", "- -".
printf 'from pipe' | "$TANDRO" >"$work/out" 2>"$work/err"
expect_eq "no name reads stdin" "from pipe" "$(cat "$work/out")"
printf 'once' | "$TANDRO" -v - - >"$work/out" 2>"$work/err"
expect_eq "- - on a pipe" "once" "$(cat "$work/out")"
expect_eq "- - announces each copy" "Concatenating stdio-stdin
Concatenating stdio-stdin" "$(cat "$work/err")"
"$TANDRO" - a - <b >"$work/out" 2>"$work/err"
expect_eq "- a - from a file" "$(printf 'beta\nalpha')" "$(cat "$work/out")"
# Into a pipe a file is spliced from its start through an offset of the
# copier's own, so each "-" sends it whole.
"$TANDRO" - - <b | cat >"$work/out"
expect_eq "- - from a file into a pipe" "$(printf 'beta\nbeta')" "$(cat "$work/out")"

# -d traces every option after the first -d, before acting on it. getopt leaves
# optopt 0 after a good option, printed as a NUL character (shown here as @).
run "$TANDRO" -d -d -v -l 12 a
expect_eq "debug trace" "getopt: opt=d optopt=@/0 optarg= /  optind=3 opterr=0
getopt: opt=v optopt=@/0 optarg= /  optind=4 opterr=0
getopt: opt=l optopt=@/0 optarg=1/12 optind=6 opterr=0" "$(tr '\0' @ <"$work/err" | grep '^getopt:')"
run "$TANDRO" -d -q
expect_eq "debug trace of an unknown option" "getopt: opt=? optopt=q/113 optarg= /  optind=3 opterr=0
Unknown option (-q).
$(short_usage tandro)" "$(cat "$work/err")"

finish
