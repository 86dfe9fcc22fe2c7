#!/usr/bin/env bash
# Fills BUILD/corpus-TARGET for every fuzz target: seeds written from the real captures
# and the test builders, a few hand-made ones, and the inputs kept in fuzz/corpus/TARGET
# (among them every input that once found a fault). Needs BUILD/fuzz/write_seeds.
#   scripts/fuzz-seeds.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
for target in fuzz_frames fuzz_identify fuzz_control fuzz_list_reader; do
    mkdir -p "$build/corpus-$target"
    if [[ -d "fuzz/corpus/$target" ]]; then
        cp -r "fuzz/corpus/$target/." "$build/corpus-$target/"
    fi
done
"$build/fuzz/write_seeds" "$build/corpus-fuzz_frames" "$build/corpus-fuzz_identify" \
    tests/data/*.pcap
# Control requests start from a version query and a rule push.
printf '\x00\x00\x00\x00\x00\x01\x00\x00\x00' > "$build/corpus-fuzz_control/version"
printf 'D\tC:\\App\\bin\nF\tC:\\App\\bin\\x.dll\n  F\tC:\\App\\keep.txt\r\n' \
    > "$build/corpus-fuzz_list_reader/list"
