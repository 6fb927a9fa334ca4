#!/usr/bin/env bash
# Runs a table of whole-program cases, one case a line:
#
#   name ;; fixture ;; command ;; stdin ;; status ;; stderr ;; output
#
# fixture  shell run first in a fresh scratch directory (the working directory
#          of the case); `skip REASON` there skips the case.
# command  shell run next: `tandro` and `vfsmake` are the staged programs
#          (also $TANDRO and $VFSMAKE, for strace and the like);
#          its standard output goes to the file `out`, standard error to `err`.
# stdin    a file of the scratch directory, or empty for /dev/null.
# status   the command's exit status.
# stderr   the exact text (printf %b escapes), or ~REGEX for a match.
# output   checks joined by " & ", each [FILE=]SPEC on FILE (default `out`;
#          an empty column wants `out` empty):
#          SPEC is the exact text (%b escapes), =OTHER for the bytes of the
#          file OTHER, md5:HEX for a digest, or size:N for the length alone.
# Lines that start with "@ " are shell code added to the table's prelude
# (helpers its cases share); lines that are blank or start with # are ignored.
source "$(dirname "$0")/lib.sh"
table=${1:?usage: table.sh FILE.table}
skipped=0

prelude="$work/prelude.sh"
cat >"$prelude" <<EOF
TANDRO="$TANDRO"
VFSMAKE="$STAGE/usr/bin/vfsmake"
tandro() { "\$TANDRO" "\$@"; }
vfsmake() { "\$VFSMAKE" "\$@"; }
skip() { printf '%s\n' "\$*" >skipped; exit 0; }
# fill FILE BYTES: random data.
fill() { head -c "\$2" /dev/urandom >"\$1"; }
TOOLS="$TOOLS"
M32="${TANDRO_M32:-0}"
export LC_ALL=C
EOF

trim() {
    local s=$1
    s=${s#"${s%%[![:space:]]*}"}
    printf '%s' "${s%"${s##*[![:space:]]}"}"
}

# check_output CASE DIR SPEC: one check of the output column.
check_output() {
    local name=$1 dir=$2 spec=$3 file=out
    if [[ $spec =~ ^([A-Za-z0-9._/-]+)=(.*)$ ]]; then
        file=${BASH_REMATCH[1]}
        spec=${BASH_REMATCH[2]}
    fi
    case $spec in
    =*) expect_same_file "$name: $file" "$dir/${spec#=}" "$dir/$file" ;;
    md5:*) expect_eq "$name: $file digest" "${spec#md5:}" "$(md5sum <"$dir/$file" | cut -c1-32)" ;;
    size:*) expect_eq "$name: $file size" "${spec#size:}" "$(stat -c %s "$dir/$file" 2>&1)" ;;
    *)
        printf '%b' "$spec" >"$work/expected"
        expect_same_file "$name: $file" "$work/expected" "$dir/$file"
        ;;
    esac
}

# run_case NAME FIXTURE COMMAND STDIN STATUS STDERR OUTPUT
run_case() {
    local name=$1 dir
    dir=$(mktemp -d "$work/case.XXXXXX")
    # shellcheck source=/dev/null
    if ! (cd "$dir" && source "$prelude" && eval "$2") >"$dir/fixture.log" 2>&1; then
        fail "$name: fixture"
        cat "$dir/fixture.log" >&2
        return
    fi
    if [ -e "$dir/skipped" ]; then
        echo "SKIP: $name: $(cat "$dir/skipped")"
        skipped=$((skipped + 1))
        return
    fi
    local input=/dev/null
    [ -n "$4" ] && input="$dir/$4"
    (cd "$dir" && timeout 120 bash -c 'source "$1"; eval "$2"' case "$prelude" "$3") \
        <"$input" >"$dir/out" 2>"$dir/err"
    expect_eq "$name: status" "$5" "$?"
    if [[ $6 == "~"* ]]; then
        expect_match "$name: stderr" "${6#\~}" "$(cat "$dir/err")"
    else
        expect_eq "$name: stderr" "$(printf '%b' "$6")" "$(cat "$dir/err")"
    fi
    local rest=${7:-out=} check
    while [ -n "$rest" ]; do
        check=${rest%%" & "*}
        [ "$check" = "$rest" ] && rest= || rest=${rest#*" & "}
        check_output "$name" "$dir" "$(trim "$check")"
    done
}

grep '^@ ' "$table" | cut -c3- >>"$prelude"
while IFS= read -r line || [ -n "$line" ]; do
    [[ $line =~ ^[[:space:]]*(#|$)|^@\  ]] && continue
    fields=()
    while [[ $line == *" ;; "* || $line == *" ;;" ]]; do
        fields+=("$(trim "${line%%" ;;"*}")")
        line=${line#*" ;;"}
    done
    fields+=("$(trim "$line")")
    if [ "${#fields[@]}" -ne 7 ]; then
        fail "malformed row (${#fields[@]} fields): ${fields[0]}"
        continue
    fi
    run_case "${fields[@]}"
done <"$table"

[ "$skipped" -gt 0 ] && echo "$skipped skipped"
finish
