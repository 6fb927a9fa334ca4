#!/usr/bin/env bash
# Writes the seed corpora fuzz/corpus/<target>/ with vfsmake: small files of
# every layout under the prefix index that reads them (see fuzz_files.cc),
# each under a few modes, and a damaged copy (last byte cut).
# Usage: make_seeds.sh VFSMAKE   (a native vfsmake, e.g. build/native/stage/usr/bin/vfsmake)
set -eu
vfsmake=${1:?usage: make_seeds.sh VFSMAKE}
dir=$(cd "$(dirname "$0")" && pwd)/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rm -rf "$dir"
mkdir -p "$dir/files" "$dir/names"
printf 'alpha\nbravo\ncharlie\n\ndelta\necho-ech\n' >"$tmp/short"
seq -f 'record %g of a longer file' 60 >"$tmp/many"
grep . "$tmp/short" >"$tmp/keyed"

# seed INDEX PREFIX INPUT: the file PREFIX makes of INPUT, under the modes
# none, -l 8, -r v and -r f -l 8.
seed() {
    local file=$tmp/f$RANDOM name
    "$vfsmake" -i "$tmp/$3" "$2:$file"
    for mode in 0 3 16 11; do
        name=$dir/files/$(printf '%s' "$1-$2-$3-m$mode" | tr ',=' '__')
        { printf "\\$(printf %03o "$1")\\$(printf %03o $mode)"; cat "$file"; } >"$name"
    done
    head -c -1 "$name" >"$name-cut"
}

for spec in "1 umb,recfm=f,lrecl=8,header" "6 umb,recfm=f,lrecl=8" "8 dox,recfm=f,lrecl=8" \
    "9 dox,recfm=fb,lrecl=8,blksize=32"; do
    seed $spec short
done
for spec in "0 umb,varfmt=1,header" "2 tev,header" "3 dox,recfm=vb,header" "10 umb,varfmt=0" \
    "11 umb,varfmt=1" "12 umb,varfmt=2" "13 umb,varfmt=3" "2 tev" "14 dox,recfm=v" "15 dox,recfm=vb" \
    "16 dox,recfm=vb,blksize=64"; do
    seed $spec short
    seed $spec many
done
for spec in "0 yar,order=le" "17 yar,order=le" "18 yar,order=le,keypos=1,keylen=3" "19 yar,order=be" \
    "20 yar,order=be,keypos=1,keylen=3"; do
    seed $spec keyed
done

# Names: prefixes with options, then a small file.
n=0
"$vfsmake" -i "$tmp/short" "dox,recfm=v:$tmp/v"
for p in umb umb,varfmt=2 umb,recfm=f,lrecl=8 umb,recfm=v,lrecl=16k tev tev,header dox,recfm=vb,blksize=64 \
    dox,recfm=fb,lrecl=8,blksize=32 yar,order=be,keypos=1,keylen=3 oka umb,bogus=1 dox,recfm=x; do
    n=$((n + 1))
    { printf '%s\n' "$p"; cat "$tmp/v"; } >"$dir/names/name$n"
done
echo "seeds: $(find "$dir" -type f | wc -l) files, $(du -sk "$dir" | cut -f1) KiB"
