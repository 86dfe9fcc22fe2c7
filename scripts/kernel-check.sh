#!/usr/bin/env bash
# Compiles the engine, the Windows platform layer and the NDIS 6 filter host as kernel code
# for x86 and x64
# (freestanding, no exceptions, no RTTI, no C runtime) against the mingw-w64 ddk headers,
# then checks that the objects need nothing but kernel exports and each other.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/kernel-check}

flags=(-std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
       -fno-asynchronous-unwind-tables -nostdlib -Wall -Wextra -Werror -Wno-multichar
       -Wframe-larger-than=2048
       -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
       -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset)
# What the kernel itself exports to the engine (memset and friends come from ntoskrnl).
# NDIS.SYS exports its functions to the filter host. The layout checks of our NDIS and
# kernel declarations (platform/ndis6.h, platform/win/ndis_layout_check.cpp) run as part of
# the compile.
allowed='^(memset|memcpy|memcmp|memmove|_?_?imp_[_@A-Za-z0-9]*|_?_?chkstk.*|___chkstk_ms|Ndis[A-Za-z]*(@[0-9]+)?)$'

status=0
for arch in i686 x86_64; do
    cc=$arch-w64-mingw32-g++
    dir=$out/$arch
    mkdir -p "$dir"
    objects=()
    for src in engine/*.cpp platform/win/*.cpp lwf/*.cpp; do
        obj=$dir/$(basename "${src%.cpp}").o
        $cc "${flags[@]}" -isystem "/usr/$arch-w64-mingw32/include/ddk" -c "$src" -o "$obj"
        objects+=("$obj")
    done
    $arch-w64-mingw32-ld -r -o "$dir/engine-kernel.o" "${objects[@]}"
    undefined=$($arch-w64-mingw32-nm -u "$dir/engine-kernel.o" | awk '{print $2}' |
                sed 's/^_//' | grep -Ev "$allowed" || true)
    if [ -n "$undefined" ]; then
        echo "kernel-check $arch: symbols the kernel does not provide:" >&2
        echo "$undefined" >&2
        status=1
    else
        echo "kernel-check $arch: ${#objects[@]} files compiled as kernel code"
    fi
done
exit $status
