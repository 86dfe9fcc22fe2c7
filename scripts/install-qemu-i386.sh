#!/usr/bin/env bash
# Lets this machine run 32-bit x86 programs (Wine's 32-bit loader among them) where the
# kernel cannot (ia32_emulation off): installs qemu-user-static and registers its i386
# emulator for 32-bit ELF programs in binfmt_misc. Does nothing where the kernel runs them
# itself or the emulator is already registered; fails loudly when they still cannot run.
# The registration lasts until the next boot.
set -euo pipefail

binfmt=/proc/sys/fs/binfmt_misc
emulator=/usr/bin/qemu-i386-static
# ELF, 32-bit, little-endian, version 1, executable or shared object, machine 3 (i386);
# the mask leaves out the OS ABI bytes and the low bit of the type.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# Builds and runs a 32-bit program that only exits with status 0.
runs_i386() {
    local dir
    dir=$(mktemp -d)
    printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' \
        > "$dir/exit.s"
    local status=1
    if as --32 -o "$dir/exit.o" "$dir/exit.s" && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o"; then
        "$dir/exit" 2> /dev/null && status=0
    else
        echo "cannot build the 32-bit probe (binutils with i386 support is needed)" >&2
    fi
    rm -rf "$dir"
    return $status
}

if runs_i386; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "this kernel cannot run 32-bit programs (run as root to set up qemu-user)" >&2
    exit 1
fi
echo "the kernel cannot run 32-bit programs: registering qemu-user's i386 emulator"
if [ ! -x $emulator ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends qemu-user-static > /dev/null ||
        { apt-get update -qq || true; apt-get install -y -qq --no-install-recommends qemu-user-static > /dev/null; }
fi
[ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
if [ -e $binfmt/qemu-i386 ]; then
    # Registered before (by hand or by a package): switched on, whatever its interpreter.
    echo 1 > $binfmt/qemu-i386
else
    # F: the emulator is opened now, so it also serves programs in other mount namespaces.
    echo ":qemu-i386:M::$magic:$mask:$emulator:F" > $binfmt/register
fi
if ! runs_i386; then
    echo "32-bit programs still cannot run after registering $emulator:" >&2
    cat $binfmt/qemu-i386 >&2 || true
    exit 1
fi
echo "32-bit programs run through $emulator"
