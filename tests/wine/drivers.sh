#!/usr/bin/env bash
# Runs the shipped MerrowfaldineLwf.sys (PE32 i386) under Wine's kernel-driver host with
# the ndis.sys stand-in beside it, and talks to its control device with
# merrowfaldine-ctl.exe. Usage: drivers.sh OUT (the windows.mk output).
set -u
source "$(dirname "$0")/../../scripts/checks.sh"
out=$(cd "${1:?usage: drivers.sh OUT}" && pwd) || exit 1
if [ ! -x /usr/lib/wine/wine ] || [ ! -x /usr/lib/wine/wine64 ]; then
    echo "FAIL: Wine's 32- and 64-bit loaders are both needed (scripts/install-wine32.sh)" >&2
    exit 1
fi
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
export WINEPREFIX=$out/driverprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY
rm -rf "$WINEPREFIX"
$wine64 wineboot -i > "$out/driver-wineboot.log" 2>&1
c=$WINEPREFIX/drive_c
mkdir -p "$c/drv/i386"
cp "$out/MerrowfaldineLwf.sys" "$out/winehost/i386/ndis.sys" "$c/drv/i386/"
cp "$out/merrowfaldine-ctl.exe" "$c/drv/"
# Without the override Wine loads its own ndis.sys, whose first NDIS call aborts.
$wine64 reg add 'HKCU\Software\Wine\DllOverrides' /v ndis.sys /d native /f > /dev/null 2>&1

# Wine stops the service manager, and the drivers with it, when the last user process
# exits: one stays alive for the whole test.
sleep 3600 2> /dev/null | $wine64 cmd.exe > /dev/null 2>&1 &
keeper=$!
trap 'kill $keeper 2> /dev/null; /usr/bin/wineserver -k 2> /dev/null' EXIT

ctl() { (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' "$@" 2> /dev/null | tr -d '\r'); }
running() {
    for _ in $(seq 1 60); do
        [ "$(ctl version)" != "" ] && return 0
        sleep 0.5
    done
    return 1
}
stopped() {
    for _ in $(seq 1 60); do
        (cd "$c" && $wine32 sc query MerrowfaldineLwf 2> /dev/null | grep -q STOPPED) && return 0
        sleep 0.5
    done
    return 1
}

# The service is created by the sc.exe of the driver's own architecture; the other one
# marks it as a WOW64 service, which fails to load.
(cd "$c" && $wine32 sc create MerrowfaldineLwf type= kernel \
    binPath= 'C:\drv\i386\MerrowfaldineLwf.sys' > /dev/null 2>&1)
(cd "$c" && $wine32 sc start MerrowfaldineLwf > /dev/null 2>&1)
check "the i386 filter loads and its control device answers" running
version=$(grep -o 'EngineVersion = [0-9]*' "$(dirname "$0")/../../engine/control_codes.h" | grep -o '[0-9]*$')
check "the version read through DeviceIoControl is the engine's ($version)" \
    test "$(ctl version)" = "$version"
check "stats answer with zero traffic before any frame" \
    test "$(ctl --json stats)" = '{"type":"stats","smb_inbound_packets":0,"smb_inbound_bytes":0,"smb_outbound_packets":0,"smb_outbound_bytes":0}'
for policy in "$(dirname "$0")"/../data/replay/*.policy.json; do
    name=$(basename "$policy")
    cp "$policy" "$c/drv/$name"
    check "ctl policy $name is applied by the driver" \
        bash -c "cd '$c' && $wine64 'C:\\drv\\merrowfaldine-ctl.exe' policy 'C:\\drv\\$name' 2>&1 | grep -q 'policy applied'"
done
check "no module is attached without an adapter" test "$(ctl modules)" = ""
inspection() { (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' inspection "$1" > /dev/null 2>&1); }
check "inspection off is accepted" inspection off
check "inspection on is accepted" inspection on
(cd "$c" && $wine32 sc stop MerrowfaldineLwf > /dev/null 2>&1)
check "sc stop unloads the filter" stopped
check "the control device is gone after the unload" test "$(ctl version)" = ""

check_summary "wine drivers"
