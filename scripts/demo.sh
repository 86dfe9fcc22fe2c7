#!/usr/bin/env bash
# The guard's main job on a bundled default. Where the machine allows it (root, network
# namespaces, Samba), alice works through the live guard on a real Samba server under a
# policy that learns her grant to the share "docs" from a template that reports and
# denies deletes and renames. Elsewhere a real capture of such a session is replayed
# through the engine under the same policy.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
policy=tests/data/replay/demo.policy.json

replay_demo() {
    local capture=tests/data/ops-smb3.pcap
    echo "Replaying a recorded session instead: $1."
    echo
    echo "Policy ($policy):"
    sed 's/^/  /' "$policy"
    echo
    "$build/replay/merrowfaldine-replay" --policy "$policy" --write "$build/demo-rewritten.pcap" \
        "$capture"
    echo
    echo "The capture was recorded without the guard: the server carried out the delete and"
    echo "the rename that the policy denies, so each denial is followed by the event that says"
    echo "it failed (blocked 0), and the server's answers pass as they were."
    echo "The capture as the guard left it (spoiled requests):"
    echo "  $build/demo-rewritten.pcap"
}

if [ "$(id -u)" -ne 0 ]; then
    replay_demo "the live demo needs root for its network namespaces"
    exit 0
fi
if ! unshare --net true 2>/dev/null; then
    replay_demo "this machine cannot create network namespaces"
    exit 0
fi
for tool in smbd smbclient pdbedit ethtool; do
    if ! command -v "$tool" >/dev/null; then
        replay_demo "$tool is not installed (scripts/install-deps.sh installs it)"
        exit 0
    fi
done

export MF_LAB=mfdemo MF_BUILD=$PWD/$build
lab=$PWD/scripts/live-lab.sh
trap '$lab down' EXIT
$lab down
$lab up --policy "$policy" 2>/dev/null
eval "$($lab env)"

docs=$LAB_SHARES/docs
printf 'old\n' >"$docs/old.txt"
printf 'draft\n' >"$docs/draft.txt"
chmod 0666 "$docs"/*
work=$(mktemp -d)
trap '$lab down; rm -rf "$work"' EXIT
printf 'the plan\n' >"$work/plan.txt"

echo "Policy ($policy):"
sed 's/^/  /' "$policy"
echo
echo "Before: the server's docs folder"
ls -l "$docs" | tail -n +2 | sed 's/^/  /'
echo
commands='put plan.txt; rm old.txt; rename draft.txt final.txt; ls'
echo "What the client saw (smbclient as alice, SMB3): $commands"
(cd "$work" && $lab client smbclient -s "$LAB_CLIENT_CONF" "//$LAB_SERVER_IP/docs" \
    -U "alice%$ALICE_PASS" -m SMB3 --use-kerberos=off -c "$commands" 2>&1) | sed 's/^/  /'
echo
echo "What the guard reported (merrowfaldine-ctl events; learned):"
"$LAB_CTL" --control "$LAB_CONTROL" events | sed 's/^/  /'
"$LAB_CTL" --control "$LAB_CONTROL" learned | sed 's/^/  /'
echo
echo "After: the server's docs folder (old.txt and draft.txt are still there)"
ls -l "$docs" | tail -n +2 | sed 's/^/  /'
echo
echo "The same events as JSON lines ($LAB_EVENTS):"
sed 's/^/  /' "$LAB_EVENTS"
