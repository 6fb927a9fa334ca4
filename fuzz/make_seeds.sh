#!/usr/bin/env bash
# Writes the seed corpora fuzz/corpus/<target>/ with vfsmake: small files of
# every layout, each as every walk, plus a damaged copy (last byte cut).
# Usage: make_seeds.sh VFSMAKE   (a native vfsmake, e.g. build/native/stage/usr/bin/vfsmake)
set -eu
vfsmake=${1:?usage: make_seeds.sh VFSMAKE}
dir=$(cd "$(dirname "$0")" && pwd)/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'alpha\nbravo\ncharlie\n\ndelta\necho-ech\n' >"$tmp/short"
printf 'alpha\nbravo\ncharlie\ndelta\necho-echo\n' >"$tmp/keyed"
for i in $(seq 1 60); do printf 'record %d %s\n' "$i" "$(head -c $((i % 37)) /dev/zero | tr '\0' x)"; done \
    >"$tmp/many"

# seed TARGET INDEX COUNT FILE: the prefix selector (when the target has
# several prefixes), then one input per walk: dispatch, seek, read, cache.
seed() {
    local target=$1 index=$2 count=$3 file=$4 walk name
    mkdir -p "$dir/$target"
    for walk in 0 1 2 3; do
        name=$dir/$target/$(basename "$file")-w$walk
        {
            [ "$count" -gt 1 ] && printf "\\$(printf %03o "$index")"
            printf "\\$(printf %03o "$walk")"
            cat "$file"
        } >"$name"
    done
    head -c -1 "$name" >"$name-cut"
}

# make TARGET INDEX COUNT PREFIX INPUT [STEM]: a file made with PREFIX, seeded.
make_seed() {
    local stem=${6:-$(printf '%s' "$4" | tr ',=' '__')}
    rm -f "$tmp/$stem"
    "$vfsmake" -i "$5" "$4:$tmp/$stem"
    seed "$1" "$2" "$3" "$tmp/$stem"
}

rm -rf "$dir"
make_seed fixed 0 4 umb,recfm=f,lrecl=8 "$tmp/short" umb_f8
make_seed fixed 2 4 dox,recfm=f,lrecl=8 "$tmp/short" dox_f8
make_seed fixed 3 4 dox,recfm=fb,lrecl=8,blksize=32 "$tmp/short" dox_fb8
for input in short many; do
    for v in 0 1 2 3; do make_seed varprefix $v 4 umb,varfmt=$v "$tmp/$input" "umb_v${v}_$input"; done
    make_seed rdw 0 1 dox,recfm=v "$tmp/$input" "dox_v_$input"
    make_seed bdw 0 2 dox,recfm=vb "$tmp/$input" "dox_vb_$input"
    make_seed bdw 1 2 dox,recfm=vb,blksize=64 "$tmp/$input" "dox_vb64_$input"
    make_seed lines 0 2 tev "$tmp/$input" "tev_$input"
    make_seed lines 1 2 tev,header "$tmp/$input" "tev_header_$input"
done
make_seed keyed_le 0 2 yar,order=le "$tmp/keyed"
make_seed keyed_le 1 2 yar,order=le,keypos=1,keylen=3 "$tmp/keyed"
make_seed keyed_be 0 2 yar,order=be "$tmp/keyed"
make_seed keyed_be 1 2 yar,order=be,keypos=1,keylen=3 "$tmp/keyed"

# The header target: files with our header, under each prefix index
# ("", umb, tev, dox, yar, oka) that matches and under none.
for spec in "1 umb,varfmt=1,header" "1 umb,recfm=f,lrecl=8,header" "2 tev,header" \
    "3 dox,recfm=v,header" "3 dox,recfm=vb,header" "4 yar,order=le" "4 yar,order=be"; do
    set -- $spec
    stem=hdr_$(printf '%s' "$2" | tr ',=' '__')
    "$vfsmake" -i "$tmp/short" "$2:$tmp/$stem" 2>/dev/null || "$vfsmake" -i "$tmp/keyed" "$2:$tmp/$stem"
    seed header "$1" 6 "$tmp/$stem"
    seed header 0 6 "$tmp/$stem"
done

# Names: prefixes with options, then a small file.
mkdir -p "$dir/names"
n=0
for p in umb umb,varfmt=2 umb,recfm=f,lrecl=8 "umb,recfm=v,lrecl=16k" tev tev,header dox,recfm=vb,blksize=64 \
    dox,recfm=fb,lrecl=8,blksize=32 yar,order=be,keypos=1,keylen=3 oka umb,bogus=1 dox,recfm=x; do
    n=$((n + 1))
    { printf '%s\n' "$p"; cat "$tmp/dox_v_short"; } >"$dir/names/name$n"
done
echo "seeds: $(find "$dir" -type f | wc -l) files, $(du -sk "$dir" | cut -f1) KiB"
