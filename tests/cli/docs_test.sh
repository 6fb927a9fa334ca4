#!/usr/bin/env bash
# The documents against the program: every message the sources can print is
# explained in tandro(1)'s DIAGNOSTICS, and make demo and every README session
# (a block of "$ command" lines and what they print) give the text shown.
source "$(dirname "$0")/lib.sh"
export LC_ALL=C PATH="$STAGE/usr/bin:$PATH"
command -v man >/dev/null || skip_all "man is not installed"

# Message formats: literals (adjacent ones joined) that end a line, but for the
# help and version texts; then the library's texts of its own errors.
perl -0777 -ne 's/"\s*\n\s*"//g; while (/"((?:[^"\\]|\\.)*)\\n"/g) { print "$1\n" if $1 !~ /\\t|^\@\(#\)/ }' \
    "$SRC_DIR"/libvfs/*.cc "$SRC_DIR"/libports/src/*.cc >"$work/formats"
perl -0777 -ne 'if (/texts\[\] = \{(.*?)\};/s) { my $t = $1; print "$1\n" while $t =~ /"([^"]+)"/g }' \
    "$SRC_DIR/orvane/vfs_errors.cc" >>"$work/formats"
MANWIDTH=250 man -l "$STAGE"/usr/share/man/man1/tandro.1* | awk '/^DIAGNOSTICS/ { f = 1; next } /^[A-Z]/ { f = 0 } f' >"$work/diagnostics"
# A format is documented when its fixed parts appear, in order, on one line.
perl -e 'open(D, shift); my @d = map { s/\s+/ /gr } <D>;
    while (<STDIN>) { chomp; my @p = grep /[a-z]/i, map { s/\\(.)/$1/gr =~ s/\s+/ /gr } split /%[-\x27 #0+]*\d*(?:\.\d+)?(?:ll|l|z|h)?[a-zA-Z%]/;
        my $re = join ".*", map { quotemeta } @p; print "$_\n" if @p && !grep /$re/, @d }' \
    "$work/diagnostics" <"$work/formats" >"$work/undocumented"
expect_same_file "every message in DIAGNOSTICS (undocumented ones listed)" /dev/null "$work/undocumented"
[ -s "$work/undocumented" ] && cat "$work/undocumented" >&2

# Times and rates of a -T report differ from run to run; its byte count does not.
timeless() { sed -E 's/^(Elapsed: )[0-9.]+s  User: [0-9.]+s  Sys: [0-9.]+s(  I\/O: [^ ]+  ).*/\1\2/'; }
# session_blocks FILE: each fenced block that starts with "$ ", blocks apart by a NUL.
session_blocks() { awk '/^```/ { if (b ~ /^\$ /) printf "%s%c", b, 0; b = ""; f = !f; next } f { b = b $0 "\n" }' "$1"; }
# replay: runs the "$ " lines of a block on standard input, printing them and their output.
replay() { grep '^\$ ' | while IFS= read -r c; do printf '%s\n' "$c"; bash -c "${c#\$ }" 2>&1 </dev/null; done; }

n=0
while IFS= read -r -d '' block; do
    n=$((n + 1))
    dir="$work/session$n" && mkdir "$dir" && cp -r "$SRC_DIR/samples" "$dir/"
    if [[ $block == '$ make demo'$'\n'* ]]; then
        # Not the jobserver or the directory lines of a make that runs the tests.
        env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -s --no-print-directory -C "$SRC_DIR" \
            demo-session STAGE="$STAGE" DEMO_DIR="$dir" >"$dir/got" 2>&1
        block=${block#*$'\n'}
    else
        (cd "$dir" && printf '%s' "$block" | replay) >"$dir/got"
    fi
    printf '%s' "$block" | timeless >"$dir/want"
    timeless <"$dir/got" >"$dir/got.timeless"
    expect_same_file "README session $n (${block%%$'\n'*})" "$dir/want" "$dir/got.timeless"
    cmp -s "$dir/want" "$dir/got.timeless" || diff "$dir/want" "$dir/got.timeless" >&2
done < <(session_blocks "$SRC_DIR/README.md")
expect_match "README sessions found, make demo's among them" '^[2-9]' "$n"
finish
