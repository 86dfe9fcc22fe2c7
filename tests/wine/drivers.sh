#!/usr/bin/env bash
# Runs the NDIS 6 filter under Wine's kernel-driver host with the ndis.sys stand-in beside
# it, and talks to its control device with merrowfaldine-ctl.exe: the shipped
# MerrowfaldineLwf.sys (PE32 i386, on Wine's 32-bit loader) and the same sources built for
# x64 (on the 64-bit loader). Usage: drivers.sh OUT (the windows.mk output).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/checks.sh"
out=$(cd "${1:?usage: drivers.sh OUT}" && pwd) || exit 1
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
if [ ! -x $wine32 ] || [ ! -x $wine64 ]; then
    echo "FAIL: Wine's 32- and 64-bit loaders are both needed (scripts/install-wine32.sh)" >&2
    exit 1
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY
version=$(grep -o 'EngineVersion = [0-9]*' "$here/../../engine/control_codes.h" | grep -o '[0-9]*$')

# What each run started, stopped by PID when the script ends however it ends.
sleeper=
keeper=
stop_session() {
    [ -n "$keeper" ] && kill "$keeper" 2> /dev/null
    [ -n "$sleeper" ] && kill "$sleeper" 2> /dev/null
    [ -n "${WINEPREFIX:-}" ] && /usr/bin/wineserver -k 2> /dev/null
    keeper=
    sleeper=
}
trap stop_session EXIT

ctl() { (set -o pipefail && cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' "$@" 2> /dev/null | tr -d '\r'); }
answers() { [ "$(ctl version)" = "$version" ]; }
service_stopped() { (cd "$c" && $loader sc query MerrowfaldineLwf 2> /dev/null | grep -q STOPPED); }
# Exit status 0 and no output: the driver answered and listed no module.
no_modules() {
    local listed
    listed=$(ctl modules) || return 1
    [ -z "$listed" ]
}
policy_applied() {
    (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' policy "C:\\drv\\$1" 2>&1) |
        grep -q '^policy applied: [0-9]* rules'
}
inspection() { (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' inspection "$1" > /dev/null 2>&1); }
# The books line is written when the stand-in is unloaded, after the driver's unload.
books_balanced() {
    eventually 20 test -f "$drv/ndis-books.txt"
    local books
    books=$(tr -d '\r' < "$drv/ndis-books.txt")
    echo "        $books" >&2
    grep -q '^ndis.sys stand-in books: balanced, [1-9][0-9]* blocks allocated, 0 outstanding, 0 bad frees, filter deregistered, 0 control devices left$' <<< "$books"
}

# One Wine session per driver start: a restarted driver's symbolic link would collide.
run_filter() { # ARCH LOADER SYS STANDIN
    local arch=$1 sys=$3 standin=$4
    loader=$2
    export WINEPREFIX=$out/driverprefix-$arch
    rm -rf "$WINEPREFIX"
    $wine64 wineboot -i > "$out/driver-wineboot-$arch.log" 2>&1
    c=$WINEPREFIX/drive_c
    drv=$c/drv/$arch
    mkdir -p "$drv"
    cp "$sys" "$standin" "$drv/"
    cp "$out/merrowfaldine-ctl.exe" "$c/drv/"
    # Without the override Wine loads its own ndis.sys, whose first NDIS call aborts.
    $wine64 reg add 'HKCU\Software\Wine\DllOverrides' /v ndis.sys /d native /f > /dev/null 2>&1
    # The set-up session ends before the run's own starts: a keeper that attached to the
    # ending session would leave the service manager stopping under the run.
    /usr/bin/wineserver -w
    # Wine stops the service manager, and the drivers with it, when the last user process
    # exits: one stays alive for the whole run, reading a FIFO nobody writes to.
    rm -f "$out/keeper.fifo"
    mkfifo "$out/keeper.fifo"
    sleep 3600 > "$out/keeper.fifo" 2> /dev/null &
    sleeper=$!
    $wine64 cmd.exe < "$out/keeper.fifo" > /dev/null 2>&1 &
    keeper=$!

    check "$arch: the control device does not answer before the filter starts" \
        bash -c "! (cd '$c' && $wine64 'C:\\drv\\merrowfaldine-ctl.exe' version > /dev/null 2>&1)"
    # The service is created by the sc.exe of the driver's own architecture; the other one
    # marks it as a WOW64 service, which fails to load.
    (cd "$c" && $loader sc create MerrowfaldineLwf type= kernel \
        binPath= "C:\\drv\\$arch\\$(basename "$sys")" > /dev/null 2>&1)
    (cd "$c" && $loader sc start MerrowfaldineLwf > /dev/null 2>&1)
    check "$arch: the filter loads and its control device answers version $version" \
        eventually 60 answers
    check "$arch: stats answer with zero traffic before any frame" \
        test "$(ctl --json stats)" = '{"type":"stats","smb_inbound_packets":0,"smb_inbound_bytes":0,"smb_outbound_packets":0,"smb_outbound_bytes":0}'
    for policy in "$here"/../data/replay/*.policy.json; do
        name=$(basename "$policy")
        cp "$policy" "$c/drv/$name"
        check "$arch: the engine accepts policy $name" policy_applied "$name"
    done
    check "$arch: the module list answers and is empty without an adapter" no_modules
    check "$arch: inspection off is accepted" inspection off
    check "$arch: inspection on is accepted" inspection on
    check "$arch: the filter still answers before the stop" answers
    (cd "$c" && $loader sc stop MerrowfaldineLwf > /dev/null 2>&1)
    check "$arch: sc stop unloads the filter" eventually 60 service_stopped
    check "$arch: the control device is gone after the unload" bash -c \
        "(cd '$c' && $wine64 'C:\\drv\\merrowfaldine-ctl.exe' version 2>&1) | grep -q 'cannot open'"
    check "$arch: the stand-in's books balance after the unload" books_balanced
    stop_session
}

# The 32-bit loader needs the kernel to run 32-bit programs; where it cannot, the shipped
# file cannot be run at all, and that is a failure, not a skip.
loader_error=$($wine32 --version 2>&1 > /dev/null)
loader_runs=$?
check "i386: Wine's 32-bit loader runs here" test $loader_runs = 0
if [ $loader_runs = 0 ]; then
    run_filter i386 $wine32 "$out/MerrowfaldineLwf.sys" "$out/winehost/i386/ndis.sys"
else
    echo "        $loader_error" >&2
    echo "        (the kernel does not run 32-bit programs; see dmesg for ia32_emulation)" >&2
fi
run_filter x64 $wine64 "$out/winehost/x64/MerrowfaldineLwf.sys" "$out/winehost/x64/ndis.sys"

check_summary "wine drivers"
