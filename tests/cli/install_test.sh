#!/usr/bin/env bash
# make install and make package: the tree lands under DESTDIR and the prefix,
# the packages hold it below /opt/qor/vanto/rte, and every copy runs where it lies.
source "$(dirname "$0")/lib.sh"

real=$(cd "$work" && pwd -P)
printf 'installed data\n' >"$work/data"
mkdir -p "$real/fakebin"
cat >"$real/fakebin/man" <<EOF2
#!/bin/sh
printf '%s\n' "\$MANPATH" >"$work/manpath"
EOF2
chmod +x "$real/fakebin/man"

# runs_from NAME TREE: the program of TREE copies a file and finds its own pages first.
runs_from() {
    run "$2/usr/bin/tandro" "$work/data"
    expect_eq "$1: copies" "0:installed data" "$rc:$(cat "$work/out")"
    rm -f "$work/manpath"
    run env PATH="$real/fakebin:/usr/bin:/bin" "$2/usr/bin/tandro" -m
    expect_match "$1: MANPATH starts with its pages" "^$2/usr/share/man/(:|$)" "$(cat "$work/manpath")"
}

expected_files="usr/bin/tandro usr/lib/libvfs_orvane_32r.so usr/share/man/man1/tandro.1"
[ -e "$STAGE/usr/bin/vfsmake" ] && expected_files="$expected_files usr/bin/vfsmake"

DESTDIR="$real/dest" cmake --install "$BUILD_DIR" --prefix /opt/qor/vanto/rte >/dev/null
expect_eq "install: status" 0 "$?"
for f in $expected_files; do
    expect_eq "install: $f" 1 "$([ -f "$real/dest/opt/qor/vanto/rte/$f" ] && echo 1)"
done
runs_from install "$real/dest/opt/qor/vanto/rte"

if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
    cpack --config "$BUILD_DIR/CPackConfig.cmake" -B "$real/pkg" >"$work/cpack.log" 2>&1
    expect_eq "package: status" 0 "$?"
    tgz=$(ls "$real"/pkg/tandro-*.tar.gz 2>/dev/null)
    deb=$(ls "$real"/pkg/tandro_*.deb 2>/dev/null)
    expect_eq "package: one tarball and one .deb" "1 1" "$(echo "$tgz" | grep -c .) $(echo "$deb" | grep -c .)"
    for f in $expected_files; do
        expect_eq "tarball: $f" 1 "$(tar tzf "$tgz" | grep -cx "\(\./\)\?opt/qor/vanto/rte/$f")"
        expect_eq "deb: $f" 1 "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -cx "\./opt/qor/vanto/rte/$f")"
    done
    if [ "$TANDRO_M32" = 1 ]; then arch=i386; else arch=$(dpkg --print-architecture); fi
    expect_eq "deb: name and architecture" "tandro $arch" \
        "$(dpkg-deb -f "$deb" Package Architecture | awk '{print $2}' | paste -sd' ')"
    mkdir -p "$real/anywhere"
    tar -C "$real/anywhere" -xzf "$tgz"
    runs_from "unpacked tarball" "$real/anywhere/opt/qor/vanto/rte"
else
    echo "SKIP: cpack or dpkg-deb missing; packages not built"
fi

finish
