#!/usr/bin/env bash
# Records the traffic of two sessions the engine must handle beyond plain IPv4 SMB:
#   ipv6.pcap       smbclient over IPv6 (2001:db8::10 -> 2001:db8::20): a delete over
#                   SMB3, then one over NT1
#   encrypted.pcap  smbclient asking for encryption (SMB 3.1.1, server offers it): a
#                   listing and a delete, all but negotiation and session setup encrypted
# smbclient talks to the live lab's Samba server across a plain kernel bridge; tcpdump
# records the client's side of it.
#
# Usage: sudo tests/data/make-edge-captures.sh [BUILD]   (writes tests/data/{ipv6,encrypted}.pcap)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export MF_LAB=${MF_LAB:-mfcapture} MF_BUILD=${1:-$ROOT/build}
LAB=$ROOT/scripts/live-lab.sh
OUT=${CAPTURE_OUT:-$ROOT/tests/data}
# shellcheck source=capture-lab.sh
source "$ROOT/tests/data/capture-lab.sh"
docs=$LAB_SHARES/docs
for f in old.txt draft.txt; do echo "$f" > "$docs/$f"; done
chmod -R a+rwX "$docs"

record() {
    ip netns exec "$LAB_GUARD_NS" tcpdump -i net0 -s 0 -U -w "$OUT/$1" tcp port 445 2>/dev/null &
    TCPDUMP_PID=$!
    sleep 1
}
stop() {
    sleep 1
    kill "$TCPDUMP_PID"
    wait "$TCPDUMP_PID" || true
    TCPDUMP_PID=""
}
smb() {
    local target=$1
    shift
    "$LAB" client smbclient -s "$LAB_CLIENT_CONF" $target -U "alice%$ALICE_PASS" \
        --use-kerberos=off "$@" >/dev/null 2>&1 || true
}

record ipv6.pcap
smb "//FILESRV/docs -I $LAB_SERVER_IP6" -m SMB3 -c "rm old.txt"
smb "//FILESRV/docs -I $LAB_SERVER_IP6" -m NT1 -c "rm draft.txt"
stop
for f in old.txt draft.txt; do echo "$f" > "$docs/$f"; done
chmod -R a+rwX "$docs"
# The server offers encryption only for this one.
sed -i 's/^    server smb encrypt = off$/    server smb encrypt = desired/' "$LAB_SERVER_CONF"
kill -HUP "$(cat "$LAB_DIR/smbd.pid")"
sleep 1
record encrypted.pcap
smb "//$LAB_SERVER_IP/docs" -m SMB3 --client-protection=encrypt -c "ls; rm old.txt"
stop
