#!/usr/bin/env bash
# Writes the seed corpora fuzz/corpus/<target>/ with vfsmake: small files of
# every layout, each under a few modes (-l and -r, see fuzz_common.h), and a
# damaged copy (last byte cut).
# Usage: make_seeds.sh VFSMAKE   (a native vfsmake, e.g. build/native/stage/usr/bin/vfsmake)
set -eu
vfsmake=${1:?usage: make_seeds.sh VFSMAKE}
dir=$(cd "$(dirname "$0")" && pwd)/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'alpha\nbravo\ncharlie\n\ndelta\necho-ech\n' >"$tmp/short"
printf 'alpha\nbravo\ncharlie\ndelta\necho-echo\n' >"$tmp/keyed"
seq -f 'record %g of a longer file' 60 >"$tmp/many"

# seed TARGET INDEX COUNT FILE: the prefix selector (when the target has
# several prefixes), then one input per mode: none, -l 8, -r v, -r f -l 8.
seed() {
    local name
    mkdir -p "$dir/$1"
    for mode in 0 3 16 11; do
        name=$dir/$1/$(basename "$4")-m$mode
        { [ "$3" -gt 1 ] && printf "\\$(printf %03o "$2")"; printf "\\$(printf %03o $mode)"; cat "$4"; } >"$name"
    done
    head -c -1 "$name" >"$name-cut"
}
# make_seed TARGET INDEX COUNT PREFIX INPUT STEM: a file made with PREFIX, seeded.
make_seed() {
    "$vfsmake" -i "$5" "$4:$tmp/$6"
    seed "$1" "$2" "$3" "$tmp/$6"
}

rm -rf "$dir"
make_seed fixed 0 4 umb,recfm=f,lrecl=8 "$tmp/short" umb_f8
make_seed fixed 2 4 dox,recfm=f,lrecl=8 "$tmp/short" dox_f8
make_seed fixed 3 4 dox,recfm=fb,lrecl=8,blksize=32 "$tmp/short" dox_fb8
for in in short many; do
    for v in 0 1 2 3; do make_seed varprefix $v 4 umb,varfmt=$v "$tmp/$in" umb_v${v}_$in; done
    make_seed rdw 0 1 dox,recfm=v "$tmp/$in" dox_v_$in
    make_seed bdw 0 2 dox,recfm=vb "$tmp/$in" dox_vb_$in
    make_seed bdw 1 2 dox,recfm=vb,blksize=64 "$tmp/$in" dox_vb64_$in
    make_seed lines 0 2 tev "$tmp/$in" tev_$in
    make_seed lines 1 2 tev,header "$tmp/$in" tev_header_$in
done
for order in le be; do
    make_seed keyed_$order 0 2 yar,order=$order "$tmp/keyed" yar_$order
    make_seed keyed_$order 1 2 yar,order=$order,keypos=1,keylen=3 "$tmp/keyed" yar_${order}_key
done

# The header target: files with our header under each prefix index
# ("", umb, tev, dox, yar, oka) that matches, and under none.
for spec in "1 umb,varfmt=1,header" "1 umb,recfm=f,lrecl=8,header" "2 tev,header" \
    "3 dox,recfm=v,header" "3 dox,recfm=vb,header" "4 yar,order=le" "4 yar,order=be"; do
    set -- $spec
    stem=hdr_$(printf '%s' "$2" | tr ',=' '__')
    in=short
    [ "${2%%,*}" = yar ] && in=keyed
    "$vfsmake" -i "$tmp/$in" "$2:$tmp/$stem"
    seed header "$1" 6 "$tmp/$stem"
    seed header 0 6 "$tmp/$stem"
done

# Names: prefixes with options, then a small file.
mkdir -p "$dir/names"
n=0
for p in umb umb,varfmt=2 umb,recfm=f,lrecl=8 umb,recfm=v,lrecl=16k tev tev,header dox,recfm=vb,blksize=64 \
    dox,recfm=fb,lrecl=8,blksize=32 yar,order=be,keypos=1,keylen=3 oka umb,bogus=1 dox,recfm=x; do
    n=$((n + 1))
    { printf '%s\n' "$p"; cat "$tmp/dox_v_short"; } >"$dir/names/name$n"
done
echo "seeds: $(find "$dir" -type f | wc -l) files, $(du -sk "$dir" | cut -f1) KiB"
