#!/usr/bin/env bash
# Runs the shipped NDIS 5 intermediate driver, MerrowfaldineIm.sys (PE32+ x64), under
# Wine's kernel-driver host with the NDIS 5 stand-in (ndis.sys) beside it: the stand-in
# binds the driver to one adapter, merrowfaldine-ctl.exe talks to its control device,
# `sc stop` unbinds and unloads it, and the stand-in's books must balance.
# Usage: im_driver.sh OUT (the windows.mk output).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/checks.sh"
source "$here/wine_session.sh"
out=$(cd "${1:?usage: im_driver.sh OUT}" && pwd) || exit 1
if [ ! -x $wine64 ]; then
    echo "FAIL: Wine's 64-bit loader is needed ($wine64)" >&2
    exit 1
fi
version=$(grep -o 'EngineVersion = [0-9]*' "$here/../../engine/control_codes.h" | grep -o '[0-9]*$')
trap stop_session EXIT

service=MerrowfaldineIm
sc() { (cd "$c" && $wine64 sc "$@" > /dev/null 2>&1); }
answers() { [ "$(ctl version)" = "$version" ]; }
# The control device cannot be opened: the tool says so.
device_gone() { (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' version 2>&1) | grep -q 'cannot open'; }
service_stopped() { (cd "$c" && $wine64 sc query $service 2> /dev/null | grep -q STOPPED); }
policy_applied() {
    (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' policy "C:\\drv\\$1" 2>&1) |
        grep -q '^policy applied: [0-9]* rules'
}
# Exit status 0 and no output: the driver answered and knows no session.
no_sessions() {
    local listed
    listed=$(ctl --json sessions) || return 1
    [ -z "$listed" ]
}
books_line() { tr -d '\r' < "$drv/ndis-books.txt"; }
books_balanced() {
    eventually 20 test -f "$drv/ndis-books.txt" || return 1
    echo "        $(books_line)" >&2
    books_line | grep -q '^ndis.sys stand-in books: balanced, bound, [1-9][0-9]* blocks allocated, 0 outstanding, 0 packet pools, 0 packets, 0 buffer pools, 0 buffers, 0 memory blocks, 0 configurations, 0 packets held below, 0 packets held above, 0 faults, nothing registered$'
}

new_prefix "$out/imprefix" "$out/im-wineboot.log"
c=$WINEPREFIX/drive_c
drv=$c/drv/x64
mkdir -p "$drv"
cp "$out/MerrowfaldineIm.sys" "$out/winehost/x64/im/ndis.sys" "$drv/"
cp "$out/merrowfaldine-ctl.exe" "$c/drv/"
start_session "$out/im-keeper.fifo"

check "im: the control device does not exist before the driver starts" device_gone
# The x64 sc.exe creates the service: the 32-bit one would mark it WOW64.
sc create $service type= kernel binPath= "C:\\drv\\x64\\MerrowfaldineIm.sys"
sc start $service
check "im: the driver binds, its miniport starts and its control device answers version $version" \
    eventually 60 answers
check "im: stats answer with zero traffic before any frame" \
    test "$(ctl --json stats)" = '{"type":"stats","smb_inbound_packets":0,"smb_inbound_bytes":0,"smb_outbound_packets":0,"smb_outbound_bytes":0}'
check "im: sessions answer and list none before any frame" no_sessions
for policy in "$here"/../data/replay/*.policy.json; do
    name=$(basename "$policy")
    cp "$policy" "$c/drv/$name"
    check "im: the engine accepts policy $name" policy_applied "$name"
done
check "im: the driver still answers before the stop" answers
sc stop $service
check "im: sc stop unbinds and unloads the driver" eventually 60 service_stopped
check "im: the control device is gone after the unload" device_gone
check "im: the stand-in's books balance after the unload" books_balanced
stop_session

check_summary "wine im driver"
