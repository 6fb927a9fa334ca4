#!/usr/bin/env bash
# Installs what building and testing tandro needs, when it is missing.
# As root it uses apt-get; otherwise it names the packages to install.
set -eu

# libc6-i386 is the 32-bit C library the shipped program runs on; it carries
# the iconv modules (/usr/lib32/gconv) that code page conversion loads.
packages=(cmake make g++ g++-multilib gcc-multilib libc6-i386 googletest libgtest-dev
          locales man-db tmux strace python3 bsdutils valgrind clang libclang-rt-14-dev
          lintian pkg-config clang-format clang-tidy shellcheck less)
if [ "${1:-}" = "--bench" ]; then
    packages+=(hyperfine pv busybox gnuplot-nox)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# GnuCOBOL is optional: the tests that need cobc skip themselves without it.
command -v cobc >/dev/null 2>&1 || missing+=(gnucobol)

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Please install: ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A grouping locale for the report tests; they skip themselves without it.
if [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qi '^en_US.utf8$'; then
    sed -i 's/^# *en_US.UTF-8 UTF-8/en_US.UTF-8 UTF-8/' /etc/locale.gen
    locale-gen >/dev/null 2>&1 || true
fi

# The shipped program is 32-bit x86. binfmt_misc is asked before the kernel's
# own loader, so an emulator entry left registered by an earlier run would run
# it through qemu even where the kernel runs it natively: the entry is
# disabled when the kernel runs the probe itself, and stays so. Only where it
# does not is qemu's user-mode emulator registered (or enabled again).
entry=/proc/sys/fs/binfmt_misc/qemu-i386
register_emulator() {
    dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed" ||
        apt-get install -y -qq qemu-user-static >/dev/null
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    # P keeps argv[0] as the caller gave it, so a program started through a
    # link still knows the name it was called by.
    if [ -e $entry ] && ! grep -q '^flags: .*P' $entry; then echo -1 >$entry; fi
    if [ -e $entry ]; then
        echo 1 >$entry
    else
        printf '%s' ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:FP" \
            >/proc/sys/fs/binfmt_misc/register
    fi
}

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void){return 0;}\n' >"$probe/p.c"
gcc -m32 "$probe/p.c" -o "$probe/p"
# The same probe with a padding byte of its ELF identification set: the
# kernel's loader ignores it, no emulator entry matches it, so it runs only
# natively. Turning the entry off just to probe would fail every 32-bit
# program others start meanwhile.
cp "$probe/p" "$probe/native"
printf '\001' | dd of="$probe/native" bs=1 seek=15 conv=notrunc status=none
if [ "$(id -u)" -eq 0 ] && [ -e $entry ] && "$probe/native" 2>/dev/null; then echo 0 >$entry; fi
if "$probe/p" 2>/dev/null; then
    if grep -qs '^enabled' $entry && "$probe/native" 2>/dev/null; then
        echo "32-bit programs run through qemu though the kernel runs them itself; as root this script disables $entry" >&2
    fi
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "32-bit programs do not run here; as root, install qemu-user-static and register it" >&2
    exit 1
fi
register_emulator
"$probe/p" || { echo "32-bit programs still do not run" >&2; exit 1; }
