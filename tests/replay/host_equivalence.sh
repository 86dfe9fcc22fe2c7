#!/usr/bin/env bash
# Every driver host gives the engine host's output: for each committed capture under each
# committed policy (and none), over several seeds, the --json lines and the --write capture
# of `--host HOST --seed N` equal those of the engine alone.
# Usage: host_equivalence.sh TOOL DATA HOST [SEEDS]
set -u
tool=$1
data=$2
host=$3
seeds=${4:-"1 2 3 4 5"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
compared=0
failed=0
for capture in "$data"/*.pcap "$data"/*.pcapng; do
    [ -f "$capture" ] || continue
    for policy in "" "$data"/replay/*.policy.json; do
        args=(--json)
        [ -n "$policy" ] && args+=(--policy "$policy")
        "$tool" "${args[@]}" --write "$work/engine.pcap" "$capture" > "$work/engine.json"
        for seed in $seeds; do
            if ! "$tool" "${args[@]}" --host "$host" --seed "$seed" --write "$work/host.pcap" \
                 "$capture" > "$work/host.json"; then
                echo "FAILED: $host seed $seed exits non-zero on $capture ${policy:-(no policy)}"
                failed=$((failed + 1))
                continue
            fi
            for kind in json pcap; do
                if ! cmp -s "$work/engine.$kind" "$work/host.$kind"; then
                    echo "FAILED: $host seed $seed: --$kind differs on $capture ${policy:-(no policy)}"
                    failed=$((failed + 1))
                fi
            done
            compared=$((compared + 1))
        done
    done
done
echo "host_equivalence $host: $compared replays compared, $failed differences"
[ "$compared" -gt 0 ] && [ "$failed" -eq 0 ]
