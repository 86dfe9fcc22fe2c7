#!/usr/bin/env bash
# The replay tool as a user runs it: output, errors, exit codes, --write.
set -u
source "$(dirname "$0")/../../scripts/checks.sh"
tool=$1
data=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

policy=$data/replay/deny-delete-rename.policy.json

"$tool" --help > "$work/help"
check "--help exits 0 and shows usage" grep -q "usage: merrowfaldine-replay" "$work/help"

"$tool" --policy "$policy" "$data/ops-smb3.pcap" > "$work/table"
check "table shows the denied delete" grep -q "delete .*DENIED *docs\\\\old.txt" "$work/table"
check "table shows the rewrite" grep -q "request spoiled" "$work/table"
check "table shows the counters" grep -q "^SMB traffic:  inbound 51 packets" "$work/table"
check "table lists the session" grep -q "alice .*workstation wks7 .*192.0.2.10" "$work/table"

"$tool" --json --policy "$policy" --write "$work/out.pcap" "$data/ops-smb2.pcap" > "$work/json"
check "--json matches the expected lines" \
    cmp -s "$work/json" "$data/replay/ops-smb2.deny-delete-rename.expected.jsonl"
rewritten=$(python3 "$here/compare_captures.py" "$data/ops-smb2.pcap" "$work/out.pcap")
check "--write: 2 rewritten frames (the denied requests) with valid checksums, the rest identical" \
    test "$rewritten" = 2

"$tool" "$work/missing.pcap" > "$work/stdout" 2> "$work/stderr"
check "missing capture exits 1" test $? -eq 1
check "missing capture: one line naming the file" \
    test "$(wc -l < "$work/stderr")" -eq 1 -a -n "$(grep missing.pcap "$work/stderr")"

echo '{"rules": [{"path": "docs", "flags": ["deny-everything"]}]}' > "$work/bad.json"
"$tool" --policy "$work/bad.json" "$data/ops-smb3.pcap" > "$work/stdout" 2> "$work/stderr"
check "bad policy exits 1" test $? -eq 1
check "bad policy names file, key and fault" \
    grep -q "bad.json: rules\[0\].flags\[0\]: unknown flag \"deny-everything\"" "$work/stderr"
check "bad policy: nothing replayed" test ! -s "$work/stdout"

head -c 9000 "$data/ops-nt1.pcap" > "$work/cut.pcap"
"$tool" --json --policy "$policy" "$work/cut.pcap" > "$work/stdout" 2> "$work/stderr"
check "truncated capture exits 1" test $? -eq 1
check "truncated capture still reports what it read" grep -q '"frame":44' "$work/stdout"
check "truncated capture says so" grep -q "capture damaged after frame" "$work/stderr"

"$tool" --json > /dev/null 2> "$work/stderr"
check "no capture is a usage error" test $? -eq 2

"$tool" --host ndis7 "$data/ops-smb3.pcap" > /dev/null 2> "$work/stderr"
check "unknown host is a usage error naming the hosts" \
    grep -q "unknown host ndis7 (hosts: engine|ndis5|ndis6)" "$work/stderr"
"$tool" --frobnicate x.pcap > /dev/null 2> "$work/stderr"
check "unknown option is named" grep -q "unknown option --frobnicate" "$work/stderr"

check_summary "replay cli"
