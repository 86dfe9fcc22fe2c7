#!/usr/bin/env bash
# Runs the NDIS 6 filter under Wine's kernel-driver host with the ndis.sys stand-in beside
# it, and talks to its control device with merrowfaldine-ctl.exe: the shipped
# MerrowfaldineLwf.sys (PE32 i386, on Wine's 32-bit loader) and the same sources built for
# x64 (on the 64-bit loader). Usage: drivers.sh OUT (the windows.mk output).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/checks.sh"
source "$here/wine_session.sh"
out=$(cd "${1:?usage: drivers.sh OUT}" && pwd) || exit 1
WINE_TOOL_DIR=$out
need $wine64 "Wine's 64-bit loader"
trap stop_session EXIT

service=MerrowfaldineLwf
service_stopped() { (cd "$c" && $wine64 sc query $service 2> /dev/null | grep -q STOPPED); }
# The stand-in attaches the filter to one adapter of its own.
lists_adapter() { [ "$(ctl modules)" = '{5D3C6F0E-0000-4000-8000-000000000001}' ]; }
inspection() { (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' inspection "$1" > /dev/null 2>&1); }
# The books line is written when the stand-in is unloaded, after the driver's unload.
books_balanced() {
    within_patience test -f "$drv/ndis-books.txt"
    local books
    books=$(tr -d '\r' < "$drv/ndis-books.txt")
    echo "        $books" >&2
    grep -q '^ndis.sys stand-in books: balanced, [1-9][0-9]* blocks allocated, 0 outstanding, 0 pools, 0 NET_BUFFERs, 0 MDLs, 0 NBLs out, 0 faults, filter deregistered, 0 control devices left$' <<< "$books"
}

# One Wine session per driver start: a restarted driver's symbolic link would collide. The
# prefix is set up once and copied for each run: its set-up runs 32-bit programs too, which
# cost minutes where they run emulated.
run_filter() { # ARCH SYS STANDIN PATIENCE
    local arch=$1 sys=$2 standin=$3
    patience=$4
    check "$arch: the driver's prefix is set up and its service written" \
        driver_prefix "$out/driverprefix" $service "$arch" "$sys" "$standin"
    start_session "$out/keeper.fifo"

    check "$arch: the control device does not answer before the filter starts" \
        bash -c "! (cd '$c' && $wine64 'C:\\drv\\merrowfaldine-ctl.exe' version > /dev/null 2>&1)"
    check "$arch: the filter's service starts" within_patience driver_started $service
    check "$arch: the filter loads and its control device answers version $version" \
        within_patience answers
    check "$arch: stats answer with zero traffic before any frame" \
        test "$(ctl --json stats)" = '{"type":"stats","smb_inbound_packets":0,"smb_inbound_bytes":0,"smb_outbound_packets":0,"smb_outbound_bytes":0}'
    for policy in "$here"/../data/replay/*.policy.json; do
        name=$(basename "$policy")
        check "$arch: the engine accepts policy $name" policy_applied "$name"
    done
    check "$arch: the module list names the stand-in's adapter" within_patience lists_adapter
    check "$arch: inspection off is accepted" inspection off
    check "$arch: inspection on is accepted" inspection on
    check "$arch: the filter still answers before the stop" answers
    (cd "$c" && $wine64 sc stop $service > /dev/null 2>&1)
    check "$arch: sc stop unloads the filter" within_patience service_stopped
    check "$arch: the control device is gone after the unload" bash -c \
        "(cd '$c' && $wine64 'C:\\drv\\merrowfaldine-ctl.exe' version 2>&1) | grep -q 'cannot open'"
    check "$arch: the stand-in's books balance after the unload" books_balanced
    stop_session
}

# The 32-bit loader needs the kernel to run 32-bit programs, natively or through qemu-user
# (scripts/install-wine32.sh sets that up); where it cannot, the shipped file cannot be run
# at all, and that is a failure, not a skip.
loader_error=$(/usr/lib/wine/wine --version 2>&1 > /dev/null)
loader_runs=$?
check "i386: Wine's 32-bit loader runs here" test $loader_runs = 0
new_prefix "$out/driverprefix" "$out/driver-wineboot.log"
if [ $loader_runs = 0 ]; then
    # Emulated, the 32-bit driver host takes minutes to start.
    run_filter i386 "$out/MerrowfaldineLwf.sys" "$out/winehost/i386/ndis.sys" 900
else
    echo "        $loader_error" >&2
    echo "        (the kernel runs no 32-bit programs: scripts/install-wine32.sh)" >&2
fi
run_filter x64 "$out/winehost/x64/MerrowfaldineLwf.sys" "$out/winehost/x64/ndis.sys" 120

check_summary "wine drivers"
