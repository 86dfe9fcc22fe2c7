#!/usr/bin/env bash
# Runs the shipped NDIS 5 intermediate driver, MerrowfaldineIm.sys (PE32+ x64), under
# Wine's kernel-driver host with the NDIS 5 stand-in (ndis.sys) beside it: the stand-in
# binds the driver to one adapter, merrowfaldine-ctl.exe talks to its control device,
# the stand-in feeds every committed capture through the driver under every policy (one
# driver start each, so that each starts from a fresh engine), and what leaves the driver
# and the events it reports must equal the Linux replay's through its NDIS 5 model;
# `sc stop` unbinds and unloads it, and the stand-in's books must balance.
# Usage: im_driver.sh OUT [REPLAY] (the windows.mk output; the Linux replay tool, by
# default build/replay/merrowfaldine-replay). IM_CAPTURES and IM_POLICIES, when set, name
# the captures and policies to run (file names without folder); default all.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/checks.sh"
source "$here/wine_session.sh"
out=$(cd "${1:?usage: im_driver.sh OUT [REPLAY]}" && pwd) || exit 1
replay=${2:-$here/../../build/replay/merrowfaldine-replay}
data=$here/../data
need "$replay" "the Linux replay tool"
need $wine64 "Wine's 64-bit loader"
trap stop_session EXIT

service=MerrowfaldineIm
sc() { (cd "$c" && $wine64 sc "$@" > /dev/null 2>&1); }
# The control device cannot be opened: the tool says so.
device_gone() { (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' version 2>&1) | grep -q 'cannot open'; }
service_stopped() { (cd "$c" && $wine64 sc query $service 2> /dev/null | grep -q STOPPED); }
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

fed() {
    eventually 240 test -f "$drv/feed.done" || return 1
    echo "        $(tr -d '\r' < "$drv/feed.done")" >&2
    grep -q '^[0-9]* frames fed' "$drv/feed.done"
}

# Stops the driver and checks that it unloaded cleanly.
stop_driver() { # TAG
    sc stop $service
    check "im $1: sc stop unbinds and unloads the driver" eventually 120 service_stopped
    check "im $1: the control device is gone after the unload" device_gone
    check "im $1: the stand-in's books balance after the unload" books_balanced
    stop_session
}

start_driver() { # TAG
    rm -f "$drv/ndis-books.txt" "$drv/feed.done" "$drv/feed-out.pcap"
    start_session "$out/im-keeper.fifo"
    sc start $service
    check "im $1: the driver binds, its miniport starts and its control device answers version $version" \
        eventually 120 answers
}

# A driver start of its own for the control requests: the policies pushed here would
# otherwise stay in the engine that a capture is compared in.
run_controls() {
    start_session "$out/im-keeper.fifo"
    check "im: the control device does not exist before the driver starts" device_gone
    stop_session
    start_driver controls
    check "im: stats answer with zero traffic before any frame" \
        test "$(ctl --json stats)" = '{"type":"stats","smb_inbound_packets":0,"smb_inbound_bytes":0,"smb_outbound_packets":0,"smb_outbound_bytes":0}'
    check "im: sessions answer and list none before any frame" no_sessions
    for each in "$data"/replay/*.policy.json; do
        check "im: the engine accepts policy $(basename "$each")" policy_applied "$(basename "$each")"
    done
    stop_driver controls
}

# One driver start: the policy pushed, the capture fed, what left compared, unloaded.
run_capture() { # CAPTURE POLICY
    local capture=$1 policy=$2
    local tag
    tag="$(basename "$capture" .pcap) $(basename "$policy" .policy.json)"
    start_driver "$tag"
    check "im $tag: the engine accepts the policy" policy_applied "$(basename "$policy")"
    "$replay" --host ndis5 --json --policy "$policy" --write "$out/im-linux.pcap" "$capture" \
        > "$out/im-linux.jsonl"
    cp "$capture" "$drv/feed.pcap"
    : > "$drv/feed.go"
    check "im $tag: the stand-in feeds the capture through the driver" fed
    check "im $tag: the frames that leave the driver equal the Linux replay's" \
        same_file "$out/im-linux.pcap" "$drv/feed-out.pcap"
    check "im $tag: the driver's events equal the Linux replay's" \
        same_lines "$(replay_lines "$out/im-linux.jsonl" event)" "$(driver_lines events)"
    check "im $tag: the learned grants equal the Linux replay's" \
        same_lines "$(replay_lines "$out/im-linux.jsonl" learned)" "$(driver_lines learned)"
    stop_driver "$tag"
}

new_prefix "$out/imprefix" "$out/im-wineboot.log"
c=$WINEPREFIX/drive_c
drv=$c/drv/x64
mkdir -p "$drv"
cp "$out/MerrowfaldineIm.sys" "$out/winehost/x64/im/ndis.sys" "$drv/"
cp "$out/merrowfaldine-ctl.exe" "$data"/replay/*.policy.json "$c/drv/"
# The x64 sc.exe creates the service: the 32-bit one would mark it WOW64.
start_session "$out/im-keeper.fifo"
sc create $service type= kernel binPath= "C:\\drv\\x64\\MerrowfaldineIm.sys"
stop_session

run_controls
for capture in "$data"/*.pcap; do
    [ -n "${IM_CAPTURES:-}" ] && ! grep -qw "$(basename "$capture")" <<< "$IM_CAPTURES" && continue
    for policy in "$data"/replay/*.policy.json; do
        [ -n "${IM_POLICIES:-}" ] && ! grep -qw "$(basename "$policy")" <<< "$IM_POLICIES" && continue
        run_capture "$capture" "$policy"
    done
done

check_summary "wine im driver"
