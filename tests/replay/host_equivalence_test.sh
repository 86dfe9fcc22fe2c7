#!/usr/bin/env bash
# A driver host gives the replay tool exactly the engine host's output: for every bundled
# capture under every bundled policy (and none), over several seeds, the --json lines and
# the --write capture are identical to those of --host engine.
# Usage: host_equivalence_test.sh TOOL DATA HOST [SEEDS...]
set -u
tool=$1
data=$2
host=$3
shift 3
seeds=("$@")
[ ${#seeds[@]} -eq 0 ] && seeds=(1 2 3 4 5)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

policies=("" "$data"/replay/*.policy.json)
for capture in "$data"/*.pcap; do
    for policy in "${policies[@]}"; do
        args=(--json)
        [ -n "$policy" ] && args+=(--policy "$policy")
        name="$(basename "$capture") ${policy:+$(basename "$policy")}"
        "$tool" "${args[@]}" --write "$work/engine.pcap" "$capture" > "$work/engine.json"
        for seed in "${seeds[@]}"; do
            "$tool" "${args[@]}" --host "$host" --seed "$seed" --write "$work/host.pcap" \
                "$capture" > "$work/host.json"
            if cmp -s "$work/engine.json" "$work/host.json" &&
               cmp -s "$work/engine.pcap" "$work/host.pcap"; then
                passed=$((passed + 1))
            else
                failed=$((failed + 1))
                echo "FAILED: $name, --host $host --seed $seed"
                diff "$work/engine.json" "$work/host.json" | head -5
            fi
        done
    done
done
echo "$host: $passed identical, $failed different"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
