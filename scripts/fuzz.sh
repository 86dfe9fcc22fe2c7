#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) and runs each for a bounded
# time, seeded from the real captures. Exits non-zero when a target finds a crash; the
# input that caused it is left in BUILD/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMERROWFALDINE_FUZZ=ON -DMERROWFALDINE_BENCH=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_frames fuzz_identify fuzz_control fuzz_list_reader write_seeds

for target in fuzz_frames fuzz_identify fuzz_control fuzz_list_reader; do
    mkdir -p "$build/corpus-$target"
done
mkdir -p "$build/artifacts"
"$build/fuzz/write_seeds" "$build/corpus-fuzz_frames" "$build/corpus-fuzz_identify" \
    tests/data/*.pcap
# Control requests start from a version query and a rule push.
printf '\x00\x00\x00\x00\x00\x01\x00\x00\x00' > "$build/corpus-fuzz_control/version"
printf 'D\tC:\\App\\bin\nF\tC:\\App\\bin\\x.dll\n  F\tC:\\App\\keep.txt\r\n' \
    > "$build/corpus-fuzz_list_reader/list"

status=0
for target in fuzz_frames fuzz_identify fuzz_control fuzz_list_reader; do
    echo "fuzzing $target for ${seconds}s"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=0 \
            -artifact_prefix="$build/artifacts/$target-" -max_len=65536 \
            "$build/corpus-$target" > "$build/$target.log" 2>&1; then
        echo "$target found a crash:"
        tail -n 40 "$build/$target.log"
        status=1
    else
        grep -E "^#[0-9]+.*DONE" "$build/$target.log" | tail -n 1 || true
    fi
done
exit $status
