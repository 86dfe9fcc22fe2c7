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
service_stopped() { (cd "$c" && $wine64 sc query MerrowfaldineLwf 2> /dev/null | grep -q STOPPED); }
# Runs the command every half second until it succeeds, for at most PATIENCE seconds: the
# i386 driver host runs emulated where the kernel cannot run 32-bit programs, and one try
# of a command that starts a Wine program can itself take seconds.
within_patience() {
    local deadline=$(($(date +%s) + patience))
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.5
    done
}
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
    within_patience test -f "$drv/ndis-books.txt"
    local books
    books=$(tr -d '\r' < "$drv/ndis-books.txt")
    echo "        $books" >&2
    grep -q '^ndis.sys stand-in books: balanced, [1-9][0-9]* blocks allocated, 0 outstanding, 0 bad frees, filter deregistered, 0 control devices left$' <<< "$books"
}

# One Wine session per driver start: a restarted driver's symbolic link would collide. The
# prefix is set up once and copied for each run: its set-up runs 32-bit programs too, which
# cost minutes where they run emulated.
make_prefix() {
    export WINEPREFIX=$out/driverprefix
    rm -rf "$WINEPREFIX"
    $wine64 wineboot -i > "$out/driver-wineboot.log" 2>&1
    # Without the override Wine loads its own ndis.sys, whose first NDIS call aborts.
    $wine64 reg add 'HKCU\Software\Wine\DllOverrides' /v ndis.sys /d native /f > /dev/null 2>&1
    /usr/bin/wineserver -w
}

# Writes the driver's service to the registry, as the sc.exe of the driver's own
# architecture creates it: an i386 driver is marked WOW64, so that the service manager
# starts the 32-bit driver host for it. (The 32-bit sc.exe itself would take minutes where
# 32-bit programs run emulated; the one of the other architecture gets the mark wrong and
# the load fails with c0000142.)
add_service() { # ARCH IMAGE
    local key='HKLM\System\CurrentControlSet\Services\MerrowfaldineLwf'
    local values=("Type REG_DWORD 1" "Start REG_DWORD 3" "ErrorControl REG_DWORD 1"
        "ObjectName REG_SZ LocalSystem" "ImagePath REG_SZ $2")
    [ "$1" = i386 ] && values+=("WOW64 REG_DWORD 1")
    local name type data
    for value in "${values[@]}"; do
        read -r name type data <<< "$value"
        $wine64 reg add "$key" /v "$name" /t "$type" /d "$data" /f > /dev/null 2>&1 || return 1
    done
}

run_filter() { # ARCH SYS STANDIN PATIENCE
    local arch=$1 sys=$2 standin=$3
    patience=$4
    export WINEPREFIX=$out/driverprefix-$arch
    rm -rf "$WINEPREFIX"
    cp -a "$out/driverprefix" "$WINEPREFIX"
    c=$WINEPREFIX/drive_c
    drv=$c/drv/$arch
    mkdir -p "$drv"
    cp "$sys" "$standin" "$drv/"
    cp "$out/merrowfaldine-ctl.exe" "$c/drv/"
    check "$arch: the service is written to the registry" \
        add_service "$arch" "C:\\drv\\$arch\\$(basename "$sys")"
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
    (cd "$c" && $wine64 sc start MerrowfaldineLwf > /dev/null 2>&1)
    check "$arch: the filter loads and its control device answers version $version" \
        within_patience answers
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
    (cd "$c" && $wine64 sc stop MerrowfaldineLwf > /dev/null 2>&1)
    check "$arch: sc stop unloads the filter" within_patience service_stopped
    check "$arch: the control device is gone after the unload" bash -c \
        "(cd '$c' && $wine64 'C:\\drv\\merrowfaldine-ctl.exe' version 2>&1) | grep -q 'cannot open'"
    check "$arch: the stand-in's books balance after the unload" books_balanced
    stop_session
}

# The 32-bit loader needs the kernel to run 32-bit programs, natively or through qemu-user
# (scripts/install-wine32.sh sets that up); where it cannot, the shipped file cannot be run
# at all, and that is a failure, not a skip.
loader_error=$($wine32 --version 2>&1 > /dev/null)
loader_runs=$?
check "i386: Wine's 32-bit loader runs here" test $loader_runs = 0
make_prefix
if [ $loader_runs = 0 ]; then
    # Emulated, the 32-bit driver host takes minutes to start.
    run_filter i386 "$out/MerrowfaldineLwf.sys" "$out/winehost/i386/ndis.sys" 900
else
    echo "        $loader_error" >&2
    echo "        (the kernel runs no 32-bit programs: scripts/install-wine32.sh)" >&2
fi
run_filter x64 "$out/winehost/x64/MerrowfaldineLwf.sys" "$out/winehost/x64/ndis.sys" 120

check_summary "wine drivers"
