#!/usr/bin/env bash
# Runs the NDIS 6 filter under Wine's kernel-driver host with the NDIS 6 stand-in (ndis.sys)
# beside it: the shipped MerrowfaldineLwf.sys (PE32 i386, on Wine's 32-bit loader) and the
# same sources built for x64. The stand-in attaches the filter to one adapter; for every
# committed capture under every policy it starts the driver afresh inside the same driver
# host (unload, entry point, attach: a fresh engine without the minutes an emulated host
# takes to start), merrowfaldine-ctl.exe pushes the policy, the stand-in feeds the capture
# through the filter, and what leaves the filter, its events and its learned grants must
# equal the Linux replay's through its NDIS 6 model. `sc stop` unloads the filter and the
# stand-in's books must balance.
# Usage: lwf_driver.sh OUT [REPLAY] (the windows.mk output; the Linux replay tool, by
# default build/replay/merrowfaldine-replay). LWF_ARCHES names the builds to run (default
# "x64 i386"); LWF_CAPTURES and LWF_POLICIES the captures and policies (file names without
# folder; default all).
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/checks.sh"
source "$here/wine_session.sh"
out=$(cd "${1:?usage: lwf_driver.sh OUT [REPLAY]}" && pwd) || exit 1
WINE_TOOL_DIR=$out
replay=${2:-$here/../../build/replay/merrowfaldine-replay}
data=$here/../data
need "$replay" "the Linux replay tool"
need $wine64 "Wine's 64-bit loader"
trap stop_session EXIT

service=MerrowfaldineLwf
attached() { [ "$(ctl modules)" = '{5D3C6F0E-0000-4000-8000-000000000001}' ]; }
service_stopped() { (cd "$c" && $wine64 sc query $service 2> /dev/null | grep -q STOPPED); }
device_gone() { (cd "$c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' version 2>&1) | grep -q 'cannot open'; }
books_balanced() {
    within_patience test -f "$drv/ndis-books.txt" || return 1
    local books
    books=$(tr -d '\r' < "$drv/ndis-books.txt")
    echo "        $books" >&2
    grep -q '^ndis.sys stand-in books: balanced, [1-9][0-9]* blocks allocated, 0 outstanding, 0 pools, 0 NET_BUFFERs, 0 MDLs, 0 NBLs out, 0 faults, filter deregistered, 0 control devices left$' <<< "$books"
}
# Creates the trigger file and waits for the stand-in's report of the work, which must
# match the pattern.
triggered() { # NAME PATTERN
    rm -f "$drv/$1.done"
    : > "$drv/$1.go"
    within_patience test -f "$drv/$1.done" || return 1
    echo "        $1: $(tr -d '\r' < "$drv/$1.done")" >&2
    grep -q "$2" "$drv/$1.done"
}

# One run in the running driver host: a fresh driver, the policy pushed, the capture fed,
# what left compared.
run_capture() { # ARCH CAPTURE POLICY
    local arch=$1 capture=$2 policy=$3
    local tag started
    tag="$arch $(basename "$capture" .pcap) $(basename "$policy" .policy.json)"
    started=$(date +%s)
    check "$tag: the driver starts afresh and attaches" triggered fresh '^fresh driver attached'
    check "$tag: the engine accepts the policy" policy_applied "$(basename "$policy")"
    "$replay" --host ndis6 --json --policy "$policy" --write "$out/lwf-linux.pcap" "$capture" \
        > "$out/lwf-linux.jsonl"
    cp "$capture" "$drv/feed.pcap"
    check "$tag: the stand-in feeds the capture through the filter" \
        triggered feed '^[0-9]* frames fed'
    check "$tag: the frames that leave the filter equal the Linux replay's" \
        same_file "$out/lwf-linux.pcap" "$drv/feed-out.pcap"
    check "$tag: the filter's events equal the Linux replay's" \
        same_lines "$(replay_lines "$out/lwf-linux.jsonl" event)" "$(driver_lines events)"
    check "$tag: the learned grants equal the Linux replay's" \
        same_lines "$(replay_lines "$out/lwf-linux.jsonl" learned)" "$(driver_lines learned)"
    # The sessions name their clients as the events do, an IPv6 client by its IPv6 address.
    local clients
    clients=$(jq -r 'select(.type == "event") | .client' "$out/lwf-linux.jsonl" | sort -u)
    if [ -n "$clients" ]; then
        check "$tag: the sessions' clients are the events' clients" \
            same_lines "$clients" "$(ctl --json sessions | jq -r .client | sort -u)"
    fi
    echo "        $tag: $(($(date +%s) - started)) s" >&2
}

# One driver start per build: every capture and policy runs in it.
run_filter() { # ARCH SYS STANDIN PATIENCE
    local arch=$1 sys=$2 standin=$3
    local started
    started=$(date +%s)
    patience=$4
    check "$arch: the driver's prefix is set up and its service written" \
        driver_prefix "$out/lwfprefix" $service "$arch" "$sys" "$standin"
    start_session "$out/lwf-keeper.fifo"
    check "$arch: the filter's service starts" within_patience driver_started $service
    check "$arch: the filter loads and its control device answers version $version" \
        within_patience answers
    check "$arch: the filter is attached to the stand-in's adapter" within_patience attached
    for capture in "$data"/*.pcap; do
        [ -n "${LWF_CAPTURES:-}" ] && ! grep -qw "$(basename "$capture")" <<< "$LWF_CAPTURES" && continue
        for policy in "$data"/replay/*.policy.json; do
            [ -n "${LWF_POLICIES:-}" ] && ! grep -qw "$(basename "$policy")" <<< "$LWF_POLICIES" && continue
            run_capture "$arch" "$capture" "$policy"
        done
    done
    (cd "$c" && $wine64 sc stop $service > /dev/null 2>&1)
    check "$arch: sc stop unloads the filter" within_patience service_stopped
    check "$arch: the control device is gone after the unload" device_gone
    check "$arch: the stand-in's books balance after the unload" books_balanced
    stop_session
    echo "        $arch: $(($(date +%s) - started)) s" >&2
}

# The prefix is set up once and copied for each build: its set-up runs 32-bit programs too,
# which cost minutes where they run emulated.
# Three minutes for a driver host to connect: the i386 one runs emulated.
new_prefix "$out/lwfprefix" "$out/lwf-wineboot.log" 180000
for arch in ${LWF_ARCHES:-x64 i386}; do
    case $arch in
    x64) run_filter x64 "$out/winehost/x64/MerrowfaldineLwf.sys" "$out/winehost/x64/ndis.sys" 120 ;;
    i386)
        # The 32-bit loader needs the kernel to run 32-bit programs, natively or through
        # qemu-user (scripts/install-wine32.sh); where it cannot, that is a failure.
        if ! /usr/lib/wine/wine --version > /dev/null 2>&1; then
            check "i386: Wine's 32-bit loader runs here" false
            continue
        fi
        # Emulated, the 32-bit driver host takes minutes to start.
        run_filter i386 "$out/MerrowfaldineLwf.sys" "$out/winehost/i386/ndis.sys" 900
        ;;
    esac
done

check_summary "wine lwf driver"
