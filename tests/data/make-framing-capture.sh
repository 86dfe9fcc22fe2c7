#!/usr/bin/env bash
# Records the SMB traffic whose messages do not start a TCP segment or span several: deletes
# and creates at the end of a deep folder chain (SMB3 and NT1), and a keep-alive and an ECHO
# in front of a delete in one segment (SMB2 and SMB1). smbclient and the lab's raw requests
# talk to the live lab's Samba server across a plain kernel bridge; tcpdump records the
# client's side of it.
#
# Usage: sudo tests/data/make-framing-capture.sh [BUILD]   (writes tests/data/framing.pcap)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export MF_LAB=${MF_LAB:-mfcapture} MF_BUILD=${1:-$ROOT/build}
LAB=$ROOT/scripts/live-lab.sh
OUT=${CAPTURE_OUT:-$ROOT/tests/data/framing.pcap}
# shellcheck source=capture-lab.sh
source "$ROOT/tests/data/capture-lab.sh"
deep=$(python3 -c 'print("/".join("f%02d-%s" % (i, "x" * 56) for i in range(12)))')
deep_dos=${deep//\//\\}
docs=$LAB_SHARES/docs
files() {
    mkdir -p "$docs/$deep"
    echo old > "$docs/old.txt"
    echo deep > "$docs/$deep/old.txt"
    chmod -R a+rwX "$docs"
}
files
echo new > /tmp/mf-framing-new.txt

ip netns exec "$LAB_GUARD_NS" tcpdump -i net0 -s 0 -U -w "$OUT" tcp port 445 2>/dev/null &
TCPDUMP_PID=$!
sleep 1

smb() {
    "$LAB" client smbclient -s "$LAB_CLIENT_CONF" "//$LAB_SERVER_IP/docs" \
        -U "alice%$ALICE_PASS" --use-kerberos=off -m "$1" -c "$2" >/dev/null 2>&1 || true
}
raw() {
    "$LAB" client /usr/bin/python3 "$ROOT/tests/live/raw_requests.py" "$LAB_SERVER_IP" alice \
        "$ALICE_PASS" "$1" >/dev/null 2>&1 || true
}
smb SMB3 "rm $deep_dos\\old.txt"
files
smb NT1 "rm $deep_dos\\old.txt; put /tmp/mf-framing-new.txt $deep_dos\\new.txt"
raw smb2-echo-then-delete
files
raw echo-then-delete

sleep 1
kill "$TCPDUMP_PID"
wait "$TCPDUMP_PID" || true
TCPDUMP_PID=""
rm -f /tmp/mf-framing-new.txt
echo "make-framing-capture: wrote $OUT" >&2
