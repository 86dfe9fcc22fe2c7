#!/usr/bin/env bash
# The guard's main job on a bundled default: a real smbclient session against a real
# Samba server, replayed through the engine under a policy that learns alice's grant to
# the share "docs" from a template that reports and denies deletes and renames.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
capture=tests/data/ops-smb3.pcap
policy=tests/data/replay/demo.policy.json

echo "Policy ($policy):"
sed 's/^/  /' "$policy"
echo
"$build/replay/merrowfaldine-replay" --policy "$policy" --write "$build/demo-rewritten.pcap" \
    "$capture"
echo
echo "The capture as the guard left it (spoiled requests, denied responses):"
echo "  $build/demo-rewritten.pcap"
